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

KX_LIBDEF(kx_lib_init_jit, "jit");

KX_LIBDEF(kx_lib_init_jit_opt, "jit_opt");

static int open_stream(lua_State* L, const char* name, const uint8_t* stream) {
  kx_lib_register(L, name, stream, notbuilt);
  return 1;
}

extern "C" int luaopen_string_buffer(lua_State* L) { return luaL_error(L, "'%s' is not available yet", "string.buffer"); }

extern "C" int luaopen_jit(lua_State* L) {
  lua_pushliteral(L, "Linux");
  lua_pushliteral(L, "x86");
  lua_pushinteger(L, KESTRIX_VERSION_NUM);
  lua_pushliteral(L, KESTRIX_VERSION);
  open_stream(L, LUA_JITLIBNAME, kx_lib_init_jit.data());
  open_stream(L, "jit.opt", kx_lib_init_jit_opt.data());
  lua_pop(L, 1);
  return 1;
}

extern "C" int luaopen_ffi(lua_State* L) { return kx_lib_notbuilt(L); }
