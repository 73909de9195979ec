// Libraries whose functions are not built yet. Their definitions (vm/libdefs.h) are complete, so that
// every fast-function id is fixed; each function raises an error naming itself until its library is
// built.
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/ffid.h"

static const lua_CFunction notbuilt[] = {
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
};

KX_LIBDEF(kx_lib_init_debug, "debug");

static int open_stream(lua_State* L, const char* name, const uint8_t* stream) {
  kx_lib_register(L, name, stream, notbuilt);
  return 1;
}

extern "C" int luaopen_debug(lua_State* L) { return open_stream(L, LUA_DBLIBNAME, kx_lib_init_debug.data()); }

