"""Records one meeting with Halden on a private headless desktop and prints
what the stand-in service received.

The desktop (scripts/headless_desktop.py) has its own X server, D-Bus
session and sound server. Two voices of espeak-ng hold a short conversation:
one on the microphone, the other on the computer's speakers. Halden signs in
(the browser's part is done by approving the request at the service), the
workspace page's "Start recording" is pressed and the confirmation answered
through the accessibility interface, as a user would; after about 20 seconds
the page's "End recording" ends the meeting, and the script waits until the
page reports it ready. Screenshots of the window go to a folder that is kept.

  scripts/headless_meeting.py --build build/app --port 8787
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from headless_desktop import (DevService, HeadlessDesktop, sign_in, start_recording,  # noqa: E402
                              wait_for)

# (speaker, line): "host" talks into the microphone, "guest" comes from the
# computer, as the other side of a call does.
CONVERSATION = [
    ('host', 'Good morning, thanks for joining. Shall we go over the launch plan?'),
    ('guest', 'Morning. Yes, the design review is done and the build is ready.'),
    ('host', 'Great. Then we ship on Thursday and tell the customers on Friday.'),
    ('guest', 'Agreed. I will write the announcement today.'),
]
VOICES = {'host': 'en-us+m3', 'guest': 'en-gb+f3'}
RECORDING_SECONDS = 20


def speak(text, voice, path):
    subprocess.run(['espeak-ng', '-v', voice, '-s', '150', '-w', path, text], check=True)


def conversation_tracks(folder):
    """One WAV per side, each line followed by the other side's turn in
    silence, so that the two play as a dialogue when started together."""
    lines = []
    for k, (who, text) in enumerate(CONVERSATION):
        path = os.path.join(folder, 'line-%d.wav' % k)
        speak(text, VOICES[who], path)
        with wave.open(path) as line:
            lines.append((who, line.getparams(), line.readframes(line.getnframes())))
    params = lines[0][1]
    pause = b'\0' * (params.sampwidth * params.framerate // 2)
    tracks = {'host': b'', 'guest': b''}
    for who, _, frames in lines:
        for side in tracks:
            tracks[side] += (frames if side == who else b'\0' * len(frames)) + pause
    paths = {}
    for side, frames in tracks.items():
        paths[side] = os.path.join(folder, side + '.wav')
        with wave.open(paths[side], 'wb') as out:
            out.setparams(params)
            out.writeframes(frames)
    return paths, len(tracks['host']) / (params.sampwidth * params.framerate)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', required=True, help='the build folder (scripts/build.sh app)')
    parser.add_argument('--port', type=int, required=True, help='the port of the service URL')
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    halden = os.path.join(build, 'src', 'app', 'halden')
    devservice = os.path.join(build, 'src', 'devservice', 'halden-devservice')
    shots = tempfile.mkdtemp(prefix='halden-meeting-')

    with HeadlessDesktop() as desktop:
        service = DevService(desktop, devservice, args.port)
        ui = desktop.ui()
        tracks, spoken = conversation_tracks(desktop.root)
        log = os.path.join(shots, 'halden.log')
        app_process = desktop.spawn('halden', [halden], log=log)
        try:
            app = ui.app()
            window = ui.main_window(app)
            ui.button(window, 'Start recording', 30)
            print('Halden is showing the workspace.')

            url = sign_in(desktop, service, ui, app, window)
            print('Signed in; Halden opened the connect page in the browser:', url)
            desktop.screenshot(os.path.join(shots, '1-idle.png'))

            texts, _ = start_recording(desktop, ui, app, window,
                                    os.path.join(shots, '2-confirmation.png'))
            print('Confirmation:', ' / '.join(texts))
            started = time.monotonic()
            print('Recording; the conversation plays (%.1f s).' % spoken)
            players = [desktop.spawn('player', ['pacat', '--latency-msec=20', '-d', sink,
                                                '--file-format=wav', tracks[side]])
                       for side, sink in (('host', 'micsink'), ('guest', 'speakers'))]
            time.sleep(5)
            desktop.screenshot(os.path.join(shots, '3-recording.png'))
            for player in players:
                player.wait(60)
            time.sleep(max(0, RECORDING_SECONDS - (time.monotonic() - started)))
            ui.press(ui.button(window, 'End recording'))
            print('Ended after %.1f s; uploading.' % (time.monotonic() - started))
            ready = wait_for(lambda: [e for e in service.page_events() if e['state'] in
                                      ('ready', 'error')], 180, 'the meeting to be ready')[0]
            time.sleep(1.5)  # the page repaints after it has reported the event
            desktop.screenshot(os.path.join(shots, '4-ready.png'))
            print('The page says: %s (%s)' % (ready['message'], ready['state']))

            meeting = ready.get('meetingId', '')
            chunks = service.chunks(meeting)
            seconds = sum((len(service.chunk(meeting, int(k))) - 44) / 32000 for k in chunks)
            print('\nThe service received for meeting %s:' % meeting)
            print('  %d chunk(s), %.1f s of 16 kHz mono audio' % (len(chunks), seconds))
            for sequence, digest in sorted(chunks.items(), key=lambda item: int(item[0])):
                print('    chunk %s  sha256 %s' % (sequence, digest))
            for summary in service.summaries():
                print('  a summary request for %d chunk(s)' % summary['expectedChunks'])
            folder = os.path.join(desktop.data_folder(), 'Recordings', meeting)
            print('  local folder removed:', 'yes' if not os.path.exists(folder) else 'no')
            print('\nScreenshots of the window:', shots)

            ui.choose(app, 'Halden', 'Quit Halden')
            app_process.wait(20)
        finally:
            if app_process.poll() is None:
                app_process.kill()
    return 0 if ready['state'] == 'ready' else 1


if __name__ == '__main__':
    sys.exit(main())
