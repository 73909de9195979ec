// Loading chunks. Until the compiler is built, every load reports that source cannot be compiled.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lauxlib.h"
#include "lua.h"

extern "C" int lua_loadx(lua_State* L, lua_Reader reader, void* data, const char* chunkname, const char* mode) {
  (void)reader;
  (void)data;
  (void)chunkname;
  (void)mode;
  lua_pushstring(L, "cannot compile source text yet");
  return LUA_ERRSYNTAX;
}

extern "C" int lua_load(lua_State* L, lua_Reader reader, void* data, const char* chunkname) {
  return lua_loadx(L, reader, data, chunkname, nullptr);
}

extern "C" int luaL_loadbufferx(lua_State* L, const char* buf, size_t size, const char* name, const char* mode) {
  return lua_loadx(L, nullptr, nullptr, name, mode);
}

extern "C" int luaL_loadbuffer(lua_State* L, const char* buf, size_t size, const char* name) {
  return luaL_loadbufferx(L, buf, size, name, nullptr);
}

extern "C" int luaL_loadfilex(lua_State* L, const char* filename, const char* mode) {
  if (filename) {
    FILE* fp = fopen(filename, "rb");
    if (fp == nullptr) {
      lua_pushfstring(L, "cannot open %s: %s", filename, strerror(errno));
      return LUA_ERRFILE;
    }
    fclose(fp);
  }
  return lua_loadx(L, nullptr, nullptr, filename, mode);
}

extern "C" int luaL_loadfile(lua_State* L, const char* filename) { return luaL_loadfilex(L, filename, nullptr); }
