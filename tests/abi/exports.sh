#!/bin/sh
# Every function that the public headers declare is exported by the program, and so is every lua_* and
# luaL_* symbol that an installed native module for Lua 5.1 imports.
#   exports.sh <program> <include dir> [module dir]
set -eu
program=$1 include=$2 modules=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nm -D --defined-only "$program" | awk '{ print $3 }' | sort -u >"$work/exported"

status=0
sed -n 's/^LUA\(LIB\)\{0,1\}_API [^(]*(\([a-z_L]*\)).*/\2/p' "$include"/*.h | sort -u >"$work/declared"
[ -s "$work/declared" ] || { echo "no declarations found in $include"; exit 1; }
missing=$(comm -23 "$work/declared" "$work/exported")
[ -z "$missing" ] || { echo "declared but not exported:" $missing; status=1; }

if [ -n "$modules" ]; then
  found=0
  for so in $(find "$modules" -name '*.so'); do
    found=1
    nm -D --undefined-only "$so" | awk '{ print $2 }' | grep -E '^luaL?_' | sort -u >"$work/imported" || true
    missing=$(comm -23 "$work/imported" "$work/exported")
    [ -z "$missing" ] || { echo "$so imports symbols that are not exported:" $missing; status=1; }
  done
  [ $found = 1 ] || {
    echo "no native modules in $modules: needs the Debian packages lua-lpeg, lua-cjson, lua-filesystem and lua-socket"
    status=1
  }
fi
exit $status
