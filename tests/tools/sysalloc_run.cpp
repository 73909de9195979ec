// A benchmark tool, not part of tarnel: runs a script like tarnel does, but on an instance that uses
// the C library's allocator instead of the engine's arena, so the two can be compared.
#include <cstdio>
#include <cstdlib>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

static void* system_alloc(void*, void* ptr, size_t, size_t nsize) {
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  return realloc(ptr, nsize);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "Usage: %s <file-path> [args...]\n", argv[0]);
    return EXIT_FAILURE;
  }
  lua_State* L = lua_newstate(system_alloc, nullptr);
  if (L == nullptr) return EXIT_FAILURE;
  luaL_openlibs(L);
  lua_createtable(L, argc - 1, 1);
  for (int i = -1; i <= argc - 2; i++) {
    lua_pushstring(L, argv[i + 1]);
    lua_rawseti(L, -2, i);
  }
  lua_setfield(L, LUA_GLOBALSINDEX, "arg");
  int status = luaL_loadfile(L, argv[1]);
  if (status == 0) status = lua_pcall(L, 0, 0, 0);
  if (status != 0) fprintf(stderr, "[ERROR] %s\n", lua_tostring(L, -1));
  lua_close(L);
  return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
