# Compares the ffi's struct layouts with the C compiler's for the build's target (see layout.lua):
# the declarations and a probe program come from layout.lua, the probe is compiled with CC and
# CFLAGS (the build's target flags) and run, and its lines must equal those of the ffi.
# Variables: TARNEL, EMULATOR (may be empty), CC, CFLAGS, ARCH (x64 or x86), SCRIPT, WORK.
cmake_minimum_required(VERSION 3.25)

file(MAKE_DIRECTORY ${WORK})

function(run_layout mode out)
  execute_process(COMMAND ${EMULATOR} ${TARNEL} ${SCRIPT} ${mode} ${ARCH}
                  OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "layout.lua ${mode} failed (${status}):\n${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

run_layout(decls decls)
file(WRITE ${WORK}/decls.h "${decls}")
run_layout(probe probe)
file(WRITE ${WORK}/probe.c "${probe}")

execute_process(COMMAND ${CC} ${CFLAGS} -std=gnu11 -o ${WORK}/probe ${WORK}/probe.c
                ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "compiling the probe failed:\n${err}")
endif()
execute_process(COMMAND ${EMULATOR} ${WORK}/probe OUTPUT_VARIABLE want RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the probe failed (${status})")
endif()
run_layout(check got)

string(REPLACE "\n" ";" want_lines "${want}")
string(REPLACE "\n" ";" got_lines "${got}")
list(LENGTH want_lines n)
list(LENGTH got_lines m)
set(bad 0)
if(NOT n EQUAL m)
  message("line counts differ: C compiler ${n}, ffi ${m}")
  set(bad 1)
endif()
foreach(line IN LISTS want_lines)
  list(FIND got_lines "${line}" found)
  if(found LESS 0)
    message("C compiler: ${line}")
    set(bad 1)
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "layouts differ; declarations in ${WORK}/decls.h")
endif()
list(LENGTH want_lines lines)
message("${lines} layout lines agree")
