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
check "keygen with passphrase says what takes its time" \
  'echo "fw pass" | "$fwtag" keygen --key b.key --pubkey b.pub 2>&1 >/dev/null | grep -q "protecting the secret key with the passphrase (scrypt"'
minisign -G -W -p m.pub -s m.key >/dev/null
printf 'pw\npw\n' | minisign -G -p e.pub -s e.key >/dev/null 2>&1
# mb: m's key files with a byte-order mark in front of their comment line,
# which the minisign tool skips unread.
for f in pub key; do printf '\357\273\277' | cat - m.$f > mb.$f; done
head -c 100000 /dev/urandom | tr X Y > img && "$fwtag" add img >/dev/null

# Each signer against both checkers, with and without the fields that bind
# platforms and version: KEY SIGNING COMMAND; the .minisig is kept as
# img.minisig.KEY for the forgeries below.
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
m minisign -S -W -s m.key -m img -t "$(printf 'timestamp:1\tplatforms:GQ\tversion:3.60.1.0.9-GQ')"
mb "$fwtag" sign --key mb.key img
a "$fwtag" sign --key a.key --platforms " GQ	GR" --firmware-version 3.60.1.0.9-GQ img
SIGNERS
check "wrong passphrase refused" '! echo nope | "$fwtag" sign --key e.key img 2>/dev/null'
check "bound fields written as minisign writes its own" \
  'grep -q "^trusted comment: timestamp:[0-9]*	file:img	hashed	platforms:GQ GR	version:3.60.1.0.9-GQ$" img.minisig.a'

# A kit folder: each file it sends, bound to its own config.xml and upgrade.ini
# (found in any case of the name, as the wizard finds them).
mkdir kit && cp img kit/firmware.img && cp img kit/prepare.bin
printf '[platforms]\nGQ GR\n' > kit/upgrade.ini
printf '<config version="3.60.1.0.9-GQ">\n' > kit/Config.XML
check "kit signed" '"$fwtag" sign --key a.key kit >/dev/null'
for f in firmware.img prepare.bin; do
  check "kit: $f bound" 'grep -q "	file:$f	hashed	platforms:GQ GR	version:3.60.1.0.9-GQ$" kit/$f.minisig'
  check "kit: minisign verifies $f" 'minisign -Vq -p a.pub -m kit/$f'
done
# A name with a line end stays in its field: both tools read the signature.
cp img "$(printf 'two\nlines')"
check "line end in a name escaped" '"$fwtag" sign --key a.key two*lines >/dev/null && grep -q "file:two\\\\x0Alines	hashed$" two*lines.minisig'
check "line end in a name: both verify" '"$fwtag" verify --pubkey a.pub two*lines >/dev/null && minisign -Vq -p a.pub -m two*lines'

# Refused (most before any key is read): STATUS#COMMAND#what stderr says.
a_id=$(sed -n '1s/.* //p' a.pub) m_id=$(sed -n '1s/.* //p' m.pub)
sed -n 2p e.key | base64 -d > huge.raw  # scrypt memory limit (bytes 46-53) made absurd
printf '\377\377\377\377\377\377\377\177' | dd of=huge.raw bs=1 seek=46 conv=notrunc status=none
{ echo "untrusted comment: damaged"; base64 -w0 huge.raw; echo; } > huge.key
cp img.minisig.m img.minisig
while IFS='#' read -r status cmd says; do
  eval "says=\"$says\""
  check "refused ($status): $cmd" '( eval "$cmd" ) >/dev/null 2>err; [ $? = "$status" ] && grep -qF -e "$says" err'
done <<'REFUSALS'
1#"$fwtag" verify --pubkey a.pub img#signed with key $m_id, not with the key $a_id of a.pub
1#head -c 1024 /dev/zero | tr '\0' x | "$fwtag" sign --key e.key img#passphrase longer than 1023 bytes
1#echo pw | "$fwtag" sign --key huge.key img#more than the
1#"$fwtag" sign --key a.key --platforms GQ,GR img#separated by blanks
1#"$fwtag" sign --key a.key --firmware-version 3.60-GQ img#not a firmware version
1#"$fwtag" sign --key a.key --platforms GQ --comment "$(printf 'x\tplatforms:GR')" img#platforms field is given twice
2#"$fwtag" sign --key a.key --platforms GQ kit#--platforms and --firmware-version are for single files
1#rm kit/upgrade.ini && "$fwtag" sign --key a.key kit#upgrade.ini: No such file
1#minisign -S -W -s m.key -m img -t "$(head -c 1500 /dev/zero | tr '\0' c)" && "$fwtag" verify --pubkey m.pub img#longer than a gateway takes
REFUSALS

# Ctrl-C at the passphrase prompt gives the terminal its echo back.
check "Ctrl-C at the prompt restores the echo" 'python3 - "$fwtag" b.key img <<"PY"
import os, pty, select, signal, sys, termios, time
master, slave = pty.openpty()
pid = os.fork()
if pid == 0:
    os.setsid()
    import fcntl
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    for fd in (0, 1, 2):
        os.dup2(slave, fd)
    os.execv(sys.argv[1], [sys.argv[1], "sign", "--key", sys.argv[2], sys.argv[3]])
deadline = time.time() + 30
while termios.tcgetattr(slave)[3] & termios.ECHO and time.time() < deadline:
    time.sleep(0.05)
os.write(master, b"\x03")
_, status = os.waitpid(pid, 0)
sys.exit(0 if os.WIFSIGNALED(status) and termios.tcgetattr(slave)[3] & termios.ECHO else 1)
PY'

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
