// Libraries whose functions are not built yet. Their definition streams are complete, so that every
// fast-function id is fixed; each function raises an error naming itself until its library is built.
#include "lib/ffid.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"

static const lua_CFunction notbuilt[] = {
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
};

KX_LIBDEF(kx_lib_init_debug, R"(129 57 18
  C getregistry C getmetatable C setmetatable C getfenv C setfenv C getinfo C getlocal C setlocal
  C getupvalue C setupvalue C upvalueid C upvaluejoin C getuservalue C setuservalue C sethook
  C gethook C debug C traceback
)");

static int open_stream(lua_State* L, const char* name, const uint8_t* stream) {
  kx_lib_register(L, name, stream, notbuilt);
  return 1;
}

extern "C" int luaopen_debug(lua_State* L) { return open_stream(L, LUA_DBLIBNAME, kx_lib_init_debug.data()); }

extern "C" int luaopen_ffi(lua_State* L) { return kx_lib_notbuilt(L); }
