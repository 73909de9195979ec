// Opening the standard libraries.
#include "lib/lib.h"
#include "lualib.h"

static const luaL_Reg libs_to_open[] = {
    {"", luaopen_base},
    {LUA_LOADLIBNAME, luaopen_package},
    {LUA_TABLIBNAME, luaopen_table},
    {LUA_IOLIBNAME, luaopen_io},
    {LUA_OSLIBNAME, luaopen_os},
    {LUA_STRLIBNAME, luaopen_string},
    {LUA_MATHLIBNAME, luaopen_math},
    {LUA_DBLIBNAME, luaopen_debug},
    {LUA_BITLIBNAME, luaopen_bit},
    {LUA_JITLIBNAME, luaopen_jit},
    {nullptr, nullptr},
};

extern "C" void luaL_openlibs(lua_State* L) {
  for (const luaL_Reg* lib = libs_to_open; lib->func; lib++) {
    lua_pushcfunction(L, lib->func);
    lua_pushstring(L, lib->name);
    lua_call(L, 1, 0);
  }
  luaL_findtable(L, LUA_REGISTRYINDEX, "_PRELOAD", 1);
  lua_pushcfunction(L, luaopen_ffi);
  lua_setfield(L, -2, "ffi");
  lua_pop(L, 1);
}
