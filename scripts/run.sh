#!/usr/bin/env bash
# Installs what is needed, builds Halden against the local stand-in service
# and runs its main job: a meeting recorded in the Halden window.
#
# With a display, it starts the stand-in service and then Halden, and stops
# the service when Halden quits. Without one, it runs a whole meeting on a
# private headless desktop instead (see scripts/headless_meeting.py) and
# prints what the service received.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
port=8787
scripts/build.sh app -DHALDEN_SERVICE_URL="http://127.0.0.1:$port" -DHALDEN_TESTS=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  exec /usr/bin/python3 scripts/headless_meeting.py --build build/app --port "$port"
fi

ready=$(mktemp)
build/app/src/devservice/halden-devservice --port "$port" >"$ready" &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 100); do
  grep -q "listening on" "$ready" && break
  kill -0 "$service" 2>/dev/null || { echo "run.sh: the stand-in service did not start" >&2; exit 1; }
  sleep 0.1
done
echo "Stand-in service at http://127.0.0.1:$port; choose \"Sign in through browser\" in Halden's menu to sign in."
build/app/src/app/halden
