# Runs one golden test: tarnel on SCRIPT, from the script's directory, compared byte for byte with
#   <stem>.stdout  expected standard output (missing: empty)
#   <stem>.stderr  expected standard error (missing: empty)
#   <stem>.status  expected exit status (missing: 0)
#   <stem>.argv    optional: the command-line arguments, one per line, replacing the default
#                  (the script's file name); an empty file means no arguments at all.
#   <stem>.stdin   optional: the file that standard input reads from.
# In the expected texts, @TARNEL@ stands for the program path as tarnel received it.
# EMULATOR, when set, is the command that runs the build's programs (qemu for i386 programs on a
# kernel that cannot start them).
cmake_minimum_required(VERSION 3.25)

get_filename_component(dir ${SCRIPT} DIRECTORY)
get_filename_component(stem ${SCRIPT} NAME_WE)
get_filename_component(file ${SCRIPT} NAME)

function(read_expected suffix default out)
  if(EXISTS ${dir}/${stem}.${suffix})
    file(READ ${dir}/${stem}.${suffix} text)
    string(REPLACE "@TARNEL@" "${TARNEL}" text "${text}")
  else()
    set(text "${default}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(args ${file})
if(EXISTS ${dir}/${stem}.argv)
  file(STRINGS ${dir}/${stem}.argv args)
endif()

set(input)
if(EXISTS ${dir}/${stem}.stdin)
  set(input INPUT_FILE ${dir}/${stem}.stdin)
endif()

execute_process(COMMAND ${EMULATOR} ${TARNEL} ${args}
                WORKING_DIRECTORY ${dir} ${input}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)

read_expected(stdout "" want_out)
read_expected(stderr "" want_err)
read_expected(status "0" want_status)
string(STRIP "${want_status}" want_status)

set(failed OFF)
foreach(what out err status)
  if(NOT "${${what}}" STREQUAL "${want_${what}}")
    message("--- ${what}: expected\n[${want_${what}}]\n--- got\n[${${what}}]")
    set(failed ON)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "golden test ${stem} failed")
endif()
