"""Prints what the running application costs on a private headless desktop:
the time from starting `halden` to its workspace page being loaded and
connected (the page has received its first recording event), the CPU time
the idle application and its web processes use over a minute, and their
memory (resident and proportional set sizes).

  /usr/bin/python3 bench/desktop_footprint.py --build build/test [--runs 5] [--idle 60]

The build's service URL (its CMake cache) names the stand-in's port.
"""
import argparse
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts'))
from headless_desktop import DevService, HeadlessDesktop, descendants, wait_for  # noqa: E402

TICKS = os.sysconf('SC_CLK_TCK')


def service_port(build):
    with open(os.path.join(build, 'CMakeCache.txt')) as cache:
        url = re.search(r'^HALDEN_SERVICE_URL:STRING=(.*)$', cache.read(), re.M).group(1)
    return int(url.rsplit(':', 1)[1])


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_mib(pid):
    values = {}
    with open('/proc/%d/smaps_rollup' % pid) as f:
        for line in f:
            key, _, rest = line.partition(':')
            if key in ('Rss', 'Pss'):
                values[key] = int(rest.split()[0]) / 1024
    return values['Rss'], values['Pss']


def name_of(pid):
    with open('/proc/%d/comm' % pid) as f:
        return f.read().strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--idle', type=float, default=60)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    halden = os.path.join(build, 'src', 'app', 'halden')

    with HeadlessDesktop() as desktop:
        service = DevService(desktop, os.path.join(build, 'src', 'devservice', 'halden-devservice'),
                             service_port(build))
        starts = []
        for run in range(args.runs):
            service.control('reset', {})
            began = time.monotonic()
            app = desktop.spawn('halden', [halden])
            wait_for(service.page_events, 30, 'the workspace page', interval=0.005)
            starts.append(time.monotonic() - began)
            if run == args.runs - 1:
                time.sleep(5)  # let the page settle before measuring idleness
                processes = descendants(app.pid)
                before = {pid: cpu_seconds(pid) for pid in processes}
                time.sleep(args.idle)
                print('idle for %.0f s:' % args.idle)
                for pid in processes:
                    rss, pss = memory_mib(pid)
                    print('  %-18s CPU %.2f s (%.3f %%)  RSS %6.1f MiB  PSS %6.1f MiB' % (
                        name_of(pid), cpu_seconds(pid) - before[pid],
                        100 * (cpu_seconds(pid) - before[pid]) / args.idle, rss, pss))
            app.terminate()
            app.wait(20)
        print('start to workspace loaded: median %.3f s, worst %.3f s over %d runs (first: %.3f s)'
              % (statistics.median(starts), max(starts), len(starts), starts[0]))


if __name__ == '__main__':
    main()
