/* Built as a/b.so: the module a.b, opened by luaopen_a_b. */
#include "lua.h"

int luaopen_a_b(lua_State *L) {
  lua_newtable(L);
  lua_pushvalue(L, 1);
  lua_setfield(L, -2, "name");
  lua_pushliteral(L, "a/b.so");
  lua_setfield(L, -2, "file");
  return 1;
}
