# make install: the program, the static engine library for host programs, the public headers under
# include/kestrix and a pkg-config file. The prefix is the one given at install time (--prefix or
# CMAKE_INSTALL_PREFIX), and DESTDIR stages the whole tree below another root.
file(STRINGS ${CMAKE_SOURCE_DIR}/include/lua.h kx_version_line REGEX "#define KESTRIX_VERSION \"")
string(REGEX REPLACE ".*\"Kestrix ([0-9.]+)\".*" "\\1" KX_VERSION "${kx_version_line}")

install(TARGETS tarnel RUNTIME DESTINATION bin)
install(TARGETS kestrix ARCHIVE DESTINATION lib)
install(FILES include/lua.h include/lauxlib.h include/lualib.h include/luaconf.h DESTINATION include/kestrix)
# The pkg-config file names the prefix the files were installed under, known only at install time.
install(CODE "
  set(KX_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(KX_VERSION \"${KX_VERSION}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/kestrix.pc.in\" \"${CMAKE_BINARY_DIR}/kestrix.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/kestrix.pc DESTINATION lib/pkgconfig)
