#!/usr/bin/env bash
# fwtag against the cksum utility and its own verify, and its signatures
# against the minisign tool, in both directions.
set -u
fwtag=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0
check() { if eval "$2"; then :; else echo "FAIL: $1"; fail=1; fi; }

# Random bytes without an "X", so that the "X" written below always changes one.
head -c 100000 /dev/urandom | tr X Y > "$dir/img"
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

# Signatures. Keys: a (fwtag, no passphrase), b (fwtag, passphrase "fw pass"),
# m (minisign, no passphrase), e (minisign, passphrase "pw").
cd "$dir"
check "keygen" '"$fwtag" keygen -W --key a.key --pubkey a.pub >/dev/null'
check "secret key mode 0600" '[ "$(stat -c %a a.key)" = 600 ]'
check "keygen never overwrites" '! "$fwtag" keygen -W --key a.key --pubkey other.pub 2>/dev/null && [ ! -e other.pub ]'
check "keygen with passphrase" 'echo "fw pass" | "$fwtag" keygen --key b.key --pubkey b.pub >/dev/null'
minisign -G -W -p m.pub -s m.key >/dev/null
printf 'pw\npw\n' | minisign -G -p e.pub -s e.key >/dev/null 2>&1
head -c 100000 /dev/urandom | tr X Y > img && "$fwtag" add img >/dev/null

# Each signer against both checkers: KEY SIGNING COMMAND; the .minisig is
# kept as img.minisig.KEY for the forgeries below.
while read -r key signer; do
  rm -f img.minisig
  check "sign: $signer" "$signer >/dev/null 2>&1"
  check "fwtag verifies: $signer" '"$fwtag" verify --pubkey $key.pub img >/dev/null'
  check "minisign verifies: $signer" 'minisign -Vq -p $key.pub -m img'
  cp img.minisig img.minisig.$key
done <<'SIGNERS'
b echo "fw pass" | minisign -S -s b.key -m img
e echo pw | "$fwtag" sign --key e.key img
m minisign -S -l -W -s m.key -m img
m minisign -S -W -s m.key -m img
a "$fwtag" sign --key a.key --comment "kit 3.60" img
a "$fwtag" sign --key a.key img
SIGNERS
check "wrong passphrase refused" '! echo nope | "$fwtag" sign --key e.key img 2>/dev/null'

# Forgeries: SETUP; both checkers must refuse img against a.pub.
refused() { ! "$fwtag" verify --pubkey a.pub img >/dev/null 2>&1 && ! minisign -Vq -p a.pub -m img 2>/dev/null; }
cp img img.good
while IFS='|' read -r name setup; do
  cp img.good img && cp img.minisig.a img.minisig
  eval "$setup"
  check "refused: $name" refused
done <<'FORGERIES'
tampered image|printf X | dd of=img bs=1 seek=7 conv=notrunc status=none
another key's signature|cp img.minisig.m img.minisig
missing signature|rm img.minisig
altered trusted comment|sed -i '3s/$/ x/' img.minisig
signature of another file|"$fwtag" sign --key a.key img.good >/dev/null && mv img.good.minisig img.minisig && printf 'y' >> img
not a signature|echo hello > img.minisig
truncated signature|sed -i 4d img.minisig
FORGERIES
cp img.good img && cp img.minisig.a img.minisig
printf X | dd of=img bs=1 seek=7 conv=notrunc status=none && "$fwtag" sign --key a.key img >/dev/null
check "signed but bad tag refused" '! "$fwtag" verify --pubkey a.pub img >/dev/null 2>&1'

[ $fail = 0 ] && echo "fwtag: all checks passed"
exit $fail
