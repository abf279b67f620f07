#!/usr/bin/env bash
# End-to-end checks of the quillet tool. The command after the mode's own
# arguments runs the tool (an emulator and its options may come first).
#
#   run.sh golden DIR CASE CMD...   CASE.txt -> CASE.xdr -> CASE.out; every
#                                   truncation of CASE.xdr and a trailing
#                                   byte are refused; decode gives it back
#   run.sh seeds CORPUS CMD...      every fuzz seed that decodes comes back
#                                   through decode and decode --json
#   run.sh errors TABLE CMD...      bad text is refused, naming its line;
#                                   bad bytes at one offset for any chunking
#   run.sh usage VERSION CMD...     help, types, version, command-line errors
#   run.sh memory CMD...            encode's peak memory against its text
set -u
mode=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_refusal WHAT STATUS STDERR-FILE PATTERN...: status 1, one line of
# message matching every pattern.
expect_refusal() {
  local what=$1 status=$2 err=$3
  shift 3
  if [ "$status" -ne 1 ]; then
    fail "$what: exit status $status, expected 1"
    return
  fi
  if [ "$(wc -l <"$err")" -ne 1 ]; then
    fail "$what: expected one line on standard error, got:"
    cat "$err" >&2
    return
  fi
  for pattern in "$@"; do
    grep -qF -- "$pattern" "$err" || fail "$what: message lacks '$pattern': $(cat "$err")"
  done
}

# The JSON of a decoded value (standard input) as the text form encode
# reads, with only the escapes that form needs; refuses a JSON value of the
# wrong shape for the type.
json_to_text='
import json, sys
t, v = sys.argv[1], json.load(sys.stdin)
def esc(s, key):
    out = bytearray()
    for i, c in enumerate(s.encode("utf-8", "surrogateescape")):
        pre = c == 92 or c == 10 or (key and (c == 61 or (c == 35 and i == 0)))
        out += b"\\" + (b"n" if c == 10 else bytes([c])) if pre else bytes([c])
    return bytes(out)
def limit(x):
    assert x == "infinity" or type(x) is int, x
    return str(x)
w = sys.stdout.buffer
if t.endswith("map_t"):
    assert type(v) is dict, v
    for k, vs in v.items():
        assert (type(vs) is str) == (t == "map_t"), vs
        for x in [vs] if t == "map_t" else vs:
            w.write(esc(k, True) + b"=" + esc(x, False) + b"\n")
elif t == "rlimit":
    assert sorted(v) == ["rlim_cur", "rlim_max"], v
    w.write((limit(v["rlim_cur"]) + " " + limit(v["rlim_max"]) + "\n").encode())
elif t == "rlim_t":
    w.write((limit(v) + "\n").encode())
else:
    assert type(v) is str, v
    w.write((v + "\n").encode())
'

# roundtrip TYPE XDR WANT CMD...: decode XDR to text, and to JSON turned
# into text, and encode both: each gives WANT.
roundtrip() {
  local type=$1 xdr=$2 want=$3
  shift 3
  "$@" decode "$type" "$xdr" >"$tmp/rt.txt" || fail "decode $xdr"
  "$@" encode "$type" "$tmp/rt.txt" >"$tmp/rt.xdr" || fail "decode $xdr | encode"
  cmp -s "$tmp/rt.xdr" "$want" || fail "decode $xdr | encode: bytes differ from $want"
  "$@" decode --json --chunk 3 "$type" "$xdr" >"$tmp/rt.json" || fail "decode --json $xdr"
  python3 -c "$json_to_text" "$type" <"$tmp/rt.json" >"$tmp/rt.txt" ||
    fail "decode --json $xdr: not JSON of a $type: $(cat "$tmp/rt.json")"
  "$@" encode "$type" "$tmp/rt.txt" >"$tmp/rt.xdr" || fail "decode --json $xdr, encode"
  cmp -s "$tmp/rt.xdr" "$want" || fail "decode --json $xdr: another value"
}

case $mode in
golden)
  dir=$1 name=$2
  shift 2
  type=${name%%.*}
  txt=$dir/$name.txt xdr=$dir/$name.xdr out=$dir/$name.out

  # Text to bytes: from a file, and from standard input through a window of
  # one byte (the encoder pends at every byte).
  "$@" encode "$type" "$txt" >"$tmp/a.xdr" || fail "encode $txt"
  cmp "$tmp/a.xdr" "$xdr" || fail "encode $txt: bytes differ from $xdr"
  "$@" encode --window 1 "$type" <"$txt" >"$tmp/b.xdr" || fail "encode --window 1"
  cmp "$tmp/b.xdr" "$xdr" || fail "encode --window 1: bytes differ from $xdr"

  # Bytes to text: whole, and read one byte at a time.
  "$@" print "$type" "$xdr" >"$tmp/a.out" || fail "print $xdr"
  diff -u "$out" "$tmp/a.out" || fail "print $xdr: text differs from $out"
  "$@" print --chunk 1 "$type" - <"$xdr" >"$tmp/b.out" || fail "print --chunk 1"
  diff -u "$out" "$tmp/b.out" || fail "print --chunk 1: text differs from $out"

  # The round trip through a pipe.
  "$@" encode "$type" "$txt" | "$@" print "$type" >"$tmp/c.out" || fail "encode | print"
  diff -u "$out" "$tmp/c.out" || fail "encode | print: text differs from $out"

  roundtrip "$type" "$xdr" "$xdr" "$@"

  # Every proper prefix is refused, at the offset where the input ended.
  size=$(wc -c <"$xdr")
  for ((k = 0; k < size; k++)); do
    head -c "$k" "$xdr" >"$tmp/cut.xdr"
    "$@" print "$type" "$tmp/cut.xdr" >/dev/null 2>"$tmp/err"
    expect_refusal "$k of $size bytes" $? "$tmp/err" "$type" "byte offset $k:"
  done

  # So is a whole value followed by more bytes.
  { cat "$xdr"; printf '\0'; } >"$tmp/long.xdr"
  "$@" print "$type" "$tmp/long.xdr" >/dev/null 2>"$tmp/err"
  expect_refusal "trailing byte" $? "$tmp/err" "$type" "byte offset $size:"
  echo "$name: $size bytes, $size truncations refused"
  ;;

seeds)
  corpus=$1
  shift
  n=0 seen=
  for seed in "$corpus"/*/*; do
    # TYPE-..., with the wire bytes after 7 bytes of schedule and as many
    # piece sizes as byte 6 says (modulo 16).
    name=${seed##*/} type=${name%%-*}
    skip=$(($(od -An -tu1 -j6 -N1 "$seed") % 16 + 7))
    tail -c "+$((skip + 1))" "$seed" >"$tmp/seed.xdr"
    # Seeds differ mostly in their schedule: each wire once.
    sum=$(cksum <"$tmp/seed.xdr")
    case $seen in *"/$type $sum/"*) continue ;; esac
    seen="$seen/$type $sum/"
    "$@" print "$type" "$tmp/seed.xdr" >"$tmp/seed.out" 2>/dev/null || continue
    n=$((n + 1))
    # The bytes may not be the canonical form of their value (a key with no
    # values is dropped): encode what decode wrote, and check that it is the
    # same value before the round trip itself.
    "$@" decode "$type" "$tmp/seed.xdr" | "$@" encode "$type" >"$tmp/seed.enc" ||
      fail "$name: decode | encode"
    "$@" print "$type" "$tmp/seed.enc" | diff -u "$tmp/seed.out" - ||
      fail "$name: decode | encode gives another value"
    roundtrip "$type" "$tmp/seed.xdr" "$tmp/seed.enc" "$@"
  done
  [ "$n" -gt 0 ] || fail "no seed decodes"
  echo "$n seeds come back through decode"
  ;;

errors)
  table=$1
  shift
  n=0
  # TYPE<TAB>LINE<TAB>TEXT, the text with printf %b escapes: refused by
  # encode. TYPE<TAB>@OFFSET<TAB>BYTES: refused by print, at that offset
  # however the bytes arrive.
  while IFS=$'\t' read -r type line text; do
    case $type in '#'* | '') continue ;; esac
    n=$((n + 1))
    if [ "${line:0:1}" = @ ]; then
      printf '%b' "$text" >"$tmp/in.xdr"
      for chunk in 1 3 5 4096; do
        "$@" print --chunk $chunk "$type" "$tmp/in.xdr" >/dev/null 2>"$tmp/err"
        expect_refusal "$type '$text' in pieces of $chunk" $? "$tmp/err" "$type" \
          "byte offset ${line:1}: malformed value"
      done
      continue
    fi
    printf '%b' "$text" >"$tmp/in.txt"
    "$@" encode "$type" "$tmp/in.txt" >"$tmp/out" 2>"$tmp/err"
    expect_refusal "$type '$text'" $? "$tmp/err" "$type" "line $line:"
    [ -s "$tmp/out" ] && fail "$type '$text': wrote bytes although refused"
  done <"$table"
  echo "$n bad texts and bytes refused"
  ;;

usage)
  version=$1
  shift
  "$@" --help >"$tmp/help" || fail "--help"
  "$@" types >"$tmp/types" || fail "types"
  for t in map_t arraymap_t multimap_t in_addr in6_addr nu_macaddr_t nu_ipaddr_t \
    nu_ipcidr_t rlimit rlim_t; do
    grep -q "^  $t " "$tmp/help" || fail "--help does not list $t"
    grep -q "^$t " "$tmp/types" || fail "types does not list $t"
  done
  [ "$(wc -l <"$tmp/types")" -eq 10 ] || fail "types lists $(wc -l <"$tmp/types") types"
  [ "$("$@" --version)" = "quillet $version" ] || fail "--version: $("$@" --version)"

  # GNU forms: --opt=N, options after the operands, -- before them.
  printf 'k=v\n' | "$@" encode map_t >"$tmp/kv.xdr" || fail "encode k=v"
  "$@" print map_t "$tmp/kv.xdr" >"$tmp/want" || fail "print k=v"
  for args in "--chunk=1 map_t $tmp/kv.xdr" "map_t $tmp/kv.xdr --chunk 2" "map_t --chunk=3 $tmp/kv.xdr" \
    "--chunk 5 -- map_t $tmp/kv.xdr"; do
    # shellcheck disable=SC2086
    "$@" print $args >"$tmp/got" 2>"$tmp/err" || fail "print $args: $(cat "$tmp/err")"
    cmp -s "$tmp/got" "$tmp/want" || fail "print $args: another text"
  done
  # An escape is named as written.
  printf 'a\\q=b\n' | "$@" encode map_t 2>"$tmp/err" >/dev/null
  grep -qF 'unknown escape "\q"' "$tmp/err" || fail "escape named as: $(cat "$tmp/err")"

  # Command-line errors exit with 2, say why in one line (no arguments at
  # all: the usage) and print nothing on standard output.
  while IFS= read -r args; do
    eval "argv=($args)"
    "$@" "${argv[@]}" </dev/null >"$tmp/out" 2>"$tmp/err"
    status=$?
    [ "$status" -eq 2 ] || fail "'$args': exit status $status, expected 2"
    [ -s "$tmp/err" ] || fail "'$args': no message"
    [ -z "$args" ] || [ "$(wc -l <"$tmp/err")" -eq 1 ] || fail "'$args': $(wc -l <"$tmp/err") lines of message"
    [ -s "$tmp/out" ] && fail "'$args': wrote to standard output"
  done <<'EOF'

frobnicate
print
print struct_t
encode map_t a b
print --chunk 0 map_t
print --chunk x map_t
print --chunk +5 map_t
print --chunk ' 7' map_t
print --chunk 0x10 map_t
decode --json --window 4 map_t
encode --json map_t
encode --window map_t
print --window 4 map_t
print map_t /nonexistent/file
print --chunk=0 map_t
print map_t --chunk
print --chunk= map_t
print -- --chunk 5 map_t
decode map_t - --json=1
EOF
  ;;
memory)
  # About 20 MB of key=value text, 40 bytes a line; the old encode kept
  # every line as a string of its own and peaked at 18 times the text.
  python3 -c '
import sys
w = sys.stdout.write
for i in range(500000):
    w("host.%07d.name=value-%07d-abcdefghijk\n" % (i, i))' >"$tmp/big.txt"
  python3 - "$tmp/big.txt" "$@" <<'EOF' || fail "encode's peak memory"
import os, resource, subprocess, sys
text, cmd = sys.argv[1], sys.argv[2:]
with open(os.devnull, "wb") as null:
    rc = subprocess.run(cmd + ["encode", "map_t", text], stdout=null).returncode
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
size = os.path.getsize(text)
print("encode map_t of %d bytes of text: exit %d, peak %d bytes (%.2f times)" %
      (size, rc, peak, peak / size))
sys.exit(rc != 0 or peak > 3 * size)
EOF
  ;;

*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
