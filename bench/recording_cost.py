"""Prints what recording costs: the CPU share of one core that the recorder
takes while both sources deliver (the microphone, fed by a player at 20 ms
latency, and the computer's output, where --streams players play at the
server's default latency), against plain `parec` processes recording the
same: the microphone and each playing stream alone, on a private PulseAudio
and on PipeWire, with what each makes the sound server do.

  /usr/bin/python3 bench/recording_cost.py --build build/test [--seconds 30] [--rounds 3]
      [--streams 5]

The recorder is the capture test's helper (tests/capture/record_helper.cc):
the application's own recorder, with nothing else of the application
around it.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts'))
from headless_desktop import HeadlessDesktop  # noqa: E402

def cpu_seconds(pids):
    """CPU time the processes' threads have run, from the scheduler's own
    account in nanoseconds: utime and stime in /proc/PID/stat are sampled at
    the timer tick, too coarse for processes that wake for microseconds
    every few milliseconds."""
    total = 0
    for pid in pids:
        for task in os.listdir('/proc/%d/task' % pid):
            with open('/proc/%d/task/%s/schedstat' % (pid, task)) as f:
                total += int(f.read().split()[0])
    return total / 1e9


SERVERS = ('pulseaudio', 'pipewire', 'pipewire-pulse', 'wireplumber')


def share(desktop, name, commands, seconds):
    """Percent of one core that the processes of `commands`, and the sound
    server's processes, use over `seconds`, measured after they ran for 3 s.
    The server counts because a pulse client's per-cycle work on PipeWire
    is done in its pulse server, a native client's in the client itself."""
    children = [desktop.spawn('%s-%d' % (name, i), command) for i, command in
                enumerate(commands)]
    time.sleep(3)
    pids = [child.pid for child in children]
    servers = [child.pid for label, child in desktop.children if label in SERVERS]
    before = cpu_seconds(pids), cpu_seconds(servers)
    time.sleep(seconds)
    used = cpu_seconds(pids) - before[0], cpu_seconds(servers) - before[1]
    for child in children:
        if child.poll() is not None:
            raise RuntimeError('%s ended early' % name)
        child.kill()
        child.wait()
    desktop.children = [(n, c) for n, c in desktop.children if c not in children]
    return tuple(100 * u / seconds for u in used)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default='build/test')
    parser.add_argument('--seconds', type=float, default=30)
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--streams', type=int, default=5)
    options = parser.parse_args()
    helper = os.path.abspath(os.path.join(options.build, 'tests', 'capture',
                                          'halden_record_helper'))
    for server in ('pulseaudio', 'pipewire'):
        with HeadlessDesktop(sound_server=server) as desktop, \
                tempfile.TemporaryDirectory() as meeting:
            desktop.spawn('player-micsink', ['sh', '-c', 'exec pacat -p --latency-msec=20 '
                                             '-d micsink < /dev/urandom'])
            for k in range(options.streams):
                desktop.spawn('player-%d' % k, ['sh', '-c', 'exec pacat -p -d speakers '
                                                '< /dev/urandom'])
            time.sleep(1)
            speakers = subprocess.run(['pactl', 'list', 'short', 'sinks'], env=desktop.env,
                                      capture_output=True, text=True).stdout
            speakers = [line.split()[0] for line in speakers.splitlines()
                        if line.split()[1] == 'speakers'][0]
            inputs = subprocess.run(['pactl', 'list', 'short', 'sink-inputs'], env=desktop.env,
                                    capture_output=True, text=True).stdout
            streams = [line.split()[0] for line in inputs.splitlines()
                       if line.split()[1] == speakers]
            assert len(streams) == options.streams, inputs
            each = 'parec -d speakers.monitor --monitor-stream=%s'
            many = '%d parec' % (options.streams + 1)
            # Rounds alternate, so that a slow spell of the machine falls on
            # every kind of recorder alike; each figure is the median.
            kinds = {
                'players alone': [['sleep', '1000']],
                'recorder': [[helper, meeting]],
                many: [(each % s).split() for s in streams] + [['parec', '-d', 'mic']],
                many + ' at 20 ms': [(each % s).split() + ['--latency-msec=20'] for s in streams]
                + [['parec', '--latency-msec=20', '-d', 'mic']],
            }
            figures = {kind: [] for kind in kinds}
            for _ in range(options.rounds):
                for kind, commands in kinds.items():
                    figures[kind].append(share(desktop, kind, commands, options.seconds))
            median = {kind: tuple(statistics.median(f[i] for f in runs) for i in range(2))
                      for kind, runs in figures.items()}
            idle_server = median['players alone'][1]
            print('%s (median of %d rounds of %g s; %% of one core; server: its processes\' '
                  'CPU beyond the players\' alone, %.2f %%)' % (server, options.rounds,
                                                               options.seconds, idle_server))
            total = {}
            for kind in list(kinds)[1:]:
                own, in_server = median[kind]
                total[kind] = own + in_server - idle_server
                print('  %-22s own %.2f %%, server %+.2f %%, together %.2f %%'
                      % (kind, own, in_server - idle_server, total[kind]))
            for kind in (many, many + ' at 20 ms'):
                print('  recorder against %s: %.1fx' % (kind, total['recorder'] /
                                                       max(total[kind], 0.01)))


if __name__ == '__main__':
    main()
