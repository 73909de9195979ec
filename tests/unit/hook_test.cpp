// Hooks seen from C: lua_sethook and its readers, the dispatch table they change, the events a C hook
// receives, and C hooks that yield from a coroutine.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/state.h"
#include "lauxlib.h"
#include "lualib.h"
#include "vm/dispatch.h"
#include "vm/vm.h"

namespace {

class Hooks : public ::testing::Test {
 protected:
  lua_State* L = nullptr;

  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  int run(const char* src) {
    int status = luaL_loadbuffer(L, src, strlen(src), "=hooks");
    if (status == 0) status = lua_pcall(L, 0, LUA_MULTRET, 0);
    return status;
  }
  bool dispatch_is_plain() {
    DispatchArea* da = kx_dispatch(G(L));
    return memcmp(da->dynamic, da->plain, sizeof(da->plain)) == 0;
  }
};

std::vector<std::string> events;
int yields_left = 0;

void record(lua_State* L, lua_Debug* ar) {
  lua_getinfo(L, "Sl", ar);
  static const char* const names[] = {"call", "return", "line", "count"};
  events.push_back(std::string(names[ar->event]) + ":" + ar->what + ":" + std::to_string(ar->currentline));
}

void yield_on_count(lua_State* L, lua_Debug* ar) {
  if (ar->event == LUA_HOOKCOUNT && yields_left > 0) {
    yields_left--;
    lua_yield(L, 0);
  }
}

TEST_F(Hooks, SetAndReadBack) {
  EXPECT_EQ(lua_gethook(L), nullptr);
  EXPECT_EQ(lua_sethook(L, record, LUA_MASKLINE | LUA_MASKCOUNT | 0x30, 5), 1);
  EXPECT_EQ(lua_gethook(L), record);
  EXPECT_EQ(lua_gethookmask(L), LUA_MASKLINE | LUA_MASKCOUNT);  // only the event bits are kept
  EXPECT_EQ(lua_gethookcount(L), 5);
  EXPECT_FALSE(dispatch_is_plain());
  // A null function or an empty mask removes the hook and restores the plain dispatch.
  lua_sethook(L, record, 0, 5);
  EXPECT_EQ(lua_gethook(L), nullptr);
  EXPECT_EQ(lua_gethookmask(L), 0);
  EXPECT_TRUE(dispatch_is_plain());
  lua_sethook(L, nullptr, LUA_MASKCALL, 0);
  EXPECT_EQ(lua_gethook(L), nullptr);
  EXPECT_TRUE(dispatch_is_plain());
}

TEST_F(Hooks, EachMaskRedirectsItsEntriesOnly) {
  DispatchArea* da = kx_dispatch(G(L));
  lua_sethook(L, record, LUA_MASKCALL, 0);
  EXPECT_EQ(da->dynamic[BC_ADDVV], da->plain[BC_ADDVV]);
  EXPECT_EQ(da->dynamic[BC_FUNCF], da->hook_call);
  EXPECT_EQ(da->dynamic[BC__DISPATCH - 1], da->hook_call);
  lua_sethook(L, record, LUA_MASKRET, 0);
  EXPECT_EQ(da->dynamic[BC_FUNCF], da->plain[BC_FUNCF]);
  EXPECT_EQ(da->dynamic[BC_RET1], da->hook_ret);
  EXPECT_EQ(da->dynamic[BC_ADDVV], da->plain[BC_ADDVV]);
  lua_sethook(L, record, LUA_MASKRET | LUA_MASKLINE, 0);
  EXPECT_EQ(da->dynamic[BC_RET1], da->hook_ret);
  EXPECT_EQ(da->dynamic[BC_ADDVV], da->hook_ins);
  lua_sethook(L, nullptr, 0, 0);
  EXPECT_TRUE(dispatch_is_plain());
}

TEST_F(Hooks, EventsOfACHook) {
  ASSERT_EQ(run("function f(a)\n  return a\nend"), 0);
  events.clear();
  lua_sethook(L, record, LUA_MASKCALL | LUA_MASKRET | LUA_MASKLINE, 0);
  lua_getglobal(L, "f");
  lua_pushinteger(L, 1);
  lua_call(L, 1, 1);
  lua_sethook(L, nullptr, 0, 0);
  lua_pop(L, 1);
  // At its call the callee stands at its definition; the return is reported on its line.
  std::vector<std::string> want = {"call:Lua:1", "line:Lua:2", "return:Lua:2"};
  EXPECT_EQ(events, want);
}

TEST_F(Hooks, HooksLeaveErrnoAlone) {
  lua_register(L, "seterrno", [](lua_State* L1) {
    errno = static_cast<int>(lua_tointeger(L1, 1));
    return 0;
  });
  lua_register(L, "geterrno", [](lua_State* L1) {
    lua_pushinteger(L1, errno);
    return 1;
  });
  lua_sethook(L, [](lua_State*, lua_Debug*) { errno = EBADF; }, LUA_MASKCOUNT | LUA_MASKLINE, 1);
  ASSERT_EQ(run("seterrno(7)\nlocal a = 1\nlocal b = a + 1\nerrno_seen = geterrno()"), 0);
  lua_sethook(L, nullptr, 0, 0);
  lua_getglobal(L, "errno_seen");
  EXPECT_EQ(lua_tointeger(L, -1), 7);
  lua_pop(L, 1);
}

TEST_F(Hooks, CountHookYieldsFromACoroutine) {
  ASSERT_EQ(run("function work(n)\n"
                "  local s = 0\n"
                "  for i = 1, n do s = s + i * 2 end\n"
                "  local t = {}\n"
                "  for i = 1, 50 do t[#t + 1] = select('#', 1, 2, 3) end\n"
                "  return s + #t\n"
                "end"),
            0);
  lua_State* co = lua_newthread(L);
  lua_getglobal(co, "work");
  lua_pushinteger(co, 1000);
  yields_left = 1000000;
  lua_sethook(L, yield_on_count, LUA_MASKCOUNT, 7);
  int status, resumes = 0;
  int nargs = 1;
  while ((status = lua_resume(co, nargs)) == LUA_YIELD) {
    EXPECT_EQ(lua_gettop(co), 0);  // a hook yields no values
    resumes++;
    nargs = 0;
  }
  lua_sethook(L, nullptr, 0, 0);
  ASSERT_EQ(status, 0) << lua_tostring(co, -1);
  EXPECT_GT(resumes, 500);
  ASSERT_EQ(lua_gettop(co), 1);
  EXPECT_EQ(lua_tointeger(co, 1), 1000 * 1001 + 50);
  lua_pop(L, 1);
}

TEST_F(Hooks, YieldFromALineHookInsidePcall) {
  ASSERT_EQ(run("function guarded()\n"
                "  local ok, v = pcall(function()\n"
                "    local a = 1\n"
                "    local b = a + 1\n"
                "    return a + b\n"
                "  end)\n"
                "  return ok, v\n"
                "end"),
            0);
  lua_State* co = lua_newthread(L);
  lua_getglobal(co, "guarded");
  yields_left = 3;
  lua_sethook(L, [](lua_State* L1, lua_Debug* ar) {
    if (ar->event == LUA_HOOKLINE && yields_left > 0) {
      yields_left--;
      lua_yield(L1, 0);
    }
  }, LUA_MASKLINE, 0);
  int status, resumes = 0;
  while ((status = lua_resume(co, 0)) == LUA_YIELD) resumes++;
  lua_sethook(L, nullptr, 0, 0);
  ASSERT_EQ(status, 0) << lua_tostring(co, -1);
  EXPECT_EQ(resumes, 3);
  ASSERT_EQ(lua_gettop(co), 2);
  EXPECT_TRUE(lua_toboolean(co, 1));
  EXPECT_EQ(lua_tointeger(co, 2), 3);
  lua_pop(L, 1);
}

TEST_F(Hooks, CallHookAndMainThreadCannotYield) {
  ASSERT_EQ(run("function noop() end"), 0);
  lua_sethook(L, [](lua_State* L1, lua_Debug*) { lua_yield(L1, 0); }, LUA_MASKCALL, 0);
  // In a coroutine, a call hook is refused the yield; outside, any hook is.
  lua_State* co = lua_newthread(L);
  lua_getglobal(co, "noop");
  EXPECT_EQ(lua_resume(co, 0), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(co, -1), "hooks:1: attempt to yield across C-call boundary");
  EXPECT_EQ(run("noop()"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "hooks:0: attempt to yield across C-call boundary");
  lua_sethook(L, nullptr, 0, 0);
  // The failed hooks left no hook-running mark: a new hook runs.
  events.clear();
  lua_sethook(L, record, LUA_MASKCALL, 0);
  EXPECT_EQ(run("noop()"), 0);
  lua_sethook(L, nullptr, 0, 0);
  EXPECT_FALSE(events.empty());
}

}  // namespace
