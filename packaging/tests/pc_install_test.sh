#!/bin/sh
# The install tree of a PC build, as its package holds it: exactly the
# expected files, a manual page for every program, and every document that
# a program, a manual page, README.txt or another document names is there,
# at the place the text gives.
# Usage: pc_install_test.sh SOURCE_DIR BUILD_DIR host|mingw
set -eu
source=$1 build=$2 kind=$3
work=$(mktemp -d /tmp/velmora-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage

fail() { echo "pc_install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
(cd "$stage" && find . ! -type d | sort) >"$work/files"
docs="kits.md troubleshooting.md result-codes.md"
case $kind in
  host)
    programs="fwtag velmora-cli velmora-kit"
    docdir=share/doc/velmora
    for p in $programs; do echo "./bin/$p"; echo "./share/man/man1/$p.1"; done >"$work/expected"
    ;;
  mingw)
    programs=""
    docdir=docs
    printf './Velmora.exe\n./README.txt\n' >"$work/expected"
    ;;
  *) fail "unknown kind $kind" ;;
esac
for d in $docs; do echo "./$docdir/$d"; done >>"$work/expected"
sort -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/files" || fail "the install tree differs from the expected one"

for p in $programs; do
  grep -q "^$p \\\\- " "$stage/share/man/man1/$p.1" || fail "$p.1 does not name $p"
done

# Every document named: a bare name lies in the documents' folder, a name
# with a folder (docs\kits.md in README.txt) below the install root. The
# names come from the installed texts (a manual page writes "-" as "\-"),
# from the programs' string literals in their sources (a compiler may cut a
# string in a binary into pieces), and from the documents' links to each
# other, relative to their own folder.
md='[A-Za-z0-9_./\\-]*[A-Za-z0-9_-]\.md'
(cd "$stage" && for f in $(find . -type f ! -name '*.md' -exec grep -Il . {} +); do
   sed 's/\\-/-/g' "$f" | grep -oE "$md" | sed "s|^|${f#./}:|"
 done) >"$work/named" || true
(cd "$source" && for f in $(find pc tools/kitcheck tools/fwtag gateway/contract -path '*/tests' -prune -o \
                              \( -name '*.cpp' -o -name '*.h' \) -print); do
   grep -oE '"([^"\\]|\\.)*"' "$f" | grep -oE "$md" | sed "s|^|$f:|"
 done) >>"$work/named" || true
for d in $docs; do
  grep -oE '\]\([^)#:]+\.md' "$stage/$docdir/$d" | sed "s|^](|$d:|" >>"$work/named" || true
done
sort -u "$work/named" | while IFS= read -r line; do
  from=${line%%:*} name=${line#*:}
  case $name in
    */* | *\\*) path=$(printf '%s' "$name" | tr '\\' /) ;;
    *) path=$docdir/$name ;;
  esac
  [ -f "$stage/$path" ] || fail "$from names $name, but the install tree has no $path"
done
[ "$kind" != host ] || grep -q "$docdir" "$stage/share/man/man1/velmora-kit.1" ||
  fail "velmora-kit does not say where its documents are ($docdir)"
if [ "$kind" = mingw ]; then
  for f in README.txt $(for d in $docs; do echo "$docdir/$d"; done); do
    [ "$(head -n 1 "$stage/$f" | tail -c 2 | od -An -c | tr -d ' ')" = '\r\n' ] ||
      fail "$f: Notepad needs CRLF line ends"
  done
fi
echo "pc_install_test: $(wc -l <"$work/files") files, $(sort -u "$work/named" | wc -l) document names, all there"
