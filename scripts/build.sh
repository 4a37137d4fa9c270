#!/usr/bin/env bash
# Configures and builds Halden into build/<name>.
#   scripts/build.sh <name> [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
cmake -S . -B "build/$name" -DHALDEN_WERROR=ON "$@" >/dev/null
cmake --build "build/$name" -j"$(nproc)"
