"""Every kind of navigation the workspace can attempt, in the real web view:
pages of the service open in the window, downloads and other sites in the
browser, mail links in the mail client; nothing else opens, no second window
appears, a foreign frame never loads and a frame's "start" is not taken."""
import time
import unittest

from desktop_case import DesktopCase, wait_for


class NavigationEndToEnd(DesktopCase):

    def requests(self, path, query=None):
        return [r for r in self.service.log() if r['path'] == path
                and (query is None or r['query'] == query)]

    def open_checks(self):
        loads = len(self.requests('/clients/navigation'))
        self.ui.press(self.ui.link(self.window, 'Navigation checks'))
        wait_for(lambda: len(self.requests('/clients/navigation')) > loads, 20, 'the checks page')
        return self.ui.link(self.window, 'Workspace page')

    def click(self, name, role='link'):
        find = self.ui.link if role == 'link' else self.ui.button
        self.ui.press(find(self.window, name))

    def opened_after(self, count, url):
        wait_for(lambda: url in self.desktop.opened_urls()[count:], 10, url + ' opened')

    def test_each_navigation_has_its_effect(self):
        self.launch()
        events = len(wait_for(self.service.page_events, 10, 'the first event'))
        self.open_checks()

        # The service's own frame loads, and its "start" is not taken: it
        # does not come from the main frame. The foreign frame never loads.
        wait_for(lambda: self.requests('/clients/frame-start', ''), 20, 'the own frame')
        time.sleep(2)
        self.assertEqual(self.requests('/clients/frame-start', 'from=foreign'), [])
        self.assertTrue(self.ui.no_alert(self.app))
        self.assertEqual(len(self.service.page_events()), events)

        opened = len(self.desktop.opened_urls())
        self.click('Another site')
        self.opened_after(opened, 'https://www.example.com/checks')
        self.click('Send mail')
        self.opened_after(opened, 'mailto:checks@example.com')
        self.click('Download a file')
        self.opened_after(opened, self.service.base + '/downloads/checks.txt')
        self.click('Go to another site by script', 'button')
        self.opened_after(opened, 'https://www.example.com/scripted')
        self.click('Call')
        time.sleep(1)
        self.assertEqual(len(self.desktop.opened_urls()), opened + 4, self.desktop.opened_urls())
        self.assertEqual(self.requests('/downloads/checks.txt'), [])
        self.ui.link(self.window, 'Workspace page')  # still the checks page

        for name, role, via in (('Workspace page', 'link', 'via=link'),
                                # WebKit leaves '|', '{', '}' and '^' unescaped
                                ('Workspace at a loosely written address', 'link',
                                 'via=loose&q=a|b{c}^'),
                                ('Workspace in a new window', 'link', 'via=blank'),
                                ('Open a window by script', 'button', 'via=open'),
                                ('Post to a new window', 'button', 'via=post')):
            self.click(name, role)
            loaded = wait_for(lambda: self.requests('/clients/workspace', via), 20,
                              name + ' in the window')
            # The request as the page made it, not only its address.
            expected = ('POST', len('note=kept')) if via == 'via=post' else ('GET', 0)
            self.assertEqual((loaded[0]['method'], loaded[0]['bodySize']), expected)
            self.assertEqual([w.getRoleName() for w in self.ui.windows(self.app)], ['frame'])
            self.open_checks()

        # "/login" starts the desktop sign-in instead of showing the page.
        self.click('Web sign-in')
        wait_for(lambda: [u for u in self.desktop.opened_urls() if '/desktop/connect?id=' in u],
                 20, 'the sign-in to start')
        self.assertEqual(self.requests('/login'), [])
        self.assertEqual(len(self.desktop.opened_urls()), opened + 5)


if __name__ == '__main__':
    unittest.main()
