"""Sign-in through the browser, in the real window: the connect page goes to
the user's browser, the window shows the code, approval at the service puts
the session cookie in the web view's store, and it survives a restart."""
import os
import sqlite3
import stat
import unittest

from desktop_case import DesktopCase, wait_for


class SignInEndToEnd(DesktopCase):

    def test_sign_in_from_the_menu_survives_a_restart(self):
        self.launch()
        opened = len(self.desktop.opened_urls())
        self.ui.choose(self.app, 'Halden', 'Sign in through browser')
        url = wait_for(lambda: [u for u in self.desktop.opened_urls()[opened:]
                                if '/desktop/connect?id=' in u], 20, 'the connect page')[0]
        self.assertTrue(url.startswith(self.service.base + '/desktop/connect?id='), url)
        pending = wait_for(lambda: [s for s in self.service.signins() if url.endswith(s['id'])],
                           10, 'the pending sign-in')[0]
        # The window shows the code the browser page asks the user to check.
        wait_for(lambda: any(pending['code'] in text for text in self.ui.texts(self.window)),
                 20, 'the code in the window')

        self.service.approve(pending['id'])
        wait_for(self.service.signed_in_page_loads, 30, 'the workspace reloaded signed in')

        # The cookie is in the view's own store, which only the user can read.
        web_data = os.path.join(self.desktop.data_folder(), 'WebData')
        self.assertEqual(stat.S_IMODE(os.stat(web_data).st_mode), 0o700)
        with sqlite3.connect(os.path.join(web_data, 'cookies.sqlite')) as store:
            rows = store.execute('SELECT name, host, isHttpOnly FROM moz_cookies').fetchall()
        self.assertEqual(rows, [('authjs.session-token', '127.0.0.1', 1)])

        self.ui.choose(self.app, 'Halden', 'Quit Halden')
        self.assertEqual(self.wait_exit(), 0)
        loads = len(self.service.signed_in_page_loads())
        self.launch()
        wait_for(lambda: len(self.service.signed_in_page_loads()) > loads, 20,
                 'the first load after the restart to carry the session')
        self.assertEqual(len(self.service.signins()), 1)


if __name__ == '__main__':
    unittest.main()
