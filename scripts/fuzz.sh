#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs every fuzzer
# for a bounded time, starting from its committed seeds in fuzz/corpus.
#   scripts/fuzz.sh [SECONDS]      time per fuzzer (or QUILLET_FUZZ_SECONDS;
#                                  default 22: about 90 s for the four)
# Inputs the fuzzers find worth keeping go to build/fuzz/corpus/<family>; a
# failing input is written to build/fuzz/finds/<family>/ and stops the run.
# Once fixed, copy it into fuzz/regressions/<family>/: test_fuzz_corpus
# replays every seed and regression in every build, the 32-bit target too.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

secs=${1:-${QUILLET_FUZZ_SECONDS:-22}}
families=(addr containers netrl corpus)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target "${families[@]/#/fuzz_}"

for f in "${families[@]}"; do
  work=build/fuzz/corpus/$f
  finds=build/fuzz/finds/$f
  log=build/fuzz/fuzz_$f.log
  mkdir -p "$work" "$finds"
  # No single allocation may approach what a hostile length announces.
  if ! ./build/fuzz/fuzz/fuzz_"$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=1024 \
      -malloc_limit_mb=32 -print_final_stats=1 -artifact_prefix="$finds/" \
      "$work" fuzz/corpus/"$f" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$f: FAILED, input in $finds/ (log $log)"
    exit 1
  fi
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  echo "fuzz_$f: ${execs:-?} executions in ${secs}s, ${cov:-?} coverage points"
done
