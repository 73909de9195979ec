# Runs one listing test: bclist on SCRIPT, from the script's directory, compared byte for byte with
# <stem>.bc beside it. An optional <stem>.mode holds the load mode to compile with. With -DUPDATE=1 the
# expected listing is written instead. EMULATOR, when set, runs the build's programs.
get_filename_component(dir ${SCRIPT} DIRECTORY)
get_filename_component(stem ${SCRIPT} NAME_WE)
get_filename_component(file ${SCRIPT} NAME)

set(mode "")
if(EXISTS ${dir}/${stem}.mode)
  file(STRINGS ${dir}/${stem}.mode mode)
endif()
execute_process(COMMAND ${EMULATOR} ${BCLIST} ${file} ${mode}
                WORKING_DIRECTORY ${dir}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(UPDATE)
  file(WRITE ${dir}/${stem}.bc "${out}")
  return()
endif()
file(READ ${dir}/${stem}.bc want)
if(NOT "${out}" STREQUAL "${want}" OR NOT status EQUAL 0)
  message("--- expected\n${want}\n--- got (status ${status})\n${out}${err}")
  message(FATAL_ERROR "listing ${stem} differs")
endif()
