/* A native module found along package.cpath: functions, a luaL_Buffer, and the name it was loaded as. */
#include "lauxlib.h"
#include "lua.h"

static int add(lua_State *L) {
  lua_pushnumber(L, luaL_checknumber(L, 1) + luaL_checknumber(L, 2));
  return 1;
}

/* s repeated n times, joined by sep, through the auxiliary library's buffer. */
static int join(lua_State *L) {
  size_t len, seplen;
  const char *s = luaL_checklstring(L, 1, &len);
  int n = (int)luaL_checkinteger(L, 2);
  const char *sep = luaL_optlstring(L, 3, "", &seplen);
  luaL_Buffer b;
  int i;
  luaL_buffinit(L, &b);
  for (i = 0; i < n; i++) {
    if (i > 0) luaL_addlstring(&b, sep, seplen);
    luaL_addlstring(&b, s, len);
  }
  luaL_pushresult(&b);
  return 1;
}

static const luaL_Reg funcs[] = {{"add", add}, {"join", join}, {NULL, NULL}};

int luaopen_cmod(lua_State *L) {
  lua_newtable(L);
  luaL_register(L, NULL, funcs);
  lua_pushvalue(L, 1);
  lua_setfield(L, -2, "name");
  return 1;
}
