#!/usr/bin/env bash
# Builds the library and runs the demo: encode, move the bytes in small
# pieces through the incremental streams, decode, print.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"
cmake --preset demo >/dev/null
cmake --build --preset demo -j2 --target demo
./build/demo/examples/demo
