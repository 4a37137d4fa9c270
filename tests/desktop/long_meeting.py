"""A long meeting, run by hand (not by ctest): Halden records click trains on
both sources for a long time (30 minutes unless HALDEN_LONG_MINUTES says
otherwise), uploads them, and the clicks at the end must lie as close to
each other as at the start; the resident memory of halden and of its web
process may grow by at most 5 MB between minute 2 and the end.

  HALDEN_BINARY=build/test/src/app/halden \\
  HALDEN_DEVSERVICE=build/test/src/devservice/halden-devservice \\
  HALDEN_PLAY_CLICKS=build/test/tests/capture/halden_play_clicks \\
  HALDEN_SERVICE_URL=http://127.0.0.1:18787 HALDEN_SOUND_SERVER=pulseaudio \\
  /usr/bin/python3 -m unittest -v long_meeting      # from tests/desktop
"""
import os
import time
import unittest

from desktop_case import DesktopCase, wait_for
from headless_desktop import descendants
from test_meeting import chunk_samples, pulses

MINUTES = float(os.environ.get('HALDEN_LONG_MINUTES', '30'))
MEMORY_GROWTH = 5 * 1024 * 1024


def resident_bytes(pid):
    """Resident set of `pid` and all its descendants, bytes."""
    total = 0
    for process in descendants(pid):
        try:
            with open('/proc/%d/status' % process) as f:
                total += sum(int(line.split()[1]) * 1024 for line in f
                             if line.startswith('VmRSS:'))
        except OSError:
            pass
    return total


class LongMeeting(DesktopCase):
    sound_server = os.environ.get('HALDEN_SOUND_SERVER', 'pulseaudio')

    def test_a_long_meeting_keeps_its_tracks_together_and_its_memory(self):
        seconds = MINUTES * 60
        # A microphone click every 2 s, the computer's 1 s after each.
        microphone = [1.0 + 2 * k for k in range(int(seconds / 2) - 1)]
        system = [t + 1.0 for t in microphone]
        player = self.play_clicks('micsink=+' + ','.join('%g' % t for t in microphone),
                                  'speakers=-' + ','.join('%g' % t for t in system),
                                  seconds=seconds)
        self.launch()
        self.sign_in()
        events_before = len(self.service.page_events())
        self.start_recording()
        player.stdin.write(b'go\n')
        player.stdin.flush()
        started = time.monotonic()
        time.sleep(120)
        early = resident_bytes(self.app_process.pid)
        out, _ = player.communicate(timeout=seconds + 60)
        late = resident_bytes(self.app_process.pid)
        print('resident: %.1f MB at minute 2, %.1f MB at minute %.0f' % (
            early / 2**20, late / 2**20, (time.monotonic() - started) / 60))
        meeting = self.current_meeting()
        self.ui.press(self.ui.button(self.window, 'End recording'))
        self.wait_page_event('ready', events_before, timeout=600)

        played = [float(line) for line in out.decode().split()]
        truth = sorted(zip(played, [1] * len(microphone) + [-1] * len(system)))
        heard = []
        for sequence in range(len(self.service.chunks(meeting))):
            offset = 60 * sequence
            heard += [(offset + at, sign) for at, sign in
                      pulses(chunk_samples(self.service.chunk(meeting, sequence)), 16000)]
        self.assertEqual([sign for _, sign in heard], [sign for _, sign in truth])
        start = heard[0][0] - truth[0][0]
        errors = [(at - start) - true for (at, _), (true, _) in zip(heard, truth)]
        # Each system click against the microphone click before it.
        pairs = [errors[i + 1] - errors[i] for i in range(0, len(errors) - 1, 2)]
        print('system against microphone (ms): first minute %s, last minute %s' % (
            ['%.1f' % (p * 1000) for p in pairs[:30:5]],
            ['%.1f' % (p * 1000) for p in pairs[-30::5]]))
        print('worst over the meeting %.1f ms' % (max(map(abs, pairs)) * 1000))
        self.assertLessEqual(max(map(abs, pairs)), 0.010)
        self.assertLessEqual(late - early, MEMORY_GROWTH)
        wait_for(lambda: not os.path.exists(os.path.join(self.recordings(), meeting)), 10,
                 'the meeting folder to go')


if __name__ == '__main__':
    unittest.main()
