#!/usr/bin/env bash
# Installs what is needed, builds Halden with warnings as errors and runs every
# test. With --sanitize, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer instead and runs the unit tests; with --threads,
# builds with ThreadSanitizer and runs the tests of the code that runs on
# several threads (capture, tasks, the meeting session, the service client).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# A test may skip only where this machine lacks what it needs, and then says
# so ("cannot mount a tmpfs here"); any other skip fails the run, since a
# check that skips itself proves nothing.
check_skips() {
  local log="$1/Testing/Temporary/LastTest.log" reasons
  reasons=$({
    grep -A1 ': Skipped$' "$log" | grep -vE ': Skipped$|^--$' || true
    grep -o "skipped '[^']*'" "$log" | sed "s/^skipped '//; s/'$//" || true
  } | grep -vE '\bhere\b' || true)
  if [ -n "$reasons" ]; then
    echo "tests skipped without naming what this machine lacks:" >&2
    echo "$reasons" >&2
    return 1
  fi
}

if [ "${1:-}" = "--sanitize" ]; then
  scripts/build.sh sanitize -DCMAKE_BUILD_TYPE=Debug -DHALDEN_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build/sanitize --output-on-failure --no-tests=error -L unit -j2
  check_skips build/sanitize
elif [ "${1:-}" = "--threads" ]; then
  cmake -S . -B build/tsan -DHALDEN_WERROR=ON -DHALDEN_TSAN=ON \
    -DHALDEN_SERVICE_URL=http://127.0.0.1:18787 >/dev/null
  cmake --build build/tsan --target halden_thread_tests -j"$(nproc)"
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
  # Slowed down many times over, the click-alignment tests and the PipeWire
  # runs (whose server hands over audio late and in bursts under that load)
  # would measure the sanitizer, not the capture; the PulseAudio runs of the
  # other capture tests go through the same threads.
  filter='-*ClickTrains*:*EveryClick*:*/PipeWire'
  failed=0
  programs=0
  while read -r tests; do
    programs=$((programs + 1))
    echo "== $(basename "$tests")"
    # A filter that matches nothing would pass without testing anything.
    matched=$("$tests" --gtest_list_tests --gtest_filter="$filter" | grep -c '^  ' || true)
    if [ "$matched" -eq 0 ]; then
      echo "no test of $(basename "$tests") matches $filter" >&2
      failed=1
      continue
    fi
    (cd "$(dirname "$tests")" && "$tests" --gtest_brief=1 --gtest_filter="$filter") || failed=1
  done <build/tsan/thread_tests.txt
  if [ "$programs" -eq 0 ]; then
    echo "no thread tests were built" >&2
    failed=1
  fi
  exit "$failed"
else
  # The desktop end-to-end tests run the stand-in service at this address.
  scripts/build.sh test -DHALDEN_SERVICE_URL=http://127.0.0.1:18787
  ctest --test-dir build/test --output-on-failure --no-tests=error -j2
  check_skips build/test
fi
