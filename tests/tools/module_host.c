/* A host program that lets its scripts load native modules: linked with the whole engine library and
 * -rdynamic, it exports the C API to them as tarnel does. Runs the script given as its argument. */
#include <stdio.h>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  int status = luaL_dofile(L, argv[1]);
  if (status != 0) fprintf(stderr, "module host: %s\n", lua_tostring(L, -1));
  lua_close(L);
  return status != 0;
}
