#!/usr/bin/env bash
# Installs what is needed, builds Halden against the local stand-in service and
# runs its main job: the built-in audio self-test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh app -DHALDEN_SERVICE_URL=http://127.0.0.1:8787 -DHALDEN_TESTS=OFF
exec build/app/src/app/halden --self-test
