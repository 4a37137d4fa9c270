"""Prints what recording costs: the CPU share of one core that the recorder
takes while both sources deliver (the computer's output and the microphone,
each fed by a player at 20 ms latency), against two plain `parec` processes
recording the same two sources, on a private PulseAudio and on PipeWire.

  /usr/bin/python3 bench/recording_cost.py --build build/test [--seconds 30]

The recorder is the capture test's helper (tests/capture/record_helper.cc):
the application's own recorder, with nothing else of the application
around it.
"""
import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts'))
from headless_desktop import HeadlessDesktop  # noqa: E402

TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICKS


def share(desktop, name, commands, seconds):
    """Percent of one core the processes of `commands` use over `seconds`,
    measured after they ran for 3 s."""
    children = [desktop.spawn('%s-%d' % (name, i), command) for i, command in
                enumerate(commands)]
    time.sleep(3)
    pids = [child.pid for child in children]
    before = cpu_seconds(pids)
    time.sleep(seconds)
    used = cpu_seconds(pids) - before
    for child in children:
        if child.poll() is not None:
            raise RuntimeError('%s ended early' % name)
        child.kill()
        child.wait()
    return 100 * used / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default='build/test')
    parser.add_argument('--seconds', type=float, default=30)
    options = parser.parse_args()
    helper = os.path.abspath(os.path.join(options.build, 'tests', 'capture',
                                          'halden_record_helper'))
    for server in ('pulseaudio', 'pipewire'):
        with HeadlessDesktop(sound_server=server) as desktop, \
                tempfile.TemporaryDirectory() as meeting:
            for sink in ('speakers', 'micsink'):
                desktop.spawn('player-' + sink, ['sh', '-c', 'exec pacat -p --latency-msec=20 '
                                                 '-d %s < /dev/urandom' % sink])
            time.sleep(1)
            recorder = share(desktop, 'recorder', [[helper, meeting]], options.seconds)
            plain = share(desktop, 'parec', [['parec', '-d', 'speakers.monitor'],
                                             ['parec', '-d', 'mic']],
                          options.seconds)
            short = share(desktop, 'parec', [
                ['parec', '--latency-msec=20', '-d', 'speakers.monitor'],
                ['parec', '--latency-msec=20', '-d', 'mic']], options.seconds)
            print('%-10s recorder %.2f %%; two parec %.2f %% (%.1fx), at 20 ms latency %.2f %% '
                  '(%.1fx)' % (server, recorder, plain, recorder / max(plain, 0.01), short,
                               recorder / max(short, 0.01)))


if __name__ == '__main__':
    main()
