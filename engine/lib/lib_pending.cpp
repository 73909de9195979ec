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

KX_LIBDEF(kx_lib_init_io_method, R"(98 57 10
  C close C read C write C flush C seek C setvbuf C lines C __gc C __tostring copy 1 str __index set
)");

KX_LIBDEF(kx_lib_init_io, R"(107 57 12
  copy 2 str "" set
  C open C popen C tmpfile C close C read C write C flush C input C output C lines C type
)");

KX_LIBDEF(kx_lib_init_debug, R"(129 57 18
  C getregistry C getmetatable C setmetatable C getfenv C setfenv C getinfo C getlocal C setlocal
  C getupvalue C setupvalue C upvalueid C upvaluejoin C getuservalue C setuservalue C sethook
  C gethook C debug C traceback
)");

static int open_stream(lua_State* L, const char* name, const uint8_t* stream) {
  kx_lib_register(L, name, stream, notbuilt);
  return 1;
}

extern "C" int luaopen_io(lua_State* L) {
  kx_lib_register(L, nullptr, kx_lib_init_io_method.data(), notbuilt);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, LUA_FILEHANDLE);
  return open_stream(L, LUA_IOLIBNAME, kx_lib_init_io.data());
}

extern "C" int luaopen_debug(lua_State* L) { return open_stream(L, LUA_DBLIBNAME, kx_lib_init_debug.data()); }

// Until the package library is built, require finds only the preloaded modules.
static int kx_cf_package_require(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_settop(L, 1);
  luaL_findtable(L, LUA_REGISTRYINDEX, "_LOADED", 16);
  lua_getfield(L, 2, name);
  if (lua_toboolean(L, -1)) return 1;
  luaL_findtable(L, LUA_REGISTRYINDEX, "_PRELOAD", 4);
  lua_getfield(L, -1, name);
  if (!lua_isfunction(L, -1)) return luaL_error(L, "module '%s' not found", name);
  lua_pushstring(L, name);
  lua_call(L, 1, 1);
  if (!lua_isnil(L, -1)) lua_setfield(L, 2, name);
  lua_getfield(L, 2, name);
  if (lua_isnil(L, -1)) {
    lua_pushboolean(L, 1);
    lua_pushvalue(L, -1);
    lua_setfield(L, 2, name);
  }
  return 1;
}

static const luaL_Reg package_funcs[] = {{"require", kx_cf_package_require}, {"module", kx_lib_notbuilt}, {nullptr, nullptr}};

extern "C" int luaopen_package(lua_State* L) {
  luaL_register(L, LUA_LOADLIBNAME, nullptr);
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  luaL_register(L, nullptr, package_funcs);
  lua_pop(L, 1);
  return 1;
}

extern "C" int luaopen_ffi(lua_State* L) { return kx_lib_notbuilt(L); }
