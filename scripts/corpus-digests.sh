#!/usr/bin/env bash
# Rewrites tests/corpus/digests.tsv from a native build's corpus tests: the
# outcomes that the 32-bit target must reproduce. Run it after a change
# that alters what the generated decoders accept, once the native corpus
# tests agree with rpcgen.
#   scripts/corpus-digests.sh [BUILD_DIR]   (default build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
out=tests/corpus/digests.tsv
{
  echo "# corpus file, FNV-1a of its .x, digest of every input's outcome (scripts/corpus-digests.sh)"
  for t in "$build"/tests/corpus/corpus_test_*; do
    "$t" 2>&1 | grep -P '^[a-z_]+\t[0-9a-f]{16}\t[0-9a-f]{16}$' || true
  done | sort
} >"$out"
echo "$(grep -vc '^#' "$out") files in $out"
