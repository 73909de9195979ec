#!/bin/sh
# Installs a build below a staging root (DESTDIR) with the prefix /opt/kestrix, checks the installed
# files, then builds the example host against them through pkg-config and runs it.
#   install_check.sh <build dir> <source dir> <work dir>
set -eu
build=$1 src=$2 work=$3
fail() { echo "install check: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
DESTDIR="$work/root" cmake --install "$build" --prefix /opt/kestrix >"$work/install.log" ||
  fail "cmake --install failed: $(cat "$work/install.log")"
root="$work/root/opt/kestrix"
for f in bin/tarnel lib/libkestrix.a lib/pkgconfig/kestrix.pc \
         include/kestrix/lua.h include/kestrix/lauxlib.h include/kestrix/lualib.h include/kestrix/luaconf.h; do
  [ -f "$root/$f" ] || fail "not installed: $f"
done
grep -qx 'prefix=/opt/kestrix' "$root/lib/pkgconfig/kestrix.pc" || fail "kestrix.pc does not name the prefix"

command -v pkg-config >/dev/null || fail "needs the Debian package pkg-config (make test installs it)"
# The sysroot maps the installed paths into the staging root.
export PKG_CONFIG_PATH="$root/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$work/root"
cflags=$(pkg-config --cflags kestrix) || fail "pkg-config --cflags kestrix failed"
libs=$(pkg-config --libs kestrix) || fail "pkg-config --libs kestrix failed"
case "$cflags" in *"$root/include/kestrix"*) ;; *) fail "unexpected flags: $cflags" ;; esac

# shellcheck disable=SC2086  # the flags are lists of words
cc -o "$work/host" "$src/examples/host/host.c" $cflags $libs || fail "the example host does not build: cc $cflags $libs"
cd "$src/examples/host"
"$work/host" shop.lua >"$work/host.out" 2>"$work/host.err" || fail "the example host failed: $(cat "$work/host.err")"
cmp -s "$work/host.out" shop.stdout || fail "the example host wrote: $(cat "$work/host.out")"

# A host linked with the whole library and -rdynamic loads a native module (Debian's cjson).
[ -f /usr/lib/x86_64-linux-gnu/lua/5.1/cjson.so ] || fail "needs the Debian package lua-cjson (make test installs it)"
# shellcheck disable=SC2086
cc -o "$work/module_host" "$src/tests/tools/module_host.c" $cflags -rdynamic \
  $(echo " $libs " | sed 's/ -lkestrix / -Wl,--whole-archive -lkestrix -Wl,--no-whole-archive /') ||
  fail "the module host does not build"
printf 'assert(require("cjson").encode({1, 2}) == "[1,2]")\n' >"$work/module.lua"
"$work/module_host" "$work/module.lua" || fail "the module host cannot load cjson"

# The installed program runs a script.
printf 'print(("%%s %%d"):format("installed", 6 * 7))\n' >"$work/hello.lua"
[ "$("$root/bin/tarnel" "$work/hello.lua")" = "installed 42" ] || fail "the installed tarnel does not run"
echo "install check passed"
