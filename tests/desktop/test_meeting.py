"""A whole meeting in the real window: the page's start, the confirmation
answered as a user would, a known click train on each source, the page's
stop, the upload, "ready", and the meeting folder gone."""
import io
import os
import struct
import time
import unittest
import wave

from desktop_case import (APPLICATION_MENU, RECORDING_LABEL, RECORDING_TITLE, DesktopCase,
                          wait_for)

# Microphone clicks are positive pulses, the computer's negative, so the mix
# still tells them apart; seconds from the confirmation. Nothing settles the
# sinks first: the computer's output is idle until its first click, as on a
# desktop before a call's audio begins.
SYSTEM_CLICKS = [0.3, 1.5, 2.5, 3.5, 4.5, 5.5]
MICROPHONE_CLICKS = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]


def pulses(samples, rate):
    """(time, sign) of each pulse above a quarter of full scale."""
    found = []
    i = 0
    while i < len(samples):
        if abs(samples[i]) > 8000:
            window = samples[i:i + 40]
            peak = max(range(len(window)), key=lambda k: abs(window[k]))
            found.append(((i + peak) / rate, 1 if window[peak] > 0 else -1))
            i += rate // 100
        else:
            i += 1
    return found


def chunk_samples(data):
    with wave.open(io.BytesIO(data)) as chunk:
        assert (chunk.getnchannels(), chunk.getsampwidth(), chunk.getframerate()) == (1, 2, 16000)
        frames = chunk.readframes(chunk.getnframes())
    return list(struct.unpack('<%dh' % (len(frames) // 2), frames))


class MeetingEndToEnd(DesktopCase):
    tolerance = 0.010  # seconds between a click and where it belongs

    def test_recorded_meeting_reaches_the_service_aligned_and_the_folder_is_removed(self):
        shots = os.environ.get('HALDEN_SCREENSHOTS') or self.desktop.root  # kept when set
        player = self.play_clicks('micsink=+' + ','.join(map(str, MICROPHONE_CLICKS)),
                                  'speakers=-' + ','.join(map(str, SYSTEM_CLICKS)))
        self.launch()
        time.sleep(1)  # the page paints a moment after its content is there
        self.desktop.screenshot(os.path.join(shots, 'window-idle.png'))
        self.sign_in()
        tray = self.desktop.tray()
        item = self.desktop.tray_item()
        self.assertEqual(tray.label(item), 'Halden')

        events_before = len(self.service.page_events())
        _, confirmed = self.start_recording(os.path.join(shots, 'window-confirmation.png'))
        self.assertEqual(tray.label(item), RECORDING_LABEL)
        self.assertIn(RECORDING_TITLE, self.ui.window_titles(self.app))
        end_item = ('End recording & prepare review', True)
        self.assertIn(end_item, dict(self.ui.menu_bar(self.app))['Halden'])
        self.assertIn(end_item, tray.menu(item)[0])
        inhibit = wait_for(lambda: [c for c in self.desktop.inhibitor_calls()
                                    if c['call'] == 'Inhibit'], 10, 'the logout inhibitor')[0]
        self.assertEqual((inhibit['reason'], inhibit['flags']), ('Recording a meeting', 1 | 4))

        played = self.go(player)
        self.desktop.screenshot(os.path.join(shots, 'window-recording.png'))
        meeting = self.current_meeting()
        folder = os.path.join(self.recordings(), meeting)
        self.assertTrue(os.path.isdir(folder))
        end = self.ui.button(self.window, 'End recording')
        ended = time.monotonic()
        self.ui.press(end)
        self.wait_page_event('ready', events_before)
        # Whatever held back logout and suspend for the meeting (the
        # recording, then its upload) lets go with "ready".
        wait_for(lambda: not held_inhibitors(self.desktop.inhibitor_calls()), 1,
                 'every inhibitor released after "ready"')

        # The page heard exactly this, in this order.
        client = {'clientId': 'client-001', 'clientName': 'Example Client'}
        with_meeting = dict(client, meetingId=meeting)
        expected = [
            dict(client, state='processing',
                 message='Waiting for recording confirmation and microphone access\u2026'),
            dict(with_meeting, state='recording',
                 message='Recording microphone and Mac audio. You can keep working in Halden.'),
            dict(with_meeting, state='processing', message='Finishing the recording\u2026'),
            dict(with_meeting, state='processing', message='Preparing the recording\u2026'),
            dict(with_meeting, state='processing',
                 message='Transcribing part 1 of 1. You can keep this window in the background.'),
            dict(with_meeting, state='processing',
                 message='Preparing the summary and proposed memories\u2026'),
            dict(with_meeting, state='ready',
                 message='Meeting ready to review. The uploaded audio has been removed from this Mac.'),
        ]
        self.assertEqual(self.service.page_events()[events_before:], expected)
        self.assertEqual(self.service.summaries(), [{'meetingId': meeting, 'expectedChunks': 1}])
        wait_for(lambda: not os.path.exists(folder), 10, 'the meeting folder to go')

        # Both trains at their true distances: when the server played each
        # click, by its own account, fixes where it belongs in the mix.
        samples = chunk_samples(self.service.chunk(meeting, 0))
        heard = pulses(samples, 16000)
        self.assertNotIn(None, played)
        truth = sorted(zip(played, [1] * len(MICROPHONE_CLICKS) + [-1] * len(SYSTEM_CLICKS)))
        print('played after the confirmation (s):',
              ['%+.3f' % (at - confirmed) for at, _ in truth])
        self.assertEqual([sign for _, sign in heard], [sign for _, sign in truth], heard)
        start = heard[0][0] - truth[0][0]
        errors = [(at - start) - true for (at, _), (true, _) in zip(heard, truth)]
        print('click offsets against the truth (ms):', ['%.2f' % (e * 1000) for e in errors])
        self.assertLessEqual(max(map(abs, errors)), self.tolerance)
        # As long as the recording the user confirmed and ended: what the
        # capture takes to start may be missing, nothing may be added but
        # what the stop takes.
        length = len(samples) / 16000
        print('meeting %.3f s, from the confirmation to the end %.3f s' % (length, ended - confirmed))
        self.assertGreaterEqual(length, ended - confirmed - 0.1)
        self.assertLessEqual(length, ended - confirmed + 0.5)

        # A healthy meeting in the foreground: no notification at all.
        self.assertEqual(self.desktop.notifications(), [])

        # Idle again, everywhere, and the inhibitor released.
        wait_for(lambda: tray.label(item) == 'Halden', 10, 'the idle tray label')
        self.assertIn('Halden', self.ui.window_titles(self.app))
        self.assertEqual(dict(self.ui.menu_bar(self.app))['Halden'], APPLICATION_MENU)
        wait_for(lambda: {'call': 'Uninhibit', 'cookie': inhibit['cookie']}
                 in self.desktop.inhibitor_calls(), 10, 'the inhibitor released')



def held_inhibitors(calls):
    """The cookies of inhibitors taken and not yet released."""
    taken = {c['cookie'] for c in calls if c['call'] == 'Inhibit'}
    return taken - {c['cookie'] for c in calls if c['call'] == 'Uninhibit'}


class MeetingEndToEndOnPipeWire(MeetingEndToEnd):
    sound_server = 'pipewire'


if __name__ == '__main__':
    unittest.main()
