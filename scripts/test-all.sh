#!/usr/bin/env bash
# Builds and runs every test: native (gcc), ASan+UBSan (clang), the 32-bit
# big-endian powerpc target under qemu, and the release build users make
# (everything in it, the benchmarks included); the codec sweep against a
# contract build of libquillet; then the native suite under valgrind and
# every fuzzer for a bounded time (QUILLET_FUZZ_SECONDS each, default 22), and a
# short run of the benchmarks from the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

passed=0
summary=""
for preset in dev asan ppc release; do
  echo "=== $preset ==="
  # Warnings are errors here; a user's release build leaves that off.
  cmake --preset "$preset" -DQUILLET_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j2
  log=$(mktemp)
  ctest --preset "$preset" | tee "$log"
  # "100% tests passed, 0 tests failed out of N"
  n=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  skipped=$(grep -c '(Skipped)' "$log" || true)
  rm -f "$log"
  passed=$((passed + ${n:-0} - skipped))
  summary="$summary $preset:$((${n:-0} - skipped))"
done
# libquillet kept to the platform contract: its imports checked against the
# contract's list, and the codec sweep run against it.
echo "=== contract ==="
cmake --preset contract -DQUILLET_WERROR=ON >/dev/null
cmake --build --preset contract -j2 --target test_codecs
log=$(mktemp)
ctest --preset contract | tee "$log"
n=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
skipped=$(grep -c '(Skipped)' "$log" || true)
rm -f "$log"
passed=$((passed + ${n:-0} - skipped))
summary="$summary contract:$((${n:-0} - skipped))"
echo "=== valgrind ==="
bash scripts/valgrind.sh
echo "=== fuzz ==="
bash scripts/fuzz.sh
echo "=== benchmark smoke run (no thresholds) ==="
bash scripts/bench.sh --smoke
echo "ctest per configuration:$summary"
echo "tests: $passed passed, 0 failed"
