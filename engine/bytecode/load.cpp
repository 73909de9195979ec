// Loading chunks.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/buf.h"
#include "core/state.h"
#include "lauxlib.h"

// Pushes "cannot <what> <name>: <system message>" for a failed file operation.
static int file_error(lua_State* L, const char* what, const char* name, int err) {
  StrBuf* sb = kx_buf_tmp(L);
  kx_buf_putcstr(sb, "cannot ");
  kx_buf_putcstr(sb, what);
  kx_buf_putchar(sb, ' ');
  kx_buf_putcstr(sb, name);
  kx_buf_putcstr(sb, ": ");
  kx_buf_putcstr(sb, strerror(err));
  lua_pushlstring(L, sb->b, sbuflen(sb));
  return LUA_ERRFILE;
}

extern "C" int luaL_loadfile(lua_State* L, const char* filename) {
  FILE* fp = fopen(filename, "rb");
  if (fp == nullptr) return file_error(L, "open", filename, errno);
  fclose(fp);
  // Source text cannot be compiled yet: report it like any load failure.
  lua_pushstring(L, "cannot compile source text yet");
  return LUA_ERRSYNTAX;
}
