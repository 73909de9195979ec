// The C API and the auxiliary library: stack effects, conversions, metamethods called from C, the
// nesting limit of C-level entries, stack limits, and the debug interface seen from C.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "core/buf.h"
#include "core/func.h"
#include "core/state.h"
#include "core/str.h"
#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"
#include "vm/debug.h"

namespace {

class Api : public ::testing::Test {
 protected:
  lua_State* L = nullptr;

  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  // Runs source text in protected mode; results or the message stay on the stack.
  int run(const char* src, int nres = LUA_MULTRET) {
    int status = luaL_loadbuffer(L, src, strlen(src), "=api");
    if (status == 0) status = lua_pcall(L, 0, nres, 0);
    return status;
  }
  std::string error_of(const char* src) {
    EXPECT_EQ(run(src), LUA_ERRRUN);
    const char* s = lua_tostring(L, -1);
    std::string msg = s ? s : "<not a string>";
    lua_pop(L, 1);
    return msg;
  }
  std::string top_string() {
    size_t len;
    const char* s = lua_tolstring(L, -1, &len);
    return s ? std::string(s, len) : "<not a string>";
  }
};

// ---- Stack and conversions -------------------------------------------------------------------------------

TEST_F(Api, NoneAndConversionsInPlace) {
  EXPECT_EQ(lua_type(L, lua_gettop(L) + 1), LUA_TNONE);
  EXPECT_EQ(lua_toboolean(L, lua_gettop(L) + 1), 0);
  lua_pushnumber(L, 10);
  EXPECT_STREQ(lua_tostring(L, -1), "10");
  EXPECT_EQ(lua_type(L, -1), LUA_TSTRING);
  lua_pushstring(L, "12");
  EXPECT_EQ(lua_tonumber(L, -1), 12);
  EXPECT_EQ(lua_type(L, -1), LUA_TSTRING);
  lua_pushstring(L, "12a");
  int isnum = 1;
  EXPECT_EQ(lua_tonumberx(L, -1, &isnum), 0);
  EXPECT_EQ(isnum, 0);
  lua_pushnumber(L, -3.9);
  EXPECT_EQ(lua_tointeger(L, -1), -3);
  // Integers are as wide as a pointer: 2^31 and a time past 2038 keep their values on x86-64.
  lua_pushnumber(L, 2147483648.0);
  EXPECT_EQ(lua_tointeger(L, -1), sizeof(lua_Integer) == 8 ? lua_Integer(2147483648.0) : INT32_MIN);
  lua_pushnumber(L, -4294967296.5);
  EXPECT_EQ(lua_tointeger(L, -1), sizeof(lua_Integer) == 8 ? lua_Integer(-4294967296.0) : INT32_MIN);
  lua_pushnumber(L, 0x1p63);
  EXPECT_EQ(lua_tointeger(L, -1), std::numeric_limits<lua_Integer>::min());
  lua_pushnumber(L, NAN);
  EXPECT_EQ(lua_tointeger(L, -1), std::numeric_limits<lua_Integer>::min());
  lua_pushnumber(L, -NAN);
  double d = lua_tonumber(L, -1);
  uint64_t bits;
  memcpy(&bits, &d, 8);
  EXPECT_EQ(bits, 0xfff8000000000000ull);
  EXPECT_EQ(lua_gc(L, 8, 0), -1);
  lua_gc(L, LUA_GCSTOP, 0);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 0);
  lua_gc(L, LUA_GCRESTART, 0);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 1);
}

// Reads and writes its upvalues and environment through the pseudo-indices.
int pseudo(lua_State* L) {
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_pushinteger(L, lua_tointeger(L, -1) + 1);
  lua_replace(L, lua_upvalueindex(1));
  lua_pushinteger(L, lua_type(L, lua_upvalueindex(2)));  // beyond the upvalue count: none
  lua_newtable(L);
  lua_pushstring(L, "mine");
  lua_setfield(L, -2, "tag");
  lua_replace(L, LUA_ENVIRONINDEX);
  lua_getfield(L, LUA_ENVIRONINDEX, "tag");
  return 3;
}

TEST_F(Api, PseudoIndicesAndEnvironments) {
  lua_pushinteger(L, 10);
  lua_pushcclosure(L, pseudo, 1);
  int f = lua_gettop(L);
  for (int i = 0; i < 2; i++) {
    lua_pushvalue(L, f);
    lua_call(L, 0, 3);
  }
  EXPECT_EQ(lua_tointeger(L, -3), 11);  // the second call sees the first call's store
  EXPECT_EQ(lua_tointeger(L, -2), LUA_TNONE);
  EXPECT_STREQ(lua_tostring(L, -1), "mine");
  lua_getfenv(L, f);
  lua_getfield(L, -1, "tag");
  EXPECT_STREQ(lua_tostring(L, -1), "mine");
  lua_settop(L, f);
  EXPECT_STREQ(lua_getupvalue(L, f, 1), "");
  EXPECT_EQ(lua_tointeger(L, -1), 12);
  EXPECT_EQ(lua_getupvalue(L, f, 2), nullptr);
  lua_settop(L, f);

  // The globals of the thread can be replaced from any function.
  lua_newtable(L);
  EXPECT_EQ(lua_cpcall(L, [](lua_State* L) -> int {
    lua_newtable(L);
    lua_replace(L, LUA_GLOBALSINDEX);
    lua_pushnumber(L, 1);
    lua_setglobal(L, "onlyhere");
    return 0;
  }, nullptr), 0);
  lua_getglobal(L, "onlyhere");
  EXPECT_EQ(lua_tonumber(L, -1), 1);
  lua_getglobal(L, "print");
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_settop(L, 0);
  lua_pushnumber(L, 5);
  lua_newtable(L);
  EXPECT_EQ(lua_setfenv(L, 1), 0);
  EXPECT_EQ(lua_gettop(L), 1);
  lua_pushnil(L);
  lua_copy(L, 1, 2);
  EXPECT_EQ(lua_tonumber(L, 2), 5);
}

TEST_F(Api, CfunctionPointersOnlyForPlainCFunctions) {
  lua_getglobal(L, "print");
  EXPECT_NE(lua_tocfunction(L, -1), nullptr);
  lua_getglobal(L, "type");
  EXPECT_EQ(lua_tocfunction(L, -1), nullptr);
}

TEST_F(Api, CheckstackLimits) {
  int top = lua_gettop(L);
  EXPECT_EQ(lua_checkstack(L, 8001), 0);
  EXPECT_EQ(lua_checkstack(L, 0), 1);
  EXPECT_EQ(lua_checkstack(L, -5), 1);
  ASSERT_EQ(lua_checkstack(L, 7000), 1);
  for (int i = 0; i < 7000; i++) lua_pushinteger(L, i);
  EXPECT_EQ(lua_tointeger(L, -1), 6999);
  EXPECT_EQ(lua_checkstack(L, 1001), 0);  // 8000 slots above the base at most
  EXPECT_EQ(lua_checkstack(L, 1000), 1);
  lua_settop(L, top);
  EXPECT_EQ(lua_gettop(L), top);
}

// Uses the room every C function is given, then calls into another C function that does the same.
int fill_then_call(lua_State* L) {
  for (int i = 0; i < LUA_MINSTACK; i++) lua_pushinteger(L, i);
  auto fill = [](lua_State* L) -> int {
    for (int i = 0; i < LUA_MINSTACK; i++) lua_pushinteger(L, i);
    return 0;
  };
  int status = lua_cpcall(L, fill, nullptr);
  lua_pushcfunction(L, fill);
  lua_call(L, 0, 0);
  lua_pushinteger(L, status);
  return 1;
}

TEST_F(Api, CFunctionsAlwaysGetTheirMinimumRoom) {
  lua_register(L, "fill", fill_then_call);
  ASSERT_EQ(run("local function f(n) if n == 0 then return fill() end return (f(n - 1)) end return f(30)"), 0)
      << top_string();
  EXPECT_EQ(lua_tointeger(L, -1), 0);
}

// A C function that asks for stack room: returns what lua_checkstack said and how many values it has.
int ask_for_room(lua_State* L) {
  int before = lua_gettop(L);
  int ok = lua_checkstack(L, static_cast<int>(lua_tointeger(L, 1)));
  lua_pushboolean(L, ok);
  lua_pushinteger(L, lua_gettop(L) - before);
  return 2;
}

TEST_F(Api, CheckstackFailsNearTheStackLimitAndRecovers) {
  lua_register(L, "ask", ask_for_room);
  ASSERT_EQ(run(R"(
    local function rec(n, want)
      if n == 0 then return ask(want) end
      local a, b, c, d, e, f, g, h = rec(n - 1, want)
      return a, b
    end
    -- The deepest recursion that still fits, then one that leaves less than 7000 slots.
    local lo, hi = 1, 20000
    while lo < hi do
      local mid = math.floor((lo + hi + 1) / 2)
      if pcall(rec, mid, 0) then lo = mid else hi = mid - 1 end
    end
    local ok, pushed = rec(lo - 300, 7000)
    local small = rec(lo - 300, 100)
    return ok, pushed, small, (ask(7000))
  )"), 0) << top_string();
  EXPECT_FALSE(lua_toboolean(L, -4));  // no room near the top of the stack
  EXPECT_EQ(lua_tointeger(L, -3), 1);  // the failed growth left no message behind
  EXPECT_TRUE(lua_toboolean(L, -2));
  EXPECT_TRUE(lua_toboolean(L, -1));   // the stack recovered
}

TEST_F(Api, StackShrinksBackAfterAnOverflowIsCaught) {
  const uint32_t normal_max = KX_STACK_MAX + KX_STACK_EXTRA;
  ASSERT_EQ(run("function deep(n) return 1 + deep(n + 1) end return pcall(deep, 1)"), 0);
  EXPECT_FALSE(lua_toboolean(L, -2));
  EXPECT_EQ(top_string(), "api:1: stack overflow");
  EXPECT_LE(L->stack_size, normal_max);
  EXPECT_GT(L->stack_size, 60000u);
  lua_settop(L, 0);
  lua_getglobal(L, "deep");
  lua_pushinteger(L, 1);
  EXPECT_EQ(lua_pcall(L, 1, 0, 0), LUA_ERRRUN);
  EXPECT_EQ(top_string(), "api:1: stack overflow");
  EXPECT_LE(L->stack_size, normal_max);
  ASSERT_EQ(run("return xpcall(deep, function(m) return deep(1) end, 1)"), 0);
  EXPECT_EQ(top_string(), "stack overflow");
  EXPECT_LE(L->stack_size, normal_max);
  // The same in a coroutine, which dies with its stack as it was.
  ASSERT_EQ(run("local co = coroutine.create(deep) return co, coroutine.resume(co, 1)"), 0);
  EXPECT_EQ(top_string(), "api:1: stack overflow");
  lua_State* co = lua_tothread(L, -3);
  EXPECT_EQ(lua_status(co), LUA_ERRRUN);
  EXPECT_LE(L->stack_size, normal_max);
}

TEST_F(Api, XmoveKeepsOrder) {
  lua_State* co = lua_newthread(L);
  lua_pushinteger(L, 1);
  lua_pushstring(L, "two");
  lua_pushboolean(L, 1);
  lua_xmove(L, co, 3);
  EXPECT_EQ(lua_gettop(co), 3);
  EXPECT_EQ(lua_tointeger(co, 1), 1);
  EXPECT_STREQ(lua_tostring(co, 2), "two");
  EXPECT_TRUE(lua_toboolean(co, 3));
  EXPECT_EQ(lua_type(L, -1), LUA_TTHREAD);
  lua_xmove(co, co, 2);
  EXPECT_EQ(lua_gettop(co), 3);
  lua_xmove(co, L, 2);
  EXPECT_EQ(lua_gettop(co), 1);
  EXPECT_STREQ(lua_tostring(L, -2), "two");
}

// ---- Metamethods called from C -------------------------------------------------------------------------------

TEST_F(Api, ConcatCountsAndMetamethods) {
  int top = lua_gettop(L);
  lua_concat(L, 0);
  EXPECT_EQ(top_string(), "");
  lua_pushinteger(L, 7);
  lua_concat(L, 1);
  EXPECT_EQ(lua_type(L, -1), LUA_TNUMBER);
  lua_settop(L, top);
  ASSERT_EQ(run(R"(
    log = {}
    T = setmetatable({}, {__concat = function(a, b)
      log[#log + 1] = (type(a) == "table" and "T" or a) .. "|" .. (type(b) == "table" and "T" or b)
      return setmetatable({}, getmetatable(T))
    end})
  )"), 0);
  lua_pushstring(L, "a");
  lua_getglobal(L, "T");
  lua_pushstring(L, "b");
  lua_pushnumber(L, 1);
  lua_concat(L, 4);
  EXPECT_EQ(lua_gettop(L), top + 1);
  EXPECT_EQ(lua_type(L, -1), LUA_TTABLE);
  ASSERT_EQ(run("return table.concat(log, ' ')"), 0);
  EXPECT_EQ(top_string(), "T|b1 a|T");
  lua_settop(L, top);
}

// A metamethod called from C runs a full collection: the slot below the call, which held a string
// operand, must not be taken for a reference.
TEST_F(Api, MetamethodsCalledFromCSurviveACollection) {
  ASSERT_EQ(run(R"(
    C = setmetatable({}, {__concat = function(a, b) collectgarbage() return "joined" end,
                          __eq = function() collectgarbage() return true end,
                          __lt = function() collectgarbage() return true end,
                          __index = function(_, k) collectgarbage() return k end})
  )"), 0);
  lua_pushstring(L, "left operand");
  lua_getglobal(L, "C");
  lua_concat(L, 2);
  EXPECT_EQ(top_string(), "joined");
  lua_getglobal(L, "C");
  lua_pushstring(L, "key string");
  lua_gettable(L, -2);
  EXPECT_EQ(top_string(), "key string");
  lua_getglobal(L, "C");
  lua_getglobal(L, "C");
  lua_newtable(L);
  lua_pushvalue(L, -2);
  lua_setmetatable(L, -2);
  lua_getmetatable(L, -2);
  lua_setmetatable(L, -2);
  EXPECT_EQ(lua_lessthan(L, -1, -2), 1);
  EXPECT_EQ(lua_equal(L, -1, -2), 1);
  lua_settop(L, 0);
}

int concat_three(lua_State* L) {
  lua_concat(L, lua_gettop(L));
  return 1;
}

TEST_F(Api, ConcatErrorsPropagate) {
  lua_register(L, "cat", concat_three);
  EXPECT_EQ(error_of("return cat('a', {}, 'b')"), "attempt to concatenate a table value");
  EXPECT_EQ(error_of(R"(
    return cat('a', setmetatable({}, {__concat = function() error('inner', 0) end}))
  )"), "inner");
  ASSERT_EQ(run("return cat('a', 1, 'b', 2.5)"), 0);
  EXPECT_EQ(top_string(), "a1b2.5");
}

TEST_F(Api, EqualAndLessthanWithMetamethods) {
  ASSERT_EQ(run(R"(
    local calls = 0
    local function eq(a, b) calls = calls + 1 return 1 end
    local function lt(a, b) return a.n < b.n end
    local a = setmetatable({n = 1}, {__eq = eq, __lt = lt})
    local b = setmetatable({n = 2}, {__eq = eq, __lt = lt})
    local c = setmetatable({n = 3}, {__eq = function() return true end})
    return a, b, c, function() return calls end
  )"), 0);
  int a = lua_gettop(L) - 3, b = a + 1, c = a + 2;
  EXPECT_EQ(lua_equal(L, a, b), 1);
  EXPECT_EQ(lua_equal(L, a, c), 0);  // different __eq functions: no call
  EXPECT_EQ(lua_equal(L, a, a), 1);
  EXPECT_EQ(lua_rawequal(L, a, b), 0);
  EXPECT_EQ(lua_equal(L, a, lua_gettop(L) + 1), 0);
  EXPECT_EQ(lua_lessthan(L, a, b), 1);
  EXPECT_EQ(lua_lessthan(L, b, a), 0);
  EXPECT_EQ(lua_lessthan(L, a, lua_gettop(L) + 1), 0);
  lua_pushvalue(L, -1);
  lua_call(L, 0, 1);
  EXPECT_EQ(lua_tointeger(L, -1), 1);
  lua_pushnumber(L, -0.0);
  lua_pushnumber(L, 0.0);
  EXPECT_EQ(lua_equal(L, -1, -2), 1);
  EXPECT_EQ(lua_lessthan(L, -2, -1), 0);
  lua_pushstring(L, "a");
  lua_pushstring(L, "b");
  EXPECT_EQ(lua_lessthan(L, -2, -1), 1);
  EXPECT_EQ(lua_lessthan(L, -1, -2), 0);
}

int compare_args(lua_State* L) {
  lua_pushboolean(L, lua_lessthan(L, 1, 2));
  return 1;
}

TEST_F(Api, LessthanRaisesTheComparisonError) {
  lua_register(L, "lt", compare_args);
  EXPECT_EQ(error_of("return lt(1, 'x')"), "attempt to compare number with string");
  EXPECT_EQ(error_of("return lt({}, {})"), "attempt to compare two table values");
  ASSERT_EQ(run("return lt(1, 2), lt('b', 'a')"), 0);
  EXPECT_TRUE(lua_toboolean(L, -2));
  EXPECT_FALSE(lua_toboolean(L, -1));
}

// __index as a C function that indexes the same object again: each level is a C-level entry.
int index_again(lua_State* L) {
  lua_settop(L, 2);
  lua_gettable(L, 1);
  return 1;
}

TEST_F(Api, RunawayCRecursionThroughMetamethodsIsAStackOverflow) {
  lua_register(L, "index_again", index_again);
  std::string msg = error_of("return setmetatable({}, {__index = index_again}).x");
  EXPECT_NE(msg.find("stack overflow"), std::string::npos) << msg;
  msg = error_of(R"(
    local t = setmetatable({}, {__tostring = function(s) return tostring(s) .. "" end})
    print(t)
  )");
  EXPECT_NE(msg.find("stack overflow"), std::string::npos) << msg;
  // Nothing is left over: C calls nest as deep again, and plain calls still work.
  msg = error_of("return setmetatable({}, {__index = index_again}).y");
  EXPECT_NE(msg.find("stack overflow"), std::string::npos) << msg;
  ASSERT_EQ(run("return setmetatable({}, {__index = function(t, k) return k end}).z"), 0);
  EXPECT_EQ(top_string(), "z");
}

TEST_F(Api, RunawayRecursionUnderAnErrorHandler) {
  lua_register(L, "index_again", index_again);
  ASSERT_EQ(run(R"(
    local t = setmetatable({}, {__index = index_again})
    return xpcall(function() return t.x end, function(m) return "handled: " .. m end)
  )"), 0);
  EXPECT_FALSE(lua_toboolean(L, -2));
  std::string msg = top_string();
  EXPECT_EQ(msg.rfind("handled: ", 0), 0u) << msg;
  EXPECT_NE(msg.find("stack overflow"), std::string::npos) << msg;
  ASSERT_EQ(run(R"(
    local t = setmetatable({}, {__index = index_again})
    return xpcall(function() error("first") end, function(m) return t.x end)
  )"), 0);
  EXPECT_FALSE(lua_toboolean(L, -2));
  EXPECT_EQ(top_string(), "error in error handling");
}

// ---- Calls and errors -------------------------------------------------------------------------------------------

int raise_table(lua_State* L) {
  lua_newtable(L);
  lua_pushinteger(L, 5);
  lua_setfield(L, -2, "code");
  return lua_error(L);
}

TEST_F(Api, PcallWithHandlerIndexAndCpcall) {
  int top = lua_gettop(L);
  ASSERT_EQ(run("return function(e) return 'H' .. type(e) end"), 0);
  lua_pushcfunction(L, raise_table);
  EXPECT_EQ(lua_pcall(L, 0, 0, -2), LUA_ERRRUN);
  EXPECT_EQ(top_string(), "Htable");
  EXPECT_EQ(lua_gettop(L), top + 2);
  lua_settop(L, top);
  EXPECT_EQ(lua_cpcall(L, raise_table, nullptr), LUA_ERRRUN);
  lua_getfield(L, -1, "code");
  EXPECT_EQ(lua_tointeger(L, -1), 5);
  lua_settop(L, top);
  static int seen;
  seen = 0;
  auto take_ud = [](lua_State* L) -> int {
    seen = *static_cast<int*>(lua_touserdata(L, 1));
    lua_pushinteger(L, 1);
    return 1;
  };
  int value = 42;
  EXPECT_EQ(lua_cpcall(L, take_ud, &value), 0);
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(lua_gettop(L), top);
  lua_pushnil(L);
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
  EXPECT_EQ(top_string(), "attempt to call a nil value");
}

TEST(ApiPanic, UnprotectedErrorPanicsAndExits) {
  EXPECT_EXIT(
      {
        lua_State* L = luaL_newstate();
        lua_pushstring(L, "boom");
        lua_error(L);
      },
      ::testing::ExitedWithCode(1), "PANIC: unprotected error in call to Lua API \\(boom\\)");
  EXPECT_EXIT(
      {
        lua_State* L = luaL_newstate();
        lua_atpanic(L, [](lua_State* L) -> int {
          fprintf(stderr, "mine: %s\n", lua_tostring(L, -1));
          return 0;
        });
        lua_pushnil(L);
        lua_call(L, 0, 0);
      },
      ::testing::ExitedWithCode(1), "mine: attempt to call a nil value");
}

TEST(ApiMemory, MemoryErrorsSkipTheHandler) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L);
  const char* src = R"(
    local handled = false
    local ok, e = xpcall(function() local t = {} for i = 1, 1e7 do t[i] = {i} end end,
                         function(m) handled = true return m end)
    return ok, e, handled, #{1, 2, 3}
  )";
  ASSERT_EQ(luaL_loadstring(L, src), 0);
  counter.fail_at = counter.allocations + 5000;
  ASSERT_EQ(lua_pcall(L, 0, 4, 0), 0) << lua_tostring(L, -1);
  EXPECT_FALSE(lua_toboolean(L, 1));
  EXPECT_STREQ(lua_tostring(L, 2), "not enough memory");
  EXPECT_FALSE(lua_toboolean(L, 3));
  EXPECT_EQ(lua_tointeger(L, 4), 3);  // allocation works again afterwards
  lua_settop(L, 0);
  ASSERT_EQ(luaL_loadstring(L, "local t = {} for i = 1, 1e7 do t[i] = {i} end"), 0);
  counter.fail_at = counter.allocations + 5000;
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRMEM);
  EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
}

TEST_F(Api, PcallHandlerFailures) {
  int top = lua_gettop(L);
  ASSERT_EQ(run("return function(m) error('again') end"), 0);
  lua_pushcfunction(L, raise_table);
  EXPECT_EQ(lua_pcall(L, 0, 0, top + 1), LUA_ERRERR);
  EXPECT_EQ(top_string(), "error in error handling");
  lua_settop(L, top);
  lua_pushinteger(L, 3);  // not a function
  lua_pushcfunction(L, raise_table);
  EXPECT_EQ(lua_pcall(L, 0, 0, -2), LUA_ERRERR);
  EXPECT_EQ(top_string(), "error in error handling");
  lua_settop(L, top);
  // The handler's position is kept as an offset: it survives the stack moving under the call.
  ASSERT_EQ(run("return function(m) return 'H:' .. m end"), 0);
  ASSERT_EQ(luaL_loadstring(L, "local function d(n) if n == 0 then error('deep', 0) end return 1 + d(n - 1) end d(5000)"), 0);
  EXPECT_EQ(lua_pcall(L, 0, 0, top + 1), LUA_ERRRUN);
  EXPECT_EQ(top_string(), "H:deep");
}

int bad_arg(lua_State* L) {
  luaL_checkinteger(L, 2);
  return 0;
}

int where_levels(lua_State* L) {
  luaL_where(L, 1);
  luaL_where(L, 2);
  lua_concat(L, 2);
  return 1;
}

TEST_F(Api, ArgumentErrorsAndWhere) {
  lua_register(L, "bad", bad_arg);
  ASSERT_EQ(run("obj = {bad = bad}"), 0);
  EXPECT_EQ(error_of("bad(1, {})"), "api:1: bad argument #2 to 'bad' (number expected, got table)");
  EXPECT_EQ(error_of("obj:bad({})"), "api:1: bad argument #1 to 'bad' (number expected, got table)");
  EXPECT_EQ(error_of("obj.bad(1)"), "api:1: bad argument #2 to 'bad' (number expected, got no value)");
  EXPECT_EQ(error_of("local s = 'x' s:rep()"), "api:1: bad argument #1 to 'rep' (number expected, got no value)");
  EXPECT_EQ(error_of("('x').rep()"), "api:1: bad argument #1 to 'rep' (string expected, got no value)");
  EXPECT_EQ(error_of("local s = {} string.rep(s)"), "api:1: bad argument #1 to 'rep' (string expected, got table)");
  lua_register(L, "where", where_levels);
  ASSERT_EQ(run("local function f()\n return where()\n end\n return f()"), 0);
  EXPECT_EQ(top_string(), "");  // both calls were tail calls: no Lua frame is left
  ASSERT_EQ(run("local function f()\n return (where())\n end\n return (f())"), 0);
  EXPECT_EQ(top_string(), "api:2: api:4: ");
}

// ---- Coroutines from C ------------------------------------------------------------------------------------

// Yields its arguments; on resume, its frame returns the resume values to its Lua caller.
int yield_args(lua_State* L) { return lua_yield(L, lua_gettop(L)); }

TEST_F(Api, ResumeAndYieldFromC) {
  lua_register(L, "cyield", yield_args);
  lua_State* co = lua_newthread(L);
  ASSERT_EQ(luaL_loadstring(co, "local a, b = ... local x, y = cyield(a + b, 'two') return x .. y, a"), 0);
  lua_pushinteger(co, 1);
  lua_pushinteger(co, 2);
  ASSERT_EQ(lua_resume(co, 2), LUA_YIELD);
  EXPECT_EQ(lua_status(co), LUA_YIELD);
  ASSERT_EQ(lua_gettop(co), 2);
  EXPECT_EQ(lua_tointeger(co, 1), 3);
  EXPECT_STREQ(lua_tostring(co, 2), "two");
  lua_settop(co, 0);
  lua_pushstring(co, "p");
  lua_pushstring(co, "q");
  ASSERT_EQ(lua_resume(co, 2), 0);
  ASSERT_EQ(lua_gettop(co), 2);
  EXPECT_STREQ(lua_tostring(co, 1), "pq");
  EXPECT_EQ(lua_tointeger(co, 2), 1);
  EXPECT_EQ(lua_status(co), 0);

  // Not suspended: an error status and the message, nothing run.
  lua_State* self = lua_newthread(L);
  lua_pushcfunction(self, [](lua_State* L) -> int {
    lua_pushinteger(L, lua_resume(L, 0));
    return 2;
  });
  ASSERT_EQ(lua_resume(self, 0), 0);
  EXPECT_EQ(lua_tointeger(self, -1), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(self, -2), "cannot resume non-suspended coroutine");

  // A yield outside a coroutine, or under a C-level call inside one, is refused.
  EXPECT_EQ(error_of("cyield(1)"), "attempt to yield across C-call boundary");
  ASSERT_EQ(run("return coroutine.resume(coroutine.create(function() table.sort({1, 2}, cyield) end))"), 0);
  EXPECT_EQ(top_string(), "attempt to yield across C-call boundary");
  EXPECT_EQ(lua_isyieldable(L), 0);
}

// ---- Auxiliary library --------------------------------------------------------------------------------------------

TEST_F(Api, OptionsReferencesMetatables) {
  static const char* const opts[] = {"one", "all", "1", nullptr};
  lua_settop(L, 0);
  lua_pushnil(L);
  EXPECT_EQ(luaL_checkoption(L, 1, "all", opts), 1);
  lua_pushinteger(L, 1);
  EXPECT_EQ(luaL_checkoption(L, 2, nullptr, opts), 2);
  EXPECT_EQ(lua_type(L, 2), LUA_TSTRING);
  size_t len = 99;
  EXPECT_EQ(luaL_optlstring(L, 1, nullptr, &len), nullptr);
  EXPECT_EQ(len, 0u);
  lua_settop(L, 0);

  lua_newtable(L);
  lua_pushnil(L);
  EXPECT_EQ(luaL_ref(L, 1), LUA_REFNIL);
  EXPECT_EQ(lua_objlen(L, 1), 0u);
  int refs[4];
  for (int& r : refs) {
    lua_pushstring(L, "v");
    r = luaL_ref(L, -2);
  }
  EXPECT_EQ(refs[3], 4);
  luaL_unref(L, 1, 3);
  lua_pushstring(L, "w");
  EXPECT_EQ(luaL_ref(L, 1), 3);
  lua_settop(L, 0);

  EXPECT_EQ(luaL_newmetatable(L, "kx.test"), 1);
  EXPECT_EQ(luaL_newmetatable(L, "kx.test"), 0);
  EXPECT_TRUE(lua_rawequal(L, 1, 2));
}

void push_levels(lua_State* L, int depth) {
  std::string src = "local function f(n) if n == 0 then return (debug_traceback()) end return (f(n - 1)) end "
                    "return (f(" + std::to_string(depth) + "))";
  ASSERT_EQ(luaL_loadbuffer(L, src.c_str(), src.size(), "=tb"), 0);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0) << lua_tostring(L, -1);
}

int traceback_here(lua_State* L) {
  luaL_traceback(L, L, nullptr, 0);
  return 1;
}

TEST_F(Api, TracebackElidesTheMiddle) {
  lua_register(L, "debug_traceback", traceback_here);
  // Levels: the C function, depth + 1 calls of f, the main chunk: depth + 3 in all.
  push_levels(L, 20);
  std::string tb = top_string();
  EXPECT_EQ(tb.find("..."), std::string::npos) << tb;
  push_levels(L, 21);
  tb = top_string();
  size_t dots = tb.find("\n\t...");
  ASSERT_NE(dots, std::string::npos) << tb;
  int before = 0, after = 0;
  for (size_t i = 0; i < dots; i++) before += tb[i] == '\n';
  for (size_t i = dots + 2; i < tb.size(); i++) after += tb[i] == '\n';
  EXPECT_EQ(before, 12);  // levels 0 to 11
  EXPECT_EQ(after, 10);   // levels 14 to 23
}

// A string buffer object reading text it does not own, as the buffer library makes them.
void push_buffer_over(lua_State* L, const char* text, size_t skip) {
  lua_pushstring(L, text);
  GcString* s = strV(L->top - 1);
  auto* sbx = static_cast<StrBufExt*>(lua_newuserdata(L, sizeof(StrBufExt)));
  udataV(L->top - 1)->udtype = KX_UDTYPE_BUFFER;
  char* data = const_cast<char*>(strdata(s));
  sbx->sb.b = data;
  sbx->sb.w = sbx->sb.e = data + s->len;
  sbx->sb.owner = reinterpret_cast<uintptr_t>(L) | KX_SBUF_EXT | KX_SBUF_COW;
  sbx->ref = obj2gco(s);
  sbx->r = data + skip;
  sbx->dict_str = sbx->dict_mt = nullptr;
  lua_remove(L, -2);
}

TEST_F(Api, LoadReadsTheUnreadPartOfAStringBuffer) {
  lua_getglobal(L, "load");
  push_buffer_over(L, "junk return ... ", 5);
  lua_call(L, 1, 2);
  ASSERT_EQ(lua_type(L, -2), LUA_TFUNCTION) << top_string();
  lua_pop(L, 1);
  lua_pushstring(L, "arg");
  lua_call(L, 1, 1);
  EXPECT_EQ(top_string(), "arg");
  lua_getglobal(L, "load");
  push_buffer_over(L, "x =", 0);
  lua_call(L, 1, 2);
  EXPECT_EQ(top_string(), "[string \"\"]:1: unexpected symbol near '<eof>'");
}

// ---- Debug interface --------------------------------------------------------------------------------------------

struct Probe {
  lua_Debug ar;
  std::string text;
};
Probe probe;

// Records getinfo of the caller (level 1) with the options in argument 1.
int info_probe(lua_State* L) {
  const char* what = lua_tostring(L, 1);
  probe.text.clear();
  if (!lua_getstack(L, 1, &probe.ar)) return 0;
  lua_pushboolean(L, lua_getinfo(L, what, &probe.ar));
  return 1;
}

TEST_F(Api, GetinfoOfLuaAndCFunctions) {
  lua_register(L, "info", info_probe);
  const char* src = "\n\nlocal ok = info('Slnu') return ok";
  ASSERT_EQ(luaL_loadbuffer(L, src, strlen(src), "@main.lua"), 0);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
  EXPECT_TRUE(lua_toboolean(L, -1));
  EXPECT_STREQ(probe.ar.what, "main");
  EXPECT_EQ(probe.ar.linedefined, 0);
  EXPECT_STREQ(probe.ar.short_src, "main.lua");
  EXPECT_STREQ(probe.ar.source, "@main.lua");
  EXPECT_EQ(probe.ar.currentline, 3);
  EXPECT_EQ(probe.ar.nups, 0);
  EXPECT_STREQ(probe.ar.namewhat, "");
  EXPECT_EQ(probe.ar.name, nullptr);

  ASSERT_EQ(run("local up = 1\nlocal function named()\n return (info('nSlu')), up\nend\nreturn (named())"), 0);
  EXPECT_STREQ(probe.ar.namewhat, "local");
  EXPECT_STREQ(probe.ar.name, "named");
  EXPECT_STREQ(probe.ar.what, "Lua");
  EXPECT_EQ(probe.ar.linedefined, 2);
  EXPECT_EQ(probe.ar.lastlinedefined, 4);
  EXPECT_EQ(probe.ar.currentline, 3);
  EXPECT_EQ(probe.ar.nups, 1);

  ASSERT_EQ(run("local ok = info('x') return ok"), 0);
  EXPECT_FALSE(lua_toboolean(L, -1));

  int top = lua_gettop(L);
  lua_getglobal(L, "print");
  lua_Debug ar;
  ASSERT_EQ(lua_getinfo(L, ">Slnuf", &ar), 1);
  EXPECT_STREQ(ar.what, "C");
  EXPECT_STREQ(ar.short_src, "[C]");
  EXPECT_STREQ(ar.source, "=[C]");
  EXPECT_EQ(ar.linedefined, -1);
  EXPECT_EQ(ar.currentline, -1);
  EXPECT_EQ(lua_gettop(L), top + 1);  // the function was popped, then pushed by "f"
  EXPECT_EQ(lua_type(L, -1), LUA_TFUNCTION);
  lua_pushnumber(L, 1);
  EXPECT_EQ(lua_getinfo(L, ">S", &ar), 0);
}

// The names under which functions are reached, as "n" reports them.
int name_probe(lua_State* L) {
  lua_Debug ar;
  probe.text.clear();
  if (lua_getstack(L, 1, &ar) && lua_getinfo(L, "n", &ar))
    probe.text = std::string(ar.namewhat) + ":" + (ar.name ? ar.name : "-");
  lua_pushstring(L, probe.text.c_str());
  return 1;
}

TEST_F(Api, GetinfoNames) {
  lua_register(L, "nameof", name_probe);
  ASSERT_EQ(run(R"(
    local r = {}
    function gf() return (nameof()) end
    local function lf() return (nameof()) end
    local obj = {}
    function obj.field() return (nameof()) end
    function obj:meth() return (nameof()) end
    local mt = setmetatable({}, {__index = function() return (nameof()) end,
                                 __add = function() return (nameof()) end})
    r[1] = gf()
    r[2] = lf()
    r[3] = obj.field()
    r[4] = obj:meth()
    r[5] = mt.x
    r[6] = mt + 1
    r[7] = select(2, pcall(lf))
    for v in function(s, c) if not c then return (nameof()) end end do r[8] = v end
    return table.concat(r, " ")
  )"), 0) << top_string();
  EXPECT_EQ(top_string(),
            "global:gf local:lf field:field method:meth metamethod:__index metamethod:__add :- local:(for generator)");
}

TEST_F(Api, GetinfoExtendedFieldsAndLines) {
  ASSERT_EQ(run("return function(a, b, ...)\n local x = a\n\n return x\nend"), 0);
  DebugExt ext;
  lua_pushvalue(L, -1);
  ASSERT_EQ(kx_debug_getinfo(L, ">uL", &ext.ar, 1), 1);
  EXPECT_EQ(ext.nparams, 2);
  EXPECT_EQ(ext.isvararg, 1);
  EXPECT_EQ(ext.ar.nups, 0);
  ASSERT_EQ(lua_type(L, -1), LUA_TTABLE);
  std::string lines;
  for (int line = 0; line <= 6; line++) {
    lua_rawgeti(L, -1, line);
    if (lua_toboolean(L, -1)) lines += std::to_string(line);
    lua_pop(L, 1);
  }
  EXPECT_EQ(lines, "24");  // the return ends the code: no instruction for "end"
  lua_pop(L, 1);
  ASSERT_EQ(run("return function(a) return a end"), 0);
  ASSERT_EQ(kx_debug_getinfo(L, ">u", &ext.ar, 1), 1);
  EXPECT_EQ(ext.nparams, 1);
  EXPECT_EQ(ext.isvararg, 0);
  lua_getglobal(L, "print");
  ASSERT_EQ(kx_debug_getinfo(L, ">uL", &ext.ar, 1), 1);
  EXPECT_EQ(ext.nparams, 0);
  EXPECT_EQ(ext.isvararg, 1);
  EXPECT_TRUE(lua_isnil(L, -1));
}

// Records the locals of the caller: name=value pairs, then the vararg entries.
int locals_probe(lua_State* L) {
  lua_Debug ar;
  probe.text.clear();
  if (!lua_getstack(L, 1, &ar)) return 0;
  for (int n = 1;; n++) {
    const char* name = lua_getlocal(L, &ar, n);
    if (name == nullptr) break;
    const char* v = lua_tostring(L, -1);
    probe.text += std::string(name) + "=" + (v ? v : lua_typename(L, lua_type(L, -1))) + " ";
    lua_pop(L, 1);
  }
  for (int n = -1;; n--) {
    const char* name = lua_getlocal(L, &ar, n);
    if (name == nullptr) break;
    probe.text += std::string(name) + "=" + lua_tostring(L, -1) + " ";
    lua_pop(L, 1);
  }
  return 0;
}

TEST_F(Api, LocalsTemporariesAndVarargs) {
  lua_register(L, "locals", locals_probe);
  ASSERT_EQ(run("for i = 1, 1 do locals() end"), 0);
  EXPECT_EQ(probe.text, "(for index)=1 (for limit)=1 (for step)=1 i=1 ");
  ASSERT_EQ(run("local function v(a, ...) local b = 'b' locals() end v('a', 'x', 'y')"), 0);
  EXPECT_EQ(probe.text, "a=a b=b (*vararg)=x (*vararg)=y ");
  ASSERT_EQ(run("local function v(a, b, ...) locals() end v(1)"), 0);
  EXPECT_EQ(probe.text, "a=1 b=nil ");
  // Registers below the next frame that hold no variable are temporaries.
  ASSERT_EQ(run("local function t(x) return x .. (locals() or '') end t('s')"), 0);
  EXPECT_EQ(probe.text, "x=s (*temporary)=s ");

  ASSERT_EQ(run("return function(p, q, ...) local r end"), 0);
  EXPECT_STREQ(lua_getlocal(L, nullptr, 1), "p");
  EXPECT_STREQ(lua_getlocal(L, nullptr, 2), "q");
  EXPECT_EQ(lua_getlocal(L, nullptr, 3), nullptr);
  EXPECT_EQ(lua_getlocal(L, nullptr, 0), nullptr);
  lua_getglobal(L, "print");
  EXPECT_EQ(lua_getlocal(L, nullptr, 1), nullptr);
}

int setlocal_probe(lua_State* L) {
  lua_Debug ar;
  lua_getstack(L, 1, &ar);
  int top = lua_gettop(L);
  lua_pushstring(L, "changed");
  probe.text = lua_setlocal(L, &ar, 1);
  lua_pushstring(L, "vararg");
  const char* name = lua_setlocal(L, &ar, -1);
  probe.text += name ? name : "-";
  lua_pushstring(L, "nothing");
  EXPECT_EQ(lua_setlocal(L, &ar, 50), nullptr);
  EXPECT_EQ(lua_gettop(L), top);
  return 0;
}

TEST_F(Api, SetlocalAssignsAndPops) {
  lua_register(L, "setl", setlocal_probe);
  ASSERT_EQ(run("local function f(x, ...) setl() return x, ... end return f('orig', 'v')"), 0);
  EXPECT_EQ(probe.text, "x(*vararg)");
  EXPECT_STREQ(lua_tostring(L, -2), "changed");
  EXPECT_STREQ(lua_tostring(L, -1), "vararg");
}

TEST_F(Api, GetstackReportsHowManyLevelsExist) {
  lua_Debug ar;
  EXPECT_EQ(lua_getstack(L, 0, &ar), 0);
  EXPECT_EQ(ar.i_ci, 0);
  static int levels;
  auto count = [](lua_State* L) -> int {
    lua_Debug ar;
    lua_getstack(L, -10, &ar);
    levels = ar.i_ci;
    EXPECT_EQ(lua_getstack(L, levels, &ar), 0);
    EXPECT_EQ(lua_getstack(L, levels - 1, &ar), 1);
    return 0;
  };
  lua_register(L, "count", count);
  ASSERT_EQ(run("local function f() count() end f()"), 0);
  EXPECT_EQ(levels, 3);  // count, f, the main chunk
}

}  // namespace

// The auxiliary buffer at and across the end of its inline part, with the caller's values below its
// pieces and a value pushed above them before each addvalue.
TEST_F(Api, BufferAcrossItsInlinePart) {
  for (size_t n : {size_t(0), size_t(1), size_t(511), size_t(513), size_t(LUAL_BUFFERSIZE - 1),
                   size_t(LUAL_BUFFERSIZE), size_t(LUAL_BUFFERSIZE + 1), size_t(100000)}) {
    std::string chunk(n, 'q'), want;
    lua_settop(L, 0);
    lua_pushstring(L, "below");
    lua_pushnil(L);
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    for (int round = 0; round < 3; round++) {
      luaL_addlstring(&b, chunk.data(), chunk.size());
      lua_pushlstring(L, chunk.data(), chunk.size());
      luaL_addvalue(&b);
      lua_pushinteger(L, round);
      luaL_addvalue(&b);
      luaL_addchar(&b, '|');
      char* p = luaL_prepbuffer(&b);
      memcpy(p, "xy", 2);
      luaL_addsize(&b, 2);
      want += chunk + chunk + std::to_string(round) + "|xy";
    }
    luaL_pushresult(&b);
    size_t len;
    const char* s = lua_tolstring(L, -1, &len);
    EXPECT_EQ(std::string(s, len), want) << n;
    EXPECT_EQ(lua_gettop(L), 3) << n;
    EXPECT_TRUE(lua_isnil(L, 2));
    EXPECT_STREQ(lua_tostring(L, 1), "below");
  }
}

TEST_F(Api, GsubAndTracebackOfLongTexts) {
  for (size_t n : {size_t(511), size_t(LUAL_BUFFERSIZE - 1), size_t(LUAL_BUFFERSIZE + 1), size_t(50000)}) {
    std::string s(n, 'a'), want(n, 'a');
    s += "-x-";
    want += "-yy-";
    lua_settop(L, 0);
    lua_pushnil(L);
    EXPECT_EQ(std::string(luaL_gsub(L, s.c_str(), "x", "yy")), want) << n;
    EXPECT_EQ(lua_gettop(L), 2);
    luaL_traceback(L, L, s.c_str(), 0);
    std::string tb = lua_tostring(L, -1);
    EXPECT_EQ(tb.substr(0, s.size() + 17), s + "\nstack traceback:") << n;
  }
}
