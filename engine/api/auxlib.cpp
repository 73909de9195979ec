// The auxiliary library.
#include <cstdio>

#include "lauxlib.h"
#include "lua.h"

static int default_panic(lua_State* L) {
  const char* msg = lua_tolstring(L, -1, nullptr);
  fputs("PANIC: unprotected error in call to Lua API (", stderr);
  fputs(msg ? msg : "?", stderr);
  fputs(")\n", stderr);
  fflush(stderr);
  return 0;
}

extern "C" lua_State* luaL_newstate(void) {
  lua_State* L = lua_newstate(reinterpret_cast<lua_Alloc>(0x4d50), nullptr);
  if (L) lua_atpanic(L, default_panic);
  return L;
}
