#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lauxlib.h"
#include "lualib.h"

namespace {

int append(lua_State*, const void* p, size_t n, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), n);
  return 0;
}

// The dump of the function on top, or false when the memory ran short.
bool dump(lua_State* L, std::string* out) { return lua_dump(L, append, out) == 0; }

void* limited_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* a = static_cast<FuzzAlloc*>(ud);
  if (nsize > osize && a->counter.live_bytes - (ptr ? osize : 0) + nsize > a->limit) return nullptr;
  return kx_test_counting_alloc(&a->counter, ptr, osize, nsize);
}

int discard(lua_State*) { return 0; }

[[noreturn]] void fail(const char* what, const char* detail);

// A driver's own check that failed: a finding, not an accepted error.
int fuzz_fail(lua_State* L) { fail("driver check", lua_tostring(L, 1)); }

// The libraries that reach neither files nor processes nor native code.
const luaL_Reg kLibs[] = {
    {"", luaopen_base},           {LUA_TABLIBNAME, luaopen_table}, {LUA_STRLIBNAME, luaopen_string},
    {LUA_MATHLIBNAME, luaopen_math}, {LUA_BITLIBNAME, luaopen_bit}, {"buffer", luaopen_string_buffer},
};

// The sandbox's loaders take text only, whatever mode the script asks for.
const char kSandbox[] = R"lua(
local rawload = load
load = function(chunk, name, mode, env) return rawload(chunk, name, "t", env) end
loadstring = function(s, name) return rawload(s, name, "t") end
dofile, loadfile = nil
)lua";

int open_sandbox(lua_State* L) {
  for (const luaL_Reg& lib : kLibs) {
    lua_pushcfunction(L, lib.func);
    lua_pushstring(L, lib.name);
    lua_call(L, 1, 1);
    if (lib.name == std::string_view("buffer")) lua_setglobal(L, "buffer");
    else lua_pop(L, 1);
  }
  lua_pushcfunction(L, discard);
  lua_setglobal(L, "print");
  lua_pushcfunction(L, fuzz_fail);
  lua_setglobal(L, "fuzz_fail");
  if (luaL_loadbuffer(L, kSandbox, sizeof kSandbox - 1, "=sandbox") != LUA_OK) lua_error(L);
  lua_call(L, 0, 0);
  return 0;
}

[[noreturn]] void fail(const char* what, const char* detail) {
  fprintf(stderr, "fuzz check failed: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  abort();
}

}  // namespace

lua_State* kx_fuzz_newstate(FuzzAlloc* a, size_t limit) {
  a->limit = ~size_t(0);
  lua_State* L = lua_newstate(limited_alloc, a);
  if (!L) fail("no instance", nullptr);
  a->limit = a->counter.live_bytes + limit;
  return L;
}

bool kx_fuzz_sandbox(lua_State* L) {
  int status = lua_cpcall(L, open_sandbox, nullptr);
  if (status == LUA_OK) return true;
  kx_fuzz_check_status(L, status);
  if (status != LUA_ERRMEM) fail("opening the sandbox failed", lua_tostring(L, -1));
  lua_pop(L, 1);
  return false;
}

void kx_fuzz_close(lua_State* L, FuzzAlloc* a) {
  lua_close(L);
  if (a->counter.mismatch) fail("a block was freed with a wrong size", nullptr);
  if (a->counter.live_bytes != 0) {
    char n[32];
    snprintf(n, sizeof n, "%zu bytes", a->counter.live_bytes);
    fail("leak after close", n);
  }
}

void kx_fuzz_check_status(lua_State* L, int status) {
  switch (status) {
    case LUA_OK:
    case LUA_ERRRUN:
    case LUA_ERRERR:
      return;
    case LUA_ERRSYNTAX:
      if (!lua_isstring(L, -1)) fail("a syntax error without a message", nullptr);
      return;
    case LUA_ERRMEM:
      if (!lua_isstring(L, -1) || strcmp(lua_tostring(L, -1), "not enough memory") != 0)
        fail("a memory error with another message", lua_tostring(L, -1));
      return;
    default:
      fail("unexpected status", nullptr);
  }
}

void kx_fuzz_pcall(lua_State* L, int nargs) {
  int status = lua_pcall(L, nargs, 0, 0);
  kx_fuzz_check_status(L, status);
  if (status != LUA_OK) lua_pop(L, 1);
}

FuzzSplit kx_fuzz_split(const uint8_t* data, size_t size, uint8_t sep) {
  const void* at = memchr(data, sep, size);
  size_t n = at ? static_cast<size_t>(static_cast<const uint8_t*>(at) - data) : size;
  size_t rest = at ? n + 1 : size;
  return {data, n, data + rest, size - rest};
}

void kx_fuzz_redump(lua_State* L) {
  std::string first, second;
  if (!dump(L, &first)) return;
  int status = luaL_loadbufferx(L, first.data(), first.size(), "=fuzz", "b");
  kx_fuzz_check_status(L, status);
  if (status != LUA_OK && status != LUA_ERRMEM) abort();  // the reader refused the writer's output
  if (status == LUA_OK && dump(L, &second) && first.size() != second.size()) abort();
}
