#!/bin/sh
# rpcgen's header and filters for one corpus file, OUT/NAME.h and
# OUT/NAME_xdr.c, made from copies of the corpus (for #include) fixed where
# rpcgen cannot take a file as it stands:
#   - a `%` line continued with a backslash goes on in lines without `%`,
#     which rpcgen reads as declarations (nis.x: its header fails);
#   - nis_callback.x includes "nis_clnt.h" in its filters, a header no
#     package installs, for the one thing it needs from it: a declaration
#     of nis.x's filter for nis_object.
# Usage: rpcgen.sh RPCGEN DIR OUT NAME FILE.x...
set -eu
rpcgen=$1 dir=$2 out=$3 name=$4
shift 4
mkdir -p "$out"
for f in "$@"; do
  sed -e ':a' -e '/^%.*\\$/{N;s/\\\n%\{0,1\}/ /;ba' -e '}' \
    -e 's/^%#include "nis_clnt.h"/%extern bool_t xdr_nis_object(XDR *, nis_object *);/' \
    "$dir/$f" >"$out/$f"
done
cd "$out"
rm -f "$name.h" "${name}_xdr.c"
"$rpcgen" -h -o "$name.h" "$name.x"
"$rpcgen" -c -o "${name}_xdr.c" "$name.x"
