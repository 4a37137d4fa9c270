"""Records one long meeting with Halden on a private headless desktop and
prints how well it held: where the clicks of both sources lie in the
uploaded audio at the start and at the end, how long the meeting is against
the recording the user confirmed, and the resident memory of Halden and of
its web processes over the meeting. Exits 1 when a click is missing, the
tracks lie more than 10 ms apart anywhere, or a process grew by more than
5 MB from minute 2 to the end.

A click train plays into the computer's output (negative pulses, one every
5 s) and into the microphone's sink (positive pulses, 2.5 s later), at the
server's default latency into sinks nobody settled. Takes the length of the
meeting plus the upload; nothing of it runs in the tests.

  scripts/long_meeting.py --build build/test --port 18787 \
      [--minutes 30] [--sound-server pulseaudio|pipewire]
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from headless_desktop import (DevService, HeadlessDesktop, descendants, pulses,  # noqa: E402
                              sign_in, start_recording, wait_for, wav_samples)

PERIOD = 5.0  # seconds between two clicks of one train
SYSTEM_AT, MICROPHONE_AT = 0.3, 2.8  # the first click of each train
ENDS = 10  # clicks of each train compared at the start and at the end
TOLERANCE = 0.010  # seconds between the two tracks' clicks, anywhere
MEMORY_GROWTH_MB = 5  # of any one process, from minute 2 to the end


def resident_kib(pid):
    try:
        with open('/proc/%d/status' % pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def web_processes(pid):
    """WebKit's helper processes below `pid`."""
    found = []
    for child in descendants(pid)[1:]:
        try:
            with open('/proc/%d/comm' % child) as f:
                name = f.read().strip()
        except OSError:
            continue
        if name.startswith('WebKit'):
            found.append((name, child))
    return found


def memory(pid):
    """KiB resident: Halden's own and each web process's, by name."""
    figures = {'halden': resident_kib(pid)}
    for name, child in web_processes(pid):
        figures[name] = resident_kib(child)
    return figures


def mix_samples(service, meeting):
    samples = []
    for sequence in sorted(service.chunks(meeting), key=int):
        samples.extend(wav_samples(service.chunk(meeting, int(sequence))))
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', required=True, help='the build folder (scripts/build.sh test)')
    parser.add_argument('--port', type=int, required=True, help='the port of the service URL')
    parser.add_argument('--minutes', type=float, default=30)
    parser.add_argument('--sound-server', default='pulseaudio', choices=('pulseaudio', 'pipewire'))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    halden = os.path.join(build, 'src', 'app', 'halden')
    devservice = os.path.join(build, 'src', 'devservice', 'halden-devservice')
    play_clicks = os.path.join(build, 'tests', 'capture', 'halden_play_clicks')
    seconds = args.minutes * 60
    clicks = int((seconds - MICROPHONE_AT) // PERIOD)
    trains = {-1: [SYSTEM_AT + k * PERIOD for k in range(clicks)],
              1: [MICROPHONE_AT + k * PERIOD for k in range(clicks)]}

    with HeadlessDesktop(sound_server=args.sound_server) as desktop:
        service = DevService(desktop, devservice, args.port)
        ui = desktop.ui()
        app_process = desktop.spawn('halden', [halden], log=os.path.join(desktop.root, 'halden.log'))
        try:
            app = ui.app()
            window = ui.main_window(app)
            ui.button(window, 'Start recording', 30)
            sign_in(desktop, service, ui, app, window)
            player = subprocess.Popen(
                [play_clicks, str(seconds), 'speakers=-' + ','.join('%g' % t for t in trains[-1]),
                 'micsink=+' + ','.join('%g' % t for t in trains[1])],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=desktop.env)
            _, confirmed = start_recording(desktop, ui, app, window)
            print('%s: recording %g minutes' % (args.sound_server, args.minutes), flush=True)
            player.stdin.write(b'go\n')
            player.stdin.flush()
            out = []
            reader = threading.Thread(target=lambda: out.append(player.communicate()[0]))
            reader.start()

            samples = {}
            for minute in range(1, int(args.minutes) + 1):
                time.sleep(max(0, confirmed + minute * 60 - time.monotonic()))
                samples[minute] = memory(app_process.pid)
                print('  minute %2d: %s' % (minute, ', '.join(
                    '%s %.1f MB' % (name, kib / 1024) for name, kib in samples[minute].items()
                    if kib)), flush=True)
            reader.join(seconds + 60)
            played = [None if line == '-' else float(line) for line in out[0].decode().split()]
            ui.press(ui.button(window, 'End recording'))
            ended = time.monotonic()
            ready = wait_for(lambda: [e for e in service.page_events() if e['state'] in
                                      ('ready', 'error')], 1800, 'the meeting to be ready')[0]
            print('The page says: %s (%s)' % (ready['message'], ready['state']))
            meeting = ready['meetingId']
            mix = mix_samples(service, meeting)
        finally:
            if app_process.poll() is None:
                ui.choose(app, 'Halden', 'Quit Halden')
                try:
                    app_process.wait(20)
                except subprocess.TimeoutExpired:
                    app_process.kill()

    length = len(mix) / 16000
    print('meeting %.3f s, from the confirmation to the end %.3f s (%+.3f s)'
          % (length, ended - confirmed, length - (ended - confirmed)))
    heard = pulses(mix)
    # The mix's first sample lies at `start` on the server's clock: where the
    # first click was heard against when the server played it.
    truth = sorted(zip(played, [-1] * clicks + [1] * clicks),
                   key=lambda click: click[0] if click[0] is not None else float('inf'))
    first = next(at for at, sign in heard if sign == truth[0][1])
    start = truth[0][0] - first
    errors = {-1: [], 1: []}
    for at, sign in truth:
        near = [h for h, s in heard if s == sign and at is not None and abs(h + start - at) < 0.05]
        errors[sign].append(min((h + start - at for h in near), key=abs) if near else None)
    for name, sign in (('computer', -1), ('microphone', 1)):
        missing = errors[sign].count(None)
        print('%-10s %d clicks, %d not found; offsets (ms) first %s, last %s'
              % (name, clicks, missing,
                 ['-' if e is None else '%.1f' % (e * 1000) for e in errors[sign][:ENDS]],
                 ['-' if e is None else '%.1f' % (e * 1000) for e in errors[sign][-ENDS:]]))
    # Where the two sources lie against each other, from the clicks of
    # each pair that were both found.
    pairs = [(m - c) * 1000 for c, m in zip(errors[-1], errors[1])
             if c is not None and m is not None]
    if pairs:
        print('microphone against computer (ms): first %d pairs median %.2f, last %d median %.2f, '
              'worst %.2f' % (ENDS, statistics.median(pairs[:ENDS]), ENDS,
                              statistics.median(pairs[-ENDS:]), max(pairs, key=abs)))
    problems = [] if ready['state'] == 'ready' else ['the meeting did not upload']
    if any(e is None for train in errors.values() for e in train):
        problems.append('clicks are missing')
    if not pairs or max(map(abs, pairs)) > TOLERANCE * 1000:
        problems.append('the tracks lie more than %g ms apart' % (TOLERANCE * 1000))
    if 2 in samples:
        last = max(samples)
        for name in samples[last]:
            if samples[2].get(name) and samples[last][name]:
                growth = (samples[last][name] - samples[2][name]) / 1024
                print('resident %s: minute 2 %.1f MB, minute %d %.1f MB (%+.1f MB)'
                      % (name, samples[2][name] / 1024, last, samples[last][name] / 1024, growth))
                if growth > MEMORY_GROWTH_MB:
                    problems.append('%s grew by %.1f MB' % (name, growth))
    print('FAILED: ' + '; '.join(problems) if problems else 'ok')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
