// The tarnel program: one script file, its arguments as arg, failures reported with a traceback.
#include "runner/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

// The coroutine that the function at a level of L1 resumed, when the error came out of it: a wrapped
// coroutine's function keeps its thread as its first upvalue, and a coroutine that died by an error
// keeps its frames.
static lua_State* failed_coroutine(lua_State* L1, int level) {
  lua_Debug ar;
  if (!lua_getstack(L1, level, &ar) || !lua_getinfo(L1, "f", &ar)) return nullptr;
  lua_State* co = nullptr;
  if (lua_iscfunction(L1, -1) && lua_getupvalue(L1, -1, 1)) {
    co = lua_tothread(L1, -1);
    lua_pop(L1, 1);
  }
  lua_pop(L1, 1);
  return co && lua_status(co) > LUA_YIELD ? co : nullptr;
}

// Pushes the frame lines of L1 from a level on, preceded by those of the coroutines that the error
// came out of, innermost first.
static void push_frames(lua_State* L, lua_State* L1, int level, bool from_coroutine) {
  lua_State* co = from_coroutine ? failed_coroutine(L1, level) : nullptr;
  if (co) push_frames(L, co, 0, true);
  static const char header[] = "stack traceback:";
  luaL_traceback(L, L1, nullptr, level);
  lua_pushstring(L, lua_tostring(L, -1) + sizeof(header) - 1);
  lua_remove(L, -2);
}

// The message handler: the error message followed by a stack traceback. An error that came out of
// a wrapped coroutine shows the coroutine's frames above those of its resumer.
static int traceback(lua_State* L) {
  if (!lua_isstring(L, 1)) {
    if (lua_type(L, 1) <= LUA_TNIL) return 1;
    if (!luaL_callmeta(L, 1, "__tostring") || !lua_isstring(L, -1)) return 1;
    lua_remove(L, 1);
  }
  lua_settop(L, 1);
  // Resuming a coroutine that died earlier fails on its own; that coroutine's frames are old.
  static const char dead[] = "cannot resume dead coroutine";
  size_t len;
  const char* msg = lua_tolstring(L, 1, &len);
  bool resumed_dead = len >= sizeof(dead) - 1 && strcmp(msg + len - (sizeof(dead) - 1), dead) == 0;
  lua_pushliteral(L, "\nstack traceback:");
  push_frames(L, L, 1, !resumed_dead);
  lua_concat(L, lua_gettop(L));
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
