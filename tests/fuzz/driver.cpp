#include "driver.h"

#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "lauxlib.h"

namespace {

struct Call {
  const char* driver;
  const uint8_t* data;
  size_t size;
  KxFuzzArgs args;
  int nargs;
};

// Loading the driver and making its arguments may run out of memory too: done protected.
int prepare(lua_State* L) {
  auto* c = static_cast<Call*>(lua_touserdata(L, 1));
  lua_pop(L, 1);
  if (luaL_loadbuffer(L, c->driver, strlen(c->driver), "=driver") != LUA_OK) lua_error(L);
  c->nargs = c->args(L, c->data, c->size);
  return lua_gettop(L);
}

}  // namespace

int kx_fuzz_drive(const char* driver, const uint8_t* data, size_t size, KxFuzzArgs args) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 32 << 20);
  Call c{driver, data, size, args, 0};
  if (kx_fuzz_sandbox(L)) {
    lua_pushcfunction(L, prepare);
    lua_pushlightuserdata(L, &c);
    int status = lua_pcall(L, 1, LUA_MULTRET, 0);
    kx_fuzz_check_status(L, status);
    if (status != LUA_OK) {
      if (status != LUA_ERRMEM) abort();  // the driver itself is broken
    } else if (c.nargs >= 0) {
      kx_fuzz_pcall(L, c.nargs);
    }
    lua_settop(L, 0);
  }
  kx_fuzz_close(L, &a);
  return 0;
}
