#!/usr/bin/env bash
# Installs what is needed, builds Halden with warnings as errors and runs every
# test. With --sanitize, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer instead and runs the unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

if [ "${1:-}" = "--sanitize" ]; then
  scripts/build.sh sanitize -DCMAKE_BUILD_TYPE=Debug -DHALDEN_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build/sanitize --output-on-failure -L unit -j2
else
  # The desktop end-to-end tests run the stand-in service at this address.
  scripts/build.sh test -DHALDEN_SERVICE_URL=http://127.0.0.1:18787
  ctest --test-dir build/test --output-on-failure -j2
fi
