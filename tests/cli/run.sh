#!/usr/bin/env bash
# End-to-end checks of the quillet tool. The command after the mode's own
# arguments runs the tool (an emulator and its options may come first).
#
#   run.sh golden DIR CASE CMD...   CASE.txt -> CASE.xdr -> CASE.out; every
#                                   truncation of CASE.xdr and a trailing
#                                   byte are refused
#   run.sh errors TABLE CMD...      bad text is refused, naming its line
#   run.sh usage VERSION CMD...     help, types, version, command-line errors
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

errors)
  table=$1
  shift
  n=0
  # TYPE<TAB>LINE<TAB>TEXT, the text with printf %b escapes.
  while IFS=$'\t' read -r type line text; do
    case $type in '#'* | '') continue ;; esac
    n=$((n + 1))
    printf '%b' "$text" >"$tmp/in.txt"
    "$@" encode "$type" "$tmp/in.txt" >"$tmp/out" 2>"$tmp/err"
    expect_refusal "$type '$text'" $? "$tmp/err" "$type" "line $line:"
    [ -s "$tmp/out" ] && fail "$type '$text': wrote bytes although refused"
  done <"$table"
  echo "$n bad texts refused"
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

  # Command-line errors exit with 2 and print nothing on standard output.
  while IFS= read -r args; do
    # shellcheck disable=SC2086
    "$@" $args </dev/null >"$tmp/out" 2>"$tmp/err"
    status=$?
    [ "$status" -eq 2 ] || fail "'$args': exit status $status, expected 2"
    [ -s "$tmp/err" ] || fail "'$args': no message"
    [ -s "$tmp/out" ] && fail "'$args': wrote to standard output"
  done <<'EOF'

frobnicate
print
print struct_t
encode map_t a b
print --chunk 0 map_t
print --chunk x map_t
encode --window map_t
print --window 4 map_t
print map_t /nonexistent/file
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
