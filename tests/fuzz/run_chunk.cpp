// Small source chunks loaded and run in the sandbox, with an instruction budget (a count hook that
// raises an error once it is spent) and a memory limit. The script may do anything the sandbox
// allows; every error is accepted, a crash, a sanitizer report or a leak is not.
//
// A library call between two instructions can take long on large data, so the hook also spends a
// budget of processor time, and pattern matching, whose backtracking grows as a power of the
// subject's length, refuses work beyond a bound.
#include <cstdlib>
#include <ctime>

#include "fuzz_support.h"
#include "lauxlib.h"

namespace {

constexpr int kHookPeriod = 100;
constexpr int kBudget = 2000;                      // periods: 200,000 instructions
constexpr clock_t kCpuBudget = 2 * CLOCKS_PER_SEC;

struct Budget {
  int left;
  clock_t deadline;
};

bool spent(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, "fuzz.budget");
  auto* b = static_cast<Budget*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return b && (--b->left < 0 || clock() > b->deadline);
}

// Once spent, the hook raises at every period, so a script that catches the error runs out again.
void count_hook(lua_State* L, lua_Debug*) {
  if (spent(L)) luaL_error(L, "instruction budget exhausted");
}

// Every quantifier may multiply the work by the subject's length.
const char kBoundedPatterns[] = R"lua(
local string, type, error, gsub = string, type, error, string.gsub
local function bounded(f)
  return function(s, p, ...)
    if type(s) == "string" and type(p) == "string" then
      local _, q = gsub(p, "[%*%+%-%?]", "")
      if (#s + 1) ^ (q + 1) > 1e8 then error("pattern too costly", 2) end
    end
    return f(s, p, ...)
  end
end
for _, name in ipairs({"find", "match", "gmatch", "gsub"}) do string[name] = bounded(string[name]) end
)lua";

bool bound_patterns(lua_State* L) {
  int status = luaL_loadbuffer(L, kBoundedPatterns, sizeof kBoundedPatterns - 1, "=bounds");
  if (status == LUA_OK) status = lua_pcall(L, 0, 0, 0);
  kx_fuzz_check_status(L, status);
  if (status == LUA_OK) return true;
  if (status != LUA_ERRMEM) abort();
  lua_pop(L, 1);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 16 << 20);
  Budget budget{kBudget, clock() + kCpuBudget};
  if (kx_fuzz_sandbox(L) && bound_patterns(L)) {
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
