"""Quitting while a meeting is recorded: the question, "Quit and recover
later", the process ending only after the tracks are closed; then the
meeting recovered through the page's "retry" and the folder chooser. The
same for SIGTERM, which asks nothing."""
import json
import os
import signal
import time
import unittest

from desktop_case import RECORDING_TITLE, DesktopCase, wait_for

QUESTION = 'End this recording before quitting?'


class QuitEndToEnd(DesktopCase):

    def record_a_while(self):
        notified = len(self.desktop.notifications())
        self.launch()
        time.sleep(1)
        self.assertEqual(self.desktop.notifications()[notified:], [], 'nothing waits at launch')
        if not self.service.signed_in_page_loads():
            self.sign_in()
        self.start_recording()
        meeting = self.current_meeting()
        time.sleep(3)  # idle null sinks deliver their first audio late
        return meeting, os.path.join(self.recordings(), meeting)

    def assert_kept_for_recovery(self, meeting, folder):
        names = sorted(os.listdir(folder))
        self.assertEqual(names, ['meeting.json', 'microphone.caf', 'system.caf', 'timing.json'])
        with open(os.path.join(folder, 'timing.json')) as f:
            self.assertEqual(sorted(json.load(f)), ['microphone', 'system'])
        self.assertFalse([r for r in self.service.log() if meeting in r['path']],
                         'nothing is uploaded on the way out')

    def recover(self, meeting, folder):
        self.launch()
        # At launch a notification says that one recording waits.
        notice = wait_for(lambda: [n for n in self.desktop.notifications()
                                   if n['summary'] == 'Saved recordings to upload'], 10,
                          'the saved-recordings notification')[-1]
        self.assertTrue(notice['body'].startswith('1 saved recording waits to be uploaded.'))
        events = len(self.service.page_events())
        self.ui.press(self.ui.button(self.window, 'Retry upload'))
        self.ui.choose_folder(self.app, folder)
        ready = self.wait_page_event('ready', events)[0]
        self.assertEqual(ready['meetingId'], meeting)
        self.assertIn({'meetingId': meeting, 'expectedChunks': 1}, self.service.summaries())
        wait_for(lambda: not os.path.exists(folder), 10, 'the recovered folder to go')

    def test_quit_and_recover_later_then_retry(self):
        meeting, folder = self.record_a_while()
        self.ui.choose(self.app, 'Halden', 'Quit Halden')
        question = self.ui.alert(self.app, QUESTION)
        buttons = self.ui.buttons(question)
        self.assertEqual([b.name for b in buttons], ['Keep Halden open', 'Quit and recover later'])
        self.assertTrue(self.ui.is_default(buttons[0]))
        self.ui.press(buttons[0])
        wait_for(lambda: self.ui.no_alert(self.app), 10, 'the question to close')
        self.assertIsNone(self.app_process.poll())
        self.assertIn(RECORDING_TITLE, self.ui.window_titles(self.app))

        self.ui.choose(self.app, 'Halden', 'Quit Halden')
        self.ui.press(self.ui.button(self.ui.alert(self.app, QUESTION), 'Quit and recover later'))
        self.assertEqual(self.wait_exit(), 0)
        self.assert_kept_for_recovery(meeting, folder)
        self.recover(meeting, folder)

    def test_sigterm_during_a_recording_keeps_it_for_recovery(self):
        meeting, folder = self.record_a_while()
        self.app_process.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(), 0)
        self.assert_kept_for_recovery(meeting, folder)
        self.recover(meeting, folder)


if __name__ == '__main__':
    unittest.main()
