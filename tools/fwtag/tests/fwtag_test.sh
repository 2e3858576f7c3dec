#!/usr/bin/env bash
# fwtag against the cksum utility and its own verify.
set -u
fwtag=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0
check() { if eval "$2"; then :; else echo "FAIL: $1"; fail=1; fi; }

head -c 100000 /dev/urandom > "$dir/img"
check "sum equals cksum" '[ "$("$fwtag" sum "$dir/img")" = "$(cksum < "$dir/img" | cut -d" " -f1)" ]'
check "add" '"$fwtag" add "$dir/img" >/dev/null'
check "size grows by 8" '[ "$(stat -c %s "$dir/img")" = 100008 ]'
check "verify" '"$fwtag" verify "$dir/img" >/dev/null'
check "second add refused" '! "$fwtag" add "$dir/img" 2>/dev/null'
check "still 100008" '[ "$(stat -c %s "$dir/img")" = 100008 ]'
printf 'X' | dd of="$dir/img" bs=1 seek=500 conv=notrunc status=none
check "changed byte detected" '! "$fwtag" verify "$dir/img" 2>/dev/null'
check "replace" '"$fwtag" add --replace "$dir/img" >/dev/null && "$fwtag" verify "$dir/img" >/dev/null'
check "replace keeps size" '[ "$(stat -c %s "$dir/img")" = 100008 ]'
: > "$dir/empty"
check "untagged refused" '! "$fwtag" verify "$dir/empty" 2>/dev/null'
check "missing file" '! "$fwtag" sum "$dir/none" 2>/dev/null'
check "usage" '! "$fwtag" frobnicate 2>/dev/null'
[ $fail = 0 ] && echo "fwtag: all checks passed"
exit $fail
