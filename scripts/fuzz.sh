#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ in build/fuzz (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a while.
#
#   scripts/fuzz.sh [--seconds N] [--jobs J] [--build-jobs B] [TARGET...]
#
# N seconds per target (default 600), J targets at a time (default 1), B
# compile jobs (default: the number of cores). fuzz/corpus/<target> is read
# as seeds and never written; what a run finds goes to build/fuzz/corpus/
# <target>, which later runs start from. Prints one line per target and exits
# non-zero when any target found a crash, leak, time-out or memory blow-up,
# naming the input it kept.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/fuzz

seconds=600
jobs=1
build_jobs=$(nproc)
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build-jobs) build_jobs=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ "${#targets[@]}" -eq 0 ]; then
  for source in fuzz/fuzz_*.cc; do targets+=("$(basename "$source" .cc)"); done
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # No -Werror: clang warns about things gcc, the project's compiler, does not.
  cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DHALDEN_FUZZ=ON -DHALDEN_TESTS=OFF -DHALDEN_WERROR=OFF "${launcher[@]}" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
  mv "$build.configure.log" "$build/configure.log"
fi
cmake --build "$build" --target halden_fuzz -j "$build_jobs" >"$build/fuzz-build.log" 2>&1 ||
  { tail -50 "$build/fuzz-build.log" >&2; exit 1; }

# One target: runs it, then prints its summary line into $out/summary.
run_target() {
  local target=$1
  local out=$build/runs/$target
  local corpus=$build/corpus/$target
  local seeds=$root/fuzz/corpus/$target
  rm -rf "$out"
  mkdir -p "$out" "$corpus"
  local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$out/")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
  local dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  local status=0
  # The scratch folders of the targets go under this run's own folder.
  TMPDIR=$out "$build/fuzz/$target" "${options[@]}" "${dirs[@]}" >"$out/log" 2>&1 || status=$?

  local last execs rate cov ft units bytes
  last=$(grep -E '^#[0-9]+' "$out/log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/log")
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  units=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sk "$corpus" | cut -f1)
  local line
  line=$(printf '%-22s %10s execs %7s exec/s  cov %6s  ft %6s  corpus %5s files %6s KB' \
    "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$units" "$bytes")
  local findings
  findings=$(find "$out" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o \
    -name 'timeout-*' -o -name 'oom-*' \) | sort)
  if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
    line+="  FINDING (exit $status): ${findings:-see $out/log}"
  fi
  echo "$line" >"$out/summary"
}

mkdir -p "$build/runs"
running=0
for target in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/$target" ]; then echo "fuzz.sh: no target $target" >&2; exit 2; fi
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait

failed=0
for target in "${targets[@]}"; do
  summary=$(cat "$build/runs/$target/summary")
  echo "$summary"
  if [[ "$summary" == *FINDING* ]]; then
    failed=1
    grep -m1 -E 'ERROR: |invariant broken|SUMMARY: ' "$build/runs/$target/log" | sed 's/^/    /' || true
  fi
done
exit "$failed"
