"""The window, its menus and the tray item as a user and a desktop's panel
see them; the Recordings folder handed to the file manager; one application
per session; a missing web extension reported."""
import os
import shutil
import signal
import stat
import subprocess
import unittest

from desktop_case import APPLICATION_MENU, HALDEN, DesktopCase, wait_for

EDIT_MENU = [('Undo', True), ('Cut', True), ('Copy', True), ('Paste', True), ('Select All', True)]


class ShellEndToEnd(DesktopCase):

    def test_menus_tray_saved_recordings_and_closing_the_window(self):
        self.launch()
        self.assertEqual(self.ui.menu_bar(self.app),
                         [('Halden', APPLICATION_MENU), ('Edit', EDIT_MENU)])
        tray = self.desktop.tray()
        item = self.desktop.tray_item()
        self.assertEqual(tray.label(item), 'Halden')
        self.assertEqual(tray.menu(item)[0], APPLICATION_MENU)

        # "Saved recordings", from the window's menu and from the tray: the
        # folder is made, for the user only, and handed to the file manager.
        recordings = self.recordings()
        self.assertFalse(os.path.exists(recordings))
        self.ui.choose(self.app, 'Halden', 'Saved recordings')
        # GIO hands a local folder to the handler as a path.
        wanted = recordings
        wait_for(lambda: wanted in self.desktop.opened_urls(), 10, 'the file manager')
        self.assertEqual(stat.S_IMODE(os.stat(recordings).st_mode), 0o700)
        shutil.rmtree(recordings)
        tray.activate(item, 'Saved recordings')
        wait_for(lambda: self.desktop.opened_urls().count(wanted) == 2, 10, 'the tray command')
        self.assertTrue(os.path.isdir(recordings))

        # Closing hides the window and does not quit; "Client workspace",
        # from the tray as from the menu, shows it again.
        loads = len([r for r in self.service.log() if r['path'] == '/clients/workspace'])
        self.assertTrue(self.desktop.close_window('Halden'))
        wait_for(lambda: not self.desktop.window_shown('Halden'), 10, 'the window to hide')
        self.assertIsNone(self.app_process.poll())
        tray.activate(item, 'Client workspace')
        wait_for(lambda: self.desktop.window_shown('Halden'), 10, 'the window to show again')
        wait_for(lambda: len([r for r in self.service.log()
                              if r['path'] == '/clients/workspace']) > loads, 10, 'a fresh load')

        # A second launch raises the running window and ends.
        second = subprocess.run([HALDEN], env=self.desktop.env, timeout=30,
                                capture_output=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertEqual(len(self.ui.apps()), 1)

        self.ui.choose(self.app, 'Halden', 'Quit Halden')
        self.assertEqual(self.wait_exit(), 0)

    def test_edit_menu_runs_the_editing_commands_in_the_page(self):
        self.launch()
        field = self.ui.wait_node(self.window, lambda n: n.getRoleName() == 'entry' and
                                  self.ui.texts(n)[:1] == ['client-001'], 20, 'the Client ID field')
        field.queryComponent().grabFocus()
        wait_for(lambda: field.getState().contains(self.ui.atspi.STATE_FOCUSED), 10, 'focus')
        value = lambda: field.queryText().getText(0, -1)
        self.ui.choose(self.app, 'Edit', 'Select All')
        self.ui.choose(self.app, 'Edit', 'Cut')
        wait_for(lambda: value() == '', 10, 'the field cut empty')
        self.ui.choose(self.app, 'Edit', 'Paste')
        self.ui.choose(self.app, 'Edit', 'Paste')
        wait_for(lambda: value() == 'client-001client-001', 10, 'the text pasted twice')
        self.ui.choose(self.app, 'Edit', 'Undo')
        wait_for(lambda: value() == 'client-001', 10, 'the second paste undone')
        # The same through the shortcuts, typed into the window.
        keys = ['xdotool', 'search', '--onlyvisible', '--name', '^Halden$', 'windowfocus', '--sync',
                'key', '--clearmodifiers', 'ctrl+a', 'ctrl+x']
        subprocess.run(keys, env=self.desktop.env, check=True, timeout=20)
        wait_for(lambda: value() == '', 10, 'Ctrl+A, Ctrl+X to empty the field')

    def test_a_missing_web_extension_is_reported_and_no_page_message_is_taken(self):
        # A copy of the program with no extension beside it, and none
        # installed where the build would install it.
        lonely = os.path.join(self.desktop.root, 'lonely')
        os.makedirs(lonely)
        shutil.copy(HALDEN, lonely)
        self.launch(os.path.join(lonely, 'halden'), 'lonely.log')
        alert = self.ui.alert(self.app, 'Halden is missing a part')
        self.assertIn('web extension', ' '.join(self.ui.labels(alert)))
        self.ui.press(self.ui.button(alert, 'OK'))
        self.assertIn('web extension', self.app_output())
        # The page finds no bridge: its buttons stay disabled.
        self.assertFalse(self.ui.enabled(self.ui.button(self.window, 'Start recording')))
        self.app_process.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(), 0)


if __name__ == '__main__':
    unittest.main()
