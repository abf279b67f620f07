#!/usr/bin/env bash
# Builds and runs every test: native (gcc), ASan+UBSan (clang), and the 32-bit
# big-endian powerpc target under qemu; then the native suite under valgrind
# and every fuzzer for a bounded time (QUILLET_FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

for preset in dev asan ppc; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset"
done
echo "=== valgrind ==="
bash scripts/valgrind.sh
echo "=== fuzz ==="
bash scripts/fuzz.sh
echo "all configurations passed"
