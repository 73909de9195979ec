# Decides how the i386 build's programs run: natively when the kernel starts i386 programs, else
# (or with -DKX_I386_EMULATE=ON) under qemu user emulation. The choice becomes
# CMAKE_CROSSCOMPILING_EMULATOR, which ctest puts before every test program; the script, golden
# and listing drivers read it as KX_EMULATOR.
option(KX_I386_EMULATE "Run the i386 build's programs under qemu even where the kernel runs them" OFF)

if(NOT KX_I386_EMULATE)
  set(probe ${CMAKE_BINARY_DIR}/i386_probe.c)
  file(WRITE ${probe} "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
  try_run(kx_probe_run kx_probe_compiled ${CMAKE_BINARY_DIR}/i386_probe ${probe}
          COMPILE_DEFINITIONS -m32 LINK_OPTIONS -m32)
  if(NOT kx_probe_compiled)
    message(FATAL_ERROR "cannot build i386 programs: install g++-multilib")
  endif()
endif()

if(KX_I386_EMULATE OR NOT kx_probe_run EQUAL 0)
  find_program(KX_QEMU_I386 NAMES qemu-i386-static qemu-i386)
  if(NOT KX_QEMU_I386)
    message(FATAL_ERROR "this machine cannot start i386 programs: install qemu-user-static")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_QEMU_I386})
  message(STATUS "i386 programs run under ${KX_QEMU_I386}")
else()
  message(STATUS "i386 programs run natively")
endif()
