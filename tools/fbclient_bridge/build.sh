#!/usr/bin/env bash
# Builds the fbclient bridge for Wine into OUTDIR:
#   OUTDIR/x86_64-windows/fbclient.dll  the Windows half, marked as a Wine builtin
#   OUTDIR/x86_64-unix/fbclient.so      the unix half, linked against libfbclient.so.2
# Wine then serves LoadLibrary("fbclient.dll") from it when started with WINEDLLPATH=OUTDIR. It has
# to be a builtin found through WINEDLLPATH: only builtins get a unix half, so a copy beside the
# program or in system32 fails to initialise (error 1114).
# (Wine 8.0 also takes both files straight from OUTDIR; the two folders mirror its own library folder.)
#   tools/fbclient_bridge/build.sh OUTDIR
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
fail() { echo "fbclient bridge: $*" >&2; exit 1; }

[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1

mingw=
for c in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc; do
  command -v "$c" >/dev/null && { mingw=$c; break; }
done
[ -n "$mingw" ] || fail "no MinGW-w64 C compiler (install g++-mingw-w64-x86-64-posix)"
command -v winebuild >/dev/null || fail "no winebuild (install wine64-tools)"
command -v cc >/dev/null || fail "no C compiler for the unix half (install build-essential)"
ibase=${TAVRIMONDO_IBASE_H:-/usr/include/ibase.h}
[ -f "$ibase" ] || fail "no Firebird client header at $ibase (install firebird-dev)"

mkdir -p "$out/x86_64-windows" "$out/x86_64-unix" || fail "cannot create $out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The Windows half takes ibase.h from its own folder: adding /usr/include to MinGW's search path
# would bring glibc's headers in place of MinGW's.
cp "$ibase" "$tmp/ibase.h"

flags=(-O2 -Wall -Wextra -Werror)
"$mingw" "${flags[@]}" -shared -static -s -I"$tmp" -I"$src" "$src/fbclient_pe.c" \
  -o "$out/x86_64-windows/fbclient.dll" || fail "the Windows half did not build"
# Without the builtin mark Wine maps the DLL as a native one, which gets no unix half.
winebuild --builtin "$out/x86_64-windows/fbclient.dll" || fail "winebuild could not mark fbclient.dll as builtin"

cc "${flags[@]}" -shared -fPIC -I"$tmp" -I"$src" "$src/fbclient_unix.c" \
  -o "$out/x86_64-unix/fbclient.so" -lfbclient || fail "the unix half did not build (is firebird-dev installed?)"
# Wine gives no reason when the unix half cannot be loaded, so a missing client is reported here.
if ldd "$out/x86_64-unix/fbclient.so" | grep -q "not found"; then
  fail "the unix half's libraries cannot all be found: $(ldd "$out/x86_64-unix/fbclient.so" | grep 'not found' | tr -s ' \t\n' ' ')"
fi
echo "fbclient bridge: built in $out (use WINEDLLPATH=$out)"
