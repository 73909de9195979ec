/* The binary interface that native modules compiled against the standard Lua 5.1 headers rely on:
 * the layouts of luaL_Reg, luaL_Buffer and lua_Debug, and the numbers that such modules bake in.
 * Compiled with the build's own flags; a wrong layout stops the build, and the program checks the
 * macros that work on a luaL_Buffer at run time. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "lauxlib.h"
#include "lua.h"

#define P sizeof(void *)

_Static_assert(sizeof(lua_Number) == 8, "lua_Number is a double");
_Static_assert(sizeof(lua_Integer) == sizeof(ptrdiff_t), "lua_Integer is ptrdiff_t");

_Static_assert(offsetof(luaL_Reg, name) == 0 && offsetof(luaL_Reg, func) == P, "luaL_Reg fields");
_Static_assert(sizeof(luaL_Reg) == 2 * P, "luaL_Reg size");

_Static_assert(LUAL_BUFFERSIZE == BUFSIZ, "the inline buffer holds BUFSIZ bytes");
_Static_assert(offsetof(luaL_Buffer, p) == 0, "luaL_Buffer.p");
_Static_assert(offsetof(luaL_Buffer, lvl) == P, "luaL_Buffer.lvl");
_Static_assert(offsetof(luaL_Buffer, L) == 2 * P, "luaL_Buffer.L");
_Static_assert(offsetof(luaL_Buffer, buffer) == 3 * P, "luaL_Buffer.buffer");
_Static_assert(sizeof(luaL_Buffer) == 3 * P + BUFSIZ, "luaL_Buffer size");

_Static_assert(LUA_IDSIZE == 60, "short_src holds 60 bytes");
_Static_assert(offsetof(lua_Debug, event) == 0, "lua_Debug.event");
_Static_assert(offsetof(lua_Debug, name) == P, "lua_Debug.name");
_Static_assert(offsetof(lua_Debug, namewhat) == 2 * P, "lua_Debug.namewhat");
_Static_assert(offsetof(lua_Debug, what) == 3 * P, "lua_Debug.what");
_Static_assert(offsetof(lua_Debug, source) == 4 * P, "lua_Debug.source");
_Static_assert(offsetof(lua_Debug, currentline) == 5 * P, "lua_Debug.currentline");
_Static_assert(offsetof(lua_Debug, nups) == 5 * P + 4, "lua_Debug.nups");
_Static_assert(offsetof(lua_Debug, linedefined) == 5 * P + 8, "lua_Debug.linedefined");
_Static_assert(offsetof(lua_Debug, lastlinedefined) == 5 * P + 12, "lua_Debug.lastlinedefined");
_Static_assert(offsetof(lua_Debug, short_src) == 5 * P + 16, "lua_Debug.short_src");
_Static_assert(offsetof(lua_Debug, i_ci) == 5 * P + 16 + 60, "lua_Debug.i_ci");
_Static_assert(sizeof(lua_Debug) == 5 * P + 16 + 60 + 4, "lua_Debug size");

_Static_assert(LUA_REGISTRYINDEX == -10000 && LUA_ENVIRONINDEX == -10001 && LUA_GLOBALSINDEX == -10002,
               "pseudo-indices");
_Static_assert(lua_upvalueindex(1) == -10003, "upvalue indices");
_Static_assert(LUA_MULTRET == -1 && LUA_NOREF == -2 && LUA_REFNIL == -1, "special counts and references");
_Static_assert(LUA_YIELD == 1 && LUA_ERRRUN == 2 && LUA_ERRSYNTAX == 3 && LUA_ERRMEM == 4 && LUA_ERRERR == 5,
               "status codes");
_Static_assert(LUA_TNONE == -1 && LUA_TNIL == 0 && LUA_TBOOLEAN == 1 && LUA_TLIGHTUSERDATA == 2 &&
                   LUA_TNUMBER == 3 && LUA_TSTRING == 4 && LUA_TTABLE == 5 && LUA_TFUNCTION == 6 &&
                   LUA_TUSERDATA == 7 && LUA_TTHREAD == 8,
               "type codes");
_Static_assert(LUA_MASKCALL == 1 && LUA_MASKRET == 2 && LUA_MASKLINE == 4 && LUA_MASKCOUNT == 8, "hook masks");
_Static_assert(LUA_GCSTOP == 0 && LUA_GCCOLLECT == 2 && LUA_GCCOUNT == 3 && LUA_GCSTEP == 5 &&
                   LUA_GCSETSTEPMUL == 7,
               "collector controls");

/* luaL_addchar and luaL_addsize write into the inline buffer directly, as compiled modules do. */
static int build(lua_State *L) {
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (int i = 0; i < 3 * LUAL_BUFFERSIZE; i++) luaL_addchar(&b, (char)('a' + i % 26));
  char *room = luaL_prepbuffer(&b);
  memcpy(room, "tail", 4);
  luaL_addsize(&b, 4);
  luaL_pushresult(&b);
  return 1;
}

int main(void) {
  lua_State *L = luaL_newstate();
  lua_pushcfunction(L, build);
  int status = lua_pcall(L, 0, 1, 0);
  size_t len = 0;
  const char *s = lua_tolstring(L, -1, &len);
  int ok = status == 0 && len == 3 * LUAL_BUFFERSIZE + 4 && s[0] == 'a' && s[26] == 'a' &&
           memcmp(s + len - 4, "tail", 4) == 0;
  if (!ok) printf("luaL_Buffer macros: status %d, length %zu\n", status, len);
  lua_close(L);
  return ok ? 0 : 1;
}
