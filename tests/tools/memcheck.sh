#!/bin/bash
# Runs every script test and every golden script under valgrind's memcheck.
#   tests/tools/memcheck.sh <tarnel> [valgrind options...]
# A run fails when memcheck reports an error or the program dies by a signal. A script test that
# ends with another non-zero status is only noted: valgrind's emulation of some C library maths may
# differ in the last bit, so checks of exact results may fail there and nowhere else.
# The output of a failed or noted run is kept in memcheck-<name>.log in the current directory.
# A script that ends the process with os.exit leaves its instance open, as intended, so leaks are not
# checked for it.
set -u
tarnel=$(realpath "$1")
shift
vgopts=("$@")
tests=$(realpath "$(dirname "$0")/..")
logdir=$PWD
# The native modules that the package tests load, built beside the program.
export KX_TEST_CMODULES=$(dirname "$tarnel")/tests/cmodules
passed=0
failed=0

# run <kind> <script> <args...>: runs tarnel with the arguments from the script's directory.
run() {
  local kind=$1 script=$2
  shift 2
  local name=${script#"$tests"/}
  local log=$logdir/memcheck-${name//\//_}.log
  local leaks=full
  grep -q 'os\.exit' "$script" && leaks=no
  (cd "$(dirname "$script")" &&
    valgrind -q --tool=memcheck --error-exitcode=99 --leak-check=$leaks "${vgopts[@]}" "$tarnel" "$@" \
      >"$log" 2>&1)
  local status=$?
  if [ $status -eq 99 ] || [ $status -gt 128 ]; then
    echo "FAILED $name (status $status, see $log)"
    failed=$((failed + 1))
  elif [ "$kind" = script ] && [ $status -ne 0 ]; then
    echo "note: $name exited with status $status under valgrind (see $log)"
    passed=$((passed + 1))
  else
    rm -f "$log"
    passed=$((passed + 1))
  fi
}

while IFS= read -r script; do
  case $script in */lib/*) continue ;; esac
  run script "$script" "$(basename "$script")"
done < <(find "$tests/scripts" -name '*.lua' | sort)

while IFS= read -r script; do
  stem=${script%.lua}
  [ -e "$stem.stdout" ] || [ -e "$stem.stderr" ] || [ -e "$stem.status" ] || continue
  args=("$(basename "$script")")
  [ -e "$stem.argv" ] && mapfile -t args <"$stem.argv"
  run golden "$script" "${args[@]}"
done < <(find "$tests/golden" -name '*.lua' | sort)

echo "memcheck: $passed passed, $failed failed"
[ $failed -eq 0 ]
