#!/bin/sh
# The install tree of a gateway build, as a firmware build takes it:
# DESTDIR install, exactly the expected files, the production programs in
# it, and a C program of its own built against the library through
# pkg-config, static and shared, run under the emulator.
# Usage: install_test.sh BUILD_DIR CC SYSROOT TRIPLET PREFIX CGIDIR EMULATOR...
set -eu
build=$1 cc=$2 sysroot=$3 triplet=$4 prefix=$5 cgidir=$6
shift 6
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/dornix-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage

fail() { echo "install_test: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
(cd "$stage" && find . ! -type d | sort) >"$work/files"
cat >"$work/expected" <<LIST
.$prefix/bin/dornix-msg
.$prefix/include/dornix/comm.h
.$prefix/include/dornix/message.h
.$prefix/lib/libdornixmsg.a
.$prefix/lib/libdornixmsg.so
.$prefix/lib/libdornixmsg.so.0
.$prefix/lib/libdornixmsg.so.0.1
.$prefix/lib/pkgconfig/dornixmsg.pc
.$prefix/$cgidir/dornix
LIST
sort -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/files" || fail "the install tree differs from the expected one"
cmp -s "$stage$prefix/$cgidir/dornix" "$build/production/dornix" ||
  fail "the installed CGI is not the production build"
cmp -s "$stage$prefix/bin/dornix-msg" "$build/production/dornix-msg" ||
  fail "the installed dornix-msg is not the production build"

# pkg-config as a cross build uses it: the staged tree as the sysroot,
# expat's own .pc from the gateway's sysroot.
export PKG_CONFIG_SYSROOT_DIR="$stage"
export PKG_CONFIG_LIBDIR="$stage$prefix/lib/pkgconfig:$sysroot/usr/lib/$triplet/pkgconfig"
shared_flags=$(pkg-config --cflags --libs dornixmsg) || fail "pkg-config dornixmsg failed"
static_flags=$(pkg-config --static --cflags --libs dornixmsg) || fail "pkg-config --static dornixmsg failed"
# shellcheck disable=SC2086
"$cc" -Wall -Wextra -Werror -o "$work/shared" "$here/msg_user.c" $shared_flags ||
  fail "linking against the shared library failed"
# shellcheck disable=SC2086
"$cc" -Wall -Wextra -Werror -static -o "$work/static" "$here/msg_user.c" $static_flags \
  -L"$sysroot/usr/lib/$triplet" || fail "linking against the static library failed"

"$@" "$work/static" >"$work/out" || fail "the statically linked program failed"
"$@" -E LD_LIBRARY_PATH="$stage$prefix/lib" "$work/shared" >>"$work/out" ||
  fail "the program on the shared library failed"
cat "$work/out"
