// Creating and closing instances, threads and stack growth.
#include <gtest/gtest.h>

#include "core/state.h"
#include "counting_alloc.h"
#include "lauxlib.h"

TEST(State, CloseFreesEveryByte) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  ASSERT_NE(L, nullptr);
  EXPECT_GT(counter.live_bytes, 0u);
  EXPECT_EQ(G(L)->gc.total, counter.live_bytes);
  lua_newthread(L);
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_EQ(counter.live_blocks, 0u);
  EXPECT_FALSE(counter.mismatch);
}

TEST(State, FailedCreationLeavesNothing) {
  // Fail each allocation of the opening step in turn: creation returns none and frees everything.
  for (size_t k = 1; k < 200; k++) {
    CountingAlloc counter;
    counter.fail_at = k;
    lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
    if (L) {
      lua_close(L);
      EXPECT_GT(k, 10u);
      EXPECT_EQ(counter.live_bytes, 0u);
      break;
    }
    EXPECT_EQ(counter.live_bytes, 0u) << "failing allocation " << k;
    EXPECT_FALSE(counter.mismatch);
  }
}

TEST(State, FreshStackLayout) {
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->stack_size, 45u);
  EXPECT_EQ(L->stack_limit, L->stack + 39);
  EXPECT_EQ(L->base, L->stack + 1);
  EXPECT_EQ(L->top, L->stack + 1);
  EXPECT_TRUE(tv_isthread(L->stack));
  EXPECT_EQ(threadV(L->stack), L);
  EXPECT_EQ(L->status, LUA_OK);
  GlobalState* g = G(L);
  EXPECT_EQ(g->main_thread, L);
  EXPECT_NE(g->finalizer_thread, nullptr);
  EXPECT_EQ(g->finalizer_thread->env, L->env);
  EXPECT_EQ(g->gc.current_white, 0x21);
  EXPECT_EQ(L->gc_marks, 0x61);
  EXPECT_TRUE(tv_istab(&g->registry));
  EXPECT_EQ(L->env->hmask, 63u);
  lua_close(L);
}

TEST(State, NewThreadSharesGlobalsAndIsPushed) {
  lua_State* L = luaL_newstate();
  lua_State* L1 = lua_newthread(L);
  EXPECT_EQ(L1->env, L->env);
  EXPECT_EQ(lua_gettop(L), 1);
  EXPECT_EQ(lua_type(L, 1), LUA_TTHREAD);
  EXPECT_EQ(L1->stack_size, 45u);
  // Closing through a coroutine closes the whole instance.
  lua_close(L1);
}

TEST(State, StackGrowthDoublesAndKeepsContents) {
  lua_State* L = luaL_newstate();
  for (int i = 0; i < 30; i++) lua_pushstring(L, "x");
  Value* oldstack = L->stack;
  kx_state_growstack(L, 1);
  EXPECT_EQ(L->stack_size, 2 * 45u + 6);
  EXPECT_EQ(lua_gettop(L), 30);
  EXPECT_TRUE(tv_isstr(L->top - 1));
  EXPECT_TRUE(tv_isnil(L->top));
  (void)oldstack;
  kx_state_growstack(L, 1000);
  EXPECT_EQ(L->stack_size, 96u + 1000 + 6);
  lua_close(L);
}

TEST(State, ShrinkHalvesAnOversizedStack) {
  lua_State* L = luaL_newstate();
  kx_state_growstack(L, 400);
  uint32_t size = L->stack_size;
  kx_state_shrinkstack(L, 10);
  EXPECT_EQ(L->stack_size, size / 2 + 6);
  // A stack that is a quarter used or small stays.
  kx_state_shrinkstack(L, L->stack_size / 4 + 1);
  EXPECT_EQ(L->stack_size, size / 2 + 6);
  lua_close(L);
}

TEST(State, PushBeyondTheLimitOverflows) {
  lua_State* L = luaL_newstate();
  // A request beyond the hard limit raises "stack overflow"; with no catch point the panic
  // function runs and the process exits with status 1.
  EXPECT_EXIT(
      {
        kx_state_growstack(L, 70000);
      },
      ::testing::ExitedWithCode(1), "PANIC: unprotected error in call to Lua API \\(stack overflow\\)");
  lua_close(L);
}
