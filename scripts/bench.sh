#!/usr/bin/env bash
# Release build of the benchmarks, then: the suite against libtirpc with its
# ratio table, and the memory of a decode fed in pieces.
#   scripts/bench.sh            full run (5 repetitions; 64 and 16 MiB messages)
#   scripts/bench.sh --smoke    quick run (1 short repetition; 4 and 1 MiB)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev libtirpc-dev

smoke=0
[ "${1:-}" = "--smoke" ] && smoke=1

cmake --preset release >/dev/null
cmake --build --preset release -j2 --target bench mem_pieces
if [ "$smoke" -eq 1 ]; then
  ./build/release/bench/bench --smoke
  ./build/release/bench/mem_pieces 4 1
else
  ./build/release/bench/bench
  ./build/release/bench/mem_pieces 64 16
fi
