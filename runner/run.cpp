// The tarnel program: one script file, its arguments as arg, failures reported with a traceback.
#include "runner/run.h"

#include <cstdio>
#include <cstdlib>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

// The message handler: the error message followed by a stack traceback.
static int traceback(lua_State* L) {
  if (!lua_isstring(L, 1)) {
    if (lua_type(L, 1) <= LUA_TNIL) return 1;
    if (!luaL_callmeta(L, 1, "__tostring") || !lua_isstring(L, -1)) return 1;
    lua_remove(L, 1);
  }
  luaL_traceback(L, L, lua_tolstring(L, 1, nullptr), 1);
  return 1;
}

// Prints the value on top of the stack as the failure message and pops it.
static void report(lua_State* L) {
  const char* msg = lua_tolstring(L, -1, nullptr);
  fflush(stdout);  // the script's output comes before the message on a shared terminal
  fprintf(stderr, "[ERROR] tarnel: %s\n", msg ? msg : "(error object is not a string)");
  fflush(stderr);
  lua_settop(L, -2);
}

int tarnel_run(int argc, char** argv, lua_State* (*newstate)()) {
  if (argc < 2) {
    fprintf(stderr, "Usage: %s <file-path> [args...]\n", argv[0]);
    return EXIT_FAILURE;
  }
  lua_State* L = newstate();
  if (L == nullptr) {
    fputs("[ERROR] tarnel: cannot create Lua state\n", stderr);
    return EXIT_FAILURE;
  }
  luaL_openlibs(L);
  lua_createtable(L, argc - 1, 1);
  for (int i = -1; i <= argc - 2; i++) {
    lua_pushstring(L, argv[i + 1]);
    lua_rawseti(L, -2, i);
  }
  lua_setfield(L, LUA_GLOBALSINDEX, "arg");
  int status = luaL_loadfile(L, argv[1]);
  if (status == 0) {
    lua_pushcclosure(L, traceback, 0);
    lua_insert(L, -2);
    status = lua_pcall(L, 0, 0, -2);
    if (status == 0) lua_settop(L, -2);
  }
  if (status != 0) report(L);
  lua_close(L);
  return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
