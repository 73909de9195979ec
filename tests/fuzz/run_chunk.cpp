// Small source chunks loaded and run in the sandbox, with an instruction budget (a count hook that
// raises an error once it is spent) and a memory limit. The script may do anything the sandbox
// allows; every error is accepted, a crash, a sanitizer report or a leak is not.
#include <cstring>

#include "fuzz_support.h"
#include "lauxlib.h"

namespace {

constexpr int kHookPeriod = 1000;
constexpr int kBudget = 200;  // periods: 200,000 instructions

struct Budget {
  int left;
};

int spent(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, "fuzz.budget");
  auto* b = static_cast<Budget*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return b && --b->left < 0;
}

// Once spent, the hook raises at every period, so a script that catches the error runs out again.
void count_hook(lua_State* L, lua_Debug*) {
  if (spent(L)) luaL_error(L, "instruction budget exhausted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 16 << 20);
  Budget budget{kBudget};
  if (kx_fuzz_sandbox(L)) {
    lua_pushlightuserdata(L, &budget);
    lua_setfield(L, LUA_REGISTRYINDEX, "fuzz.budget");
    int status = luaL_loadbufferx(L, reinterpret_cast<const char*>(data), size, "=fuzz", "t");
    kx_fuzz_check_status(L, status);
    if (status == LUA_OK) {
      lua_sethook(L, count_hook, LUA_MASKCOUNT, kHookPeriod);
      kx_fuzz_pcall(L, 0);
      lua_sethook(L, nullptr, 0, 0);
    } else {
      lua_pop(L, 1);
    }
    // Everything the script left behind is still reachable and whole.
    lua_gc(L, LUA_GCCOLLECT, 0);
  }
  kx_fuzz_close(L, &a);
  return 0;
}
