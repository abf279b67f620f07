#!/usr/bin/env bash
# Release build of the benchmarks, then: the suite against libtirpc with its
# ratio table, the memory of a decode fed in pieces, nfs_prot.x's types
# through quilletc's filters beside rpcgen's, and the target's code size of
# both for that file.
#   scripts/bench.sh            full run (5 repetitions; 64 and 16 MiB messages)
#   scripts/bench.sh --smoke    quick run (1 short repetition; 4 and 1 MiB)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev libtirpc-dev rpcsvc-proto \
  g++-powerpc-linux-gnu

smoke=0
[ "${1:-}" = "--smoke" ] && smoke=1

cmake --preset release >/dev/null
cmake --build --preset release -j2 --target bench mem_pieces bench_corpus quilletc
if [ "$smoke" -eq 1 ]; then
  ./build/release/bench/bench --smoke
  ./build/release/bench/mem_pieces 4 1
  ./build/release/bench/bench_corpus --benchmark_min_time=0.001
else
  ./build/release/bench/bench
  ./build/release/bench/mem_pieces 64 16
  ./build/release/bench/bench_corpus --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi

# .text of nfs_prot.x's filters on the 32-bit target at -Os: quilletc's
# beside rpcgen's (whose calls into libtirpc, like ours into libaxdr, are
# not counted).
x=/usr/include/rpcsvc/nfs_prot.x
out=build/release/bench/size
mkdir -p "$out"
quilletc=$(find build/release/quilletc -maxdepth 1 -name quilletc -type f)
"$quilletc" -o "$out" "$x"
sh tests/corpus/rpcgen.sh rpcgen /usr/include/rpcsvc "$out/rpcgen" nfs_prot nfs_prot.x
cc="powerpc-linux-gnu-gcc -std=gnu99 -Os -D_FILE_OFFSET_BITS=64 -c"
$cc -Iinclude -Iplatform/axdr/include -I"$out" "$out/nfs_prot.c" -o "$out/ours.o"
$cc -I/usr/include/tirpc -I"$out/rpcgen" "$out/rpcgen/nfs_prot_xdr.c" -o "$out/rpcgen.o" 2>/dev/null
text() { powerpc-linux-gnu-size -A "$1" | awk '$1 == ".text" { print $2 }'; }
ours=$(text "$out/ours.o") theirs=$(text "$out/rpcgen.o")
awk -v o="$ours" -v r="$theirs" 'BEGIN { printf "nfs_prot .text on powerpc at -Os: quilletc %d bytes, rpcgen %d bytes, ratio %.2f (target <= 2)\n", o, r, o / r }'
