"""The fixture of the desktop end-to-end tests: one private headless desktop
and one stand-in service per test class, and the steps a user takes.

ctest passes the programs under test in the environment: HALDEN_BINARY,
HALDEN_DEVSERVICE, HALDEN_PLAY_CLICKS, and HALDEN_SERVICE_URL, the service
address the build was configured with (the stand-in listens there).
"""
import os
import subprocess
import sys
import time
import unittest
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, 'scripts'))
from headless_desktop import (RECORDING_TITLE, DevService, HeadlessDesktop, sign_in,  # noqa: E402
                              start_recording, wait_for)

HALDEN = os.environ.get('HALDEN_BINARY', '')
DEVSERVICE = os.environ.get('HALDEN_DEVSERVICE', '')
PLAY_CLICKS = os.environ.get('HALDEN_PLAY_CLICKS', '')
SERVICE_URL = os.environ.get('HALDEN_SERVICE_URL', '')

RECORDING_LABEL = '\u25cf Recording'
APPLICATION_MENU = [
    ('Sign in through browser', True), ('Client workspace', True),
    ('End recording & prepare review', False), ('Saved recordings', True), None,
    ('Quit Halden', True)]


class DesktopCase(unittest.TestCase):
    """Starts the desktop and the service once for the class; each test
    launches Halden itself."""

    sound_server = 'pulseaudio'  # or 'pipewire'

    @classmethod
    def setUpClass(cls):
        if not (HALDEN and DEVSERVICE and SERVICE_URL):
            raise unittest.SkipTest('run through ctest: HALDEN_BINARY and friends are not set')
        cls.desktop = HeadlessDesktop(sound_server=cls.sound_server)
        cls.desktop.__enter__()
        try:
            port = urllib.parse.urlsplit(SERVICE_URL).port
            cls.service = DevService(cls.desktop, DEVSERVICE, port)
            cls.ui = cls.desktop.ui()
        except BaseException:
            cls.desktop.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desktop.__exit__(None, None, None)

    def setUp(self):
        self.app_process = None

    def tearDown(self):
        if self.app_process and self.app_process.poll() is None:
            self.app_process.kill()
            self.app_process.wait()

    # -- steps

    def launch(self, binary=None, log_name='halden.log'):
        """Starts Halden and waits until its workspace page is ready."""
        self.app_log = os.path.join(self.desktop.root, log_name)
        self.app_process = self.desktop.spawn('halden', [binary or HALDEN], log=self.app_log)
        try:
            self.app = self.ui.app()
        except TimeoutError:
            # The log goes with the temporary desktop: show what halden said.
            state = self.app_process.poll()
            raise TimeoutError('halden %s; its output:\n%s' % (
                'still running' if state is None else 'exited with %s' % state,
                self.app_output()))
        self.window = self.ui.main_window(self.app)
        self.ui.button(self.window, 'Start recording', 30)
        return self.app_process

    def app_output(self):
        with open(self.app_log, errors='replace') as f:
            return f.read()

    def wait_exit(self, timeout=20):
        self.app_process.wait(timeout)
        return self.app_process.returncode

    def sign_in(self):
        return sign_in(self.desktop, self.service, self.ui, self.app, self.window)

    def recorded_meetings(self):
        return [e['meetingId'] for e in self.service.page_events() if e.get('state') == 'recording']

    def start_recording(self, screenshot=None):
        self.meetings_before = set(self.recorded_meetings())
        return start_recording(self.desktop, self.ui, self.app, self.window, screenshot)

    def current_meeting(self):
        """The meeting the last start_recording() began. The page reports it
        to the service on its own time, which on a busy machine comes after
        the window shows the recording."""
        before = getattr(self, 'meetings_before', set())
        return wait_for(lambda: [m for m in self.recorded_meetings() if m not in before], 10,
                        'the page to report the recording')[-1]

    def recordings(self):
        return os.path.join(self.desktop.data_folder(), 'Recordings')

    def play_clicks(self, *trains, seconds=7.5):
        """Starts the player, which plays when told to go()."""
        player = subprocess.Popen([PLAY_CLICKS, str(seconds), *trains], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, env=self.desktop.env)
        def stop():
            if player.poll() is None:
                player.kill()
            player.wait()
            player.stdin.close()
        self.addCleanup(stop)
        return player

    @staticmethod
    def go(player, timeout=30):
        """Plays; returns when the server played each click, in the order of
        the trains (time.monotonic(), by the server's account; None where it
        never told)."""
        player.stdin.write(b'go\n')
        player.stdin.flush()
        out, _ = player.communicate(timeout=timeout)
        assert player.returncode == 0, 'the click player could not play'
        return [None if line == '-' else float(line) for line in out.decode().split()]

    def wait_page_event(self, state, after=0, timeout=90):
        return wait_for(lambda: [e for e in self.service.page_events()[after:]
                                 if e.get('state') == state], timeout, 'the page event %r' % state)
