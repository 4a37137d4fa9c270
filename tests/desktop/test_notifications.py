"""The health notices of a running recording, as the desktop's notification
service receives them: a small disk, a microphone that delivers only digital
silence, and a computer output that delivers nothing; each once, at its
threshold and not before."""
import os
import signal
import subprocess
import time
import unittest

from desktop_case import DesktopCase, wait_for

LOW_DISK = 'The disk is almost full'
NO_MICROPHONE = 'No sound from the microphone'
NO_SYSTEM_AUDIO = 'No sound from the computer'


class NotificationsEndToEnd(DesktopCase):

    def summaries(self, since):
        return [n['summary'] for n in self.desktop.notifications()[since:]]

    def test_each_health_notice_comes_once_at_its_threshold(self):
        # A 150 MB file system for the recordings: below the 200 MB mark.
        recordings = self.recordings()
        os.makedirs(recordings, mode=0o700)
        mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=150m,mode=0700', 'tmpfs',
                                  recordings], capture_output=True)
        if mounted.returncode != 0:
            self.skipTest('cannot mount a small file system here: %s' % mounted.stderr.decode())
        self.addCleanup(subprocess.run, ['umount', '-l', recordings])
        # Nothing plays into the microphone (it delivers exact zeros), and the
        # speakers are suspended, so their monitor delivers nothing at all.
        self.assertTrue(self.desktop.pactl('suspend-sink', 'speakers', '1'))
        self.addCleanup(self.desktop.pactl, 'suspend-sink', 'speakers', '0')

        self.launch()
        since = len(self.desktop.notifications())
        self.start_recording()
        began = time.monotonic()
        wait_for(lambda: LOW_DISK in self.summaries(since), 10, 'the low-disk notice')
        self.assertEqual(self.summaries(since), [LOW_DISK])

        time.sleep(max(0, began + 17 - time.monotonic()))
        self.assertEqual(self.summaries(since), [LOW_DISK], 'nothing else before 20 s')
        wait_for(lambda: NO_MICROPHONE in self.summaries(since), 10, 'the microphone notice')
        self.assertGreaterEqual(time.monotonic() - began, 19)
        self.assertNotIn(NO_SYSTEM_AUDIO, self.summaries(since))

        time.sleep(max(0, began + 27 - time.monotonic()))
        self.assertEqual(self.summaries(since), [LOW_DISK, NO_MICROPHONE], 'nothing else before 30 s')
        wait_for(lambda: NO_SYSTEM_AUDIO in self.summaries(since), 10, 'the system-audio notice')
        self.assertGreaterEqual(time.monotonic() - began, 29)
        time.sleep(3)
        self.assertEqual(self.summaries(since), [LOW_DISK, NO_MICROPHONE, NO_SYSTEM_AUDIO])

        self.app_process.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(), 0)


if __name__ == '__main__':
    unittest.main()
