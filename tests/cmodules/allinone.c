/* Built as multi.so: several submodules in one library, and no luaopen_multi. */
#include "lua.h"

static int open_named(lua_State *L, const char *what) {
  lua_pushstring(L, what);
  lua_pushvalue(L, 1);
  return 2;
}

int luaopen_multi_x(lua_State *L) { return open_named(L, "x"); }
int luaopen_multi_y_z(lua_State *L) { return open_named(L, "y.z"); }
