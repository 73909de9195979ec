#!/usr/bin/env bash
# The engine's layers run one way: a file may include headers of its own layer and of the layers
# below it, never of one above. Bottom up:
#   core; compiler and bytecode (beside each other); vm; api; lib; ffi (a library that uses the
#   libraries' registration and argument checks); runner on top.
# A file's layer is its folder (engine/<layer>/, runner/). tests/ and include/ are outside the check,
# and so are includes without a folder (the public headers).
#
#   tests/tools/layers.sh [source root]    exit status 1 when an include runs up the layers
set -u
root=${1:-"$(cd "$(dirname "$0")/../.." && pwd)"}

below_compiler="core compiler bytecode"
below_api="$below_compiler vm api"
declare -A may_include=(
  [core]="core"
  [compiler]="$below_compiler"
  [bytecode]="$below_compiler"
  [vm]="$below_compiler vm"
  [api]="$below_api"
  [lib]="$below_api lib"
  [ffi]="$below_api lib ffi"
  [runner]="$below_api lib ffi runner"
)

layer_of() {
  case $1 in
    engine/*/*) local rest=${1#engine/}; echo "${rest%%/*}" ;;
    runner/*) echo runner ;;
  esac
}

files=0
wrong=0
while IFS= read -r path; do
  rel=${path#"$root"/}
  layer=$(layer_of "$rel")
  if [[ -z $layer || -z ${may_include[$layer]+set} ]]; then
    echo "$rel: its folder belongs to no layer"
    wrong=$((wrong + 1))
    continue
  fi
  files=$((files + 1))
  while IFS=: read -r line header; do
    target=${header%%/*}
    [[ $header == */* && -n ${may_include[$target]+set} ]] || continue
    if [[ " ${may_include[$layer]} " != *" $target "* ]]; then
      echo "$rel:$line: the $layer layer includes $header from the $target layer"
      wrong=$((wrong + 1))
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$path" | sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/')
done < <(find "$root/engine" "$root/runner" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sort)

echo "layers: $files files checked, $wrong problems"
[[ $wrong -eq 0 ]]
