// The collector through the C API: reachability, weak tables, finalizers, lua_close, pacing, and
// incremental steps interleaved with mutation.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/gc.h"
#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Instance {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  ~Instance() {
    if (L) lua_close(L);
  }
  void close() {
    lua_close(L);
    L = nullptr;
  }
};

void fullgc(lua_State* L) { lua_gc(L, LUA_GCCOLLECT, 0); }

// Builds a table with n garbage tables hanging off it and returns nothing on the stack.
void make_garbage(lua_State* L, int n) {
  lua_createtable(L, n, 0);
  for (int i = 1; i <= n; i++) {
    lua_createtable(L, 2, 2);
    lua_pushfstring(L, "garbage %d", i);
    lua_setfield(L, -2, "name");
    lua_rawseti(L, -2, i);
  }
  lua_pop(L, 1);
}

// A table {tag = tag} pushed on the stack.
void push_tagged(lua_State* L, const char* tag) {
  lua_createtable(L, 0, 1);
  lua_pushstring(L, tag);
  lua_setfield(L, -2, "tag");
}

std::string tag_of(lua_State* L, int idx) {
  lua_getfield(L, idx, "tag");
  std::string s = lua_isstring(L, -1) ? lua_tostring(L, -1) : "<none>";
  lua_pop(L, 1);
  return s;
}

int count_entries(lua_State* L, int idx) {
  int n = 0;
  lua_pushnil(L);
  while (lua_next(L, idx)) {
    n++;
    lua_pop(L, 1);
  }
  return n;
}

// A table with the given __mode, pushed.
void push_weak(lua_State* L, const char* mode) {
  lua_newtable(L);
  lua_newtable(L);
  lua_pushstring(L, mode);
  lua_setfield(L, -2, "__mode");
  lua_setmetatable(L, -2);
}

int upvalue_tag(lua_State* L) {
  lua_getfield(L, lua_upvalueindex(1), "tag");
  return 1;
}

// ---- Finalizer helpers ----------------------------------------------------------------------------

struct FinLog {
  int calls = 0;
  lua_State* thread = nullptr;
  uint8_t hook_mask = 0;
  uint32_t threshold = 0;
  std::string env_tag;
};

int fin_record(lua_State* L) {
  auto* log = static_cast<FinLog*>(lua_touserdata(L, lua_upvalueindex(1)));
  log->calls++;
  log->thread = L;
  log->hook_mask = G(L)->hook_mask;
  log->threshold = G(L)->gc.threshold;
  lua_getfenv(L, 1);
  log->env_tag = tag_of(L, -1);
  return 0;
}

int fin_raise(lua_State* L) { return luaL_error(L, "boom"); }

// Pushes a userdata whose metatable's __gc is f with the upvalue log; its environment is a table
// {tag = "env"}.
void push_finalized(lua_State* L, lua_CFunction f, void* log) {
  lua_newuserdata(L, 8);
  push_tagged(L, "env");
  lua_setfenv(L, -2);
  lua_newtable(L);
  lua_pushlightuserdata(L, log);
  lua_pushcclosure(L, f, 1);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
}

}  // namespace

TEST(Gc, ReachableObjectsSurviveAndGarbageIsFreed) {
  Instance in;
  lua_State* L = in.L;
  fullgc(L);
  size_t baseline = in.counter.live_bytes;
  push_tagged(L, "stack");
  push_tagged(L, "registry");
  lua_setfield(L, LUA_REGISTRYINDEX, "kept");
  push_tagged(L, "upvalue");
  lua_pushcclosure(L, upvalue_tag, 1);
  push_tagged(L, "holder");
  push_tagged(L, "metatable");
  lua_setmetatable(L, -2);
  lua_setfield(L, LUA_REGISTRYINDEX, "holder");
  make_garbage(L, 500);
  EXPECT_GT(in.counter.live_bytes, baseline + 500 * 32);
  fullgc(L);
  fullgc(L);
  EXPECT_LT(in.counter.live_bytes, baseline + 4096);
  EXPECT_EQ(G(L)->gc.total, in.counter.live_bytes);
  EXPECT_EQ(tag_of(L, 1), "stack");
  lua_getfield(L, LUA_REGISTRYINDEX, "kept");
  EXPECT_EQ(tag_of(L, -1), "registry");
  lua_pushvalue(L, 2);  // the closure returns its upvalue's tag
  lua_call(L, 0, 1);
  EXPECT_STREQ(lua_tostring(L, -1), "upvalue");
  lua_getfield(L, LUA_REGISTRYINDEX, "holder");
  ASSERT_TRUE(lua_getmetatable(L, -1));
  EXPECT_EQ(tag_of(L, -1), "metatable");
  in.close();
  EXPECT_EQ(in.counter.live_bytes, 0u);
  EXPECT_FALSE(in.counter.mismatch);
}

TEST(Gc, FullCollectionInMidCycleRunsAWholeNewCycle) {
  Instance in;
  lua_State* L = in.L;
  GlobalState* g = G(L);
  push_weak(L, "v");
  lua_setfield(L, LUA_REGISTRYINDEX, "weak");
  push_tagged(L, "victim");
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, "victim");
  lua_getfield(L, LUA_REGISTRYINDEX, "weak");
  lua_pushvalue(L, -2);
  lua_rawseti(L, -2, 1);
  lua_pop(L, 2);
  // Mark until the victim is black, then make it unreachable.
  g->gc.step_mul = 1;
  lua_getfield(L, LUA_REGISTRYINDEX, "victim");
  GcObj* victim = gcV(L->top - 1);
  lua_pop(L, 1);
  while (!(g->gc.phase == KX_GC_PROPAGATE && kx_gc_isblack(victim))) kx_gc_step(L);
  lua_pushnil(L);
  lua_setfield(L, LUA_REGISTRYINDEX, "victim");
  fullgc(L);
  lua_getfield(L, LUA_REGISTRYINDEX, "weak");
  lua_rawgeti(L, -1, 1);
  EXPECT_TRUE(lua_isnil(L, -1));
}

TEST(Gc, WeakTablesLoseUnreachableEntriesOnly) {
  Instance in;
  lua_State* L = in.L;
  push_weak(L, "k");   // 1
  push_weak(L, "v");   // 2
  push_weak(L, "kv");  // 3
  push_tagged(L, "strong");  // 4: reachable from the stack
  for (int t = 1; t <= 3; t++) {
    // An unreachable key, an unreachable value, and a reachable key and value.
    push_tagged(L, "dead key");
    lua_pushinteger(L, 1);
    lua_rawset(L, t);
    lua_pushinteger(L, 2);
    push_tagged(L, "dead value");
    lua_rawset(L, t);
    lua_pushvalue(L, 4);
    lua_pushvalue(L, 4);
    lua_rawset(L, t);
    // Strings are values: never collected from a weak table.
    lua_pushfstring(L, "string key %d", t);
    push_tagged(L, "held by a string key");
    lua_rawset(L, t);
    lua_pushinteger(L, 3);
    lua_pushfstring(L, "string value %d", t);
    lua_rawset(L, t);
  }
  fullgc(L);
  // A string freed wrongly would be made anew elsewhere: these take its place first.
  for (int i = 0; i < 8; i++) lua_pushfstring(L, "other string %d", i);
  lua_settop(L, 4);
  // Weak keys: the dead key's entry goes; the dead value is held strongly by its integer key.
  EXPECT_EQ(count_entries(L, 1), 4);
  lua_rawgeti(L, 1, 2);
  EXPECT_EQ(tag_of(L, -1), "dead value");
  lua_pop(L, 1);
  // Weak values: the dead value and the table under the string key go; the dead key is held
  // strongly.
  EXPECT_EQ(count_entries(L, 2), 3);
  lua_rawgeti(L, 2, 2);
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_pop(L, 1);
  // Both weak: only the reachable pair and the strings stay; a table held by a string key in a
  // table with weak values is not kept by its key.
  EXPECT_EQ(count_entries(L, 3), 2);
  lua_getfield(L, 1, "string key 1");
  EXPECT_EQ(tag_of(L, -1), "held by a string key");
  for (int t = 2; t <= 3; t++) {
    lua_rawgeti(L, t, 3);
    lua_pushfstring(L, "string value %d", t);
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
  }
  lua_pushvalue(L, 4);
  lua_rawget(L, 3);
  EXPECT_TRUE(lua_rawequal(L, -1, 4));
}

TEST(Gc, FinalizedUserdataLeavesWeakValuesAtOnceAndWeakKeysWhenFreed) {
  Instance in;
  lua_State* L = in.L;
  FinLog log;
  push_weak(L, "k");  // 1
  push_weak(L, "v");  // 2
  push_finalized(L, fin_record, &log);
  lua_pushvalue(L, -1);
  lua_pushboolean(L, 1);
  lua_rawset(L, 1);
  lua_rawseti(L, 2, 1);
  fullgc(L);
  EXPECT_EQ(log.calls, 1);
  lua_rawgeti(L, 2, 1);
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_pop(L, 1);
  EXPECT_EQ(count_entries(L, 1), 1);
  fullgc(L);
  EXPECT_EQ(count_entries(L, 1), 0);
  EXPECT_EQ(log.calls, 1);
}

TEST(Gc, FinalizerRunsOnceOnTheFinalizerThreadWithStepsAndHooksHeldOff) {
  Instance in;
  lua_State* L = in.L;
  FinLog log;
  push_finalized(L, fin_record, &log);
  lua_pop(L, 1);
  fullgc(L);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.thread, G(L)->finalizer_thread);
  EXPECT_EQ(log.hook_mask & (KX_HOOK_GC | KX_HOOK_ACTIVE), KX_HOOK_GC | KX_HOOK_ACTIVE);
  EXPECT_EQ(log.threshold, KX_GC_NEVER);
  EXPECT_EQ(log.env_tag, "env");  // what the userdata references lived until it ran
  EXPECT_EQ(G(L)->hook_mask, 0);  // both restored afterwards
  EXPECT_NE(G(L)->gc.threshold, KX_GC_NEVER);
  for (int i = 0; i < 3; i++) fullgc(L);
  EXPECT_EQ(log.calls, 1);
  in.close();
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(in.counter.live_bytes, 0u);
}

TEST(Gc, FinalizerErrorIsReportedAndTheProgramGoesOn) {
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  FinLog log;
  push_finalized(L, fin_raise, nullptr);
  push_finalized(L, fin_record, &log);
  lua_pop(L, 2);
  testing::internal::CaptureStderr();
  fullgc(L);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "ERROR in finalizer: boom\n");
  EXPECT_EQ(log.calls, 1);
  lua_pushstring(L, "still running");
  EXPECT_STREQ(lua_tostring(L, -1), "still running");
  EXPECT_EQ(G(L)->finalizer_thread->top, G(L)->finalizer_thread->stack + 1);

  // A failing handler is reported in its turn; a missing one switches the event off.
  luaL_findtable(L, LUA_REGISTRYINDEX, "_VMEVENTS", 4);
  lua_pushcfunction(L, fin_raise);
  lua_rawseti(L, -2, KX_VMEVENT_KEY_ERRFIN);
  push_finalized(L, fin_raise, nullptr);
  lua_pop(L, 1);
  testing::internal::CaptureStderr();
  fullgc(L);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "VM handler failed: boom\n");
  lua_pushnil(L);
  lua_rawseti(L, -2, KX_VMEVENT_KEY_ERRFIN);
  push_finalized(L, fin_raise, nullptr);
  lua_pop(L, 1);
  testing::internal::CaptureStderr();
  fullgc(L);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(G(L)->event_mask & KX_EVENT_ERRFIN, 0);
  lua_close(L);
}

namespace {
// Each run leaves a new userdata with the same finalizer behind.
int fin_respawn(lua_State* L) {
  auto* calls = static_cast<int*>(lua_touserdata(L, lua_upvalueindex(1)));
  ++*calls;
  lua_newuserdata(L, 4);
  lua_getmetatable(L, 1);
  lua_setmetatable(L, -2);
  return 0;
}
}  // namespace

TEST(Gc, CloseRunsPendingFinalizersInAtMostTenPasses) {
  Instance in;
  lua_State* L = in.L;
  FinLog log;
  push_finalized(L, fin_record, &log);
  lua_setfield(L, LUA_REGISTRYINDEX, "kept");
  int respawns = 0;
  lua_newuserdata(L, 4);
  lua_newtable(L);
  lua_pushlightuserdata(L, &respawns);
  lua_pushcclosure(L, fin_respawn, 1);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  push_finalized(L, fin_raise, nullptr);  // an error does not stop closing
  in.close();
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(respawns, 10);
  EXPECT_EQ(in.counter.live_bytes, 0u);
  EXPECT_EQ(in.counter.live_blocks, 0u);
  EXPECT_FALSE(in.counter.mismatch);
}

namespace {
int fin_collect(lua_State* L) {
  ++*static_cast<int*>(lua_touserdata(L, lua_upvalueindex(1)));
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}
}  // namespace

TEST(Gc, FinalizersMayCollectEvenWhileClosing) {
  Instance in;
  lua_State* L = in.L;
  GlobalState* g = G(L);
  int calls = 0;
  lua_newtable(L);
  lua_pushlightuserdata(L, &calls);
  lua_pushcclosure(L, fin_collect, 1);
  lua_setfield(L, -2, "__gc");
  std::set<GcObj*> udata;
  lua_newtable(L);
  for (int i = 1; i <= 40; i++) {
    lua_newuserdata(L, 4);
    udata.insert(gcV(L->top - 1));
    lua_pushvalue(L, 1);
    lua_setmetatable(L, -2);
    if (i % 2) lua_rawseti(L, 2, i);  // half of them stay reachable until closing
    else lua_pop(L, 1);
  }
  make_garbage(L, 100);
  fullgc(L);
  EXPECT_EQ(calls, 20);
  // Close while the object sweep stands on a userdata that closing moves to the finalizer list.
  g->gc.step_mul = 1;
  make_garbage(L, 100);
  while (!(g->gc.phase == KX_GC_SWEEP && udata.count(reinterpret_cast<GcObj*>(g->gc.sweep.get())))) kx_gc_step(L);
  in.close();
  EXPECT_EQ(calls, 40);
  EXPECT_EQ(in.counter.live_bytes, 0u);
}

TEST(Gc, BarriersKeepStoresIntoBlackObjectsAlive) {
  Instance in;
  lua_State* L = in.L;
  GlobalState* g = G(L);
  g->gc.step_mul = 1;  // one object per step
  push_weak(L, "v");
  lua_setfield(L, LUA_REGISTRYINDEX, "seen");
  lua_newtable(L);        // a table
  lua_newuserdata(L, 4);  // a userdata
  push_tagged(L, "old");
  lua_pushcclosure(L, upvalue_tag, 1);  // a C closure
  GcObj* objs[3] = {gcV(L->base), gcV(L->base + 1), gcV(L->base + 2)};
  lua_setfield(L, LUA_REGISTRYINDEX, "f");
  lua_setfield(L, LUA_REGISTRYINDEX, "u");
  lua_setfield(L, LUA_REGISTRYINDEX, "t");
  auto all_black = [&] {
    for (GcObj* o : objs)
      if (!kx_gc_isblack(o)) return false;
    return true;
  };
  while (!(g->gc.phase == KX_GC_PROPAGATE && all_black())) kx_gc_step(L);
  g->gc.threshold = KX_GC_NEVER;  // no step until every store is done
  // New white objects stored only into the black ones (and into a weak table, which shows
  // whether the collector found them).
  const char* tags[4] = {"table value", "metatable", "environment", "new upvalue"};
  lua_getfield(L, LUA_REGISTRYINDEX, "seen");
  for (int i = 0; i < 4; i++) {
    push_tagged(L, tags[i]);
    lua_pushvalue(L, -1);
    lua_rawseti(L, 1, i + 1);
  }
  lua_getfield(L, LUA_REGISTRYINDEX, "f");
  lua_insert(L, -2);
  lua_setupvalue(L, -2, 1);
  lua_pop(L, 1);
  lua_getfield(L, LUA_REGISTRYINDEX, "u");
  lua_insert(L, -2);
  lua_setfenv(L, -2);
  lua_insert(L, -2);
  lua_setmetatable(L, -2);
  lua_pop(L, 1);
  lua_getfield(L, LUA_REGISTRYINDEX, "t");
  lua_insert(L, -2);
  lua_rawseti(L, -2, 1);
  lua_settop(L, 1);
  // The table went back to grey; the userdata and the closure stayed black and marked the values.
  EXPECT_EQ(g->gc.phase, KX_GC_PROPAGATE);
  EXPECT_TRUE(kx_gc_isgrey(objs[0]) && kx_gc_isblack(objs[1]) && kx_gc_isblack(objs[2]));
  while (kx_gc_step(L) != 1) {}
  for (int i = 0; i < 4; i++) {
    lua_rawgeti(L, 1, i + 1);
    EXPECT_EQ(tag_of(L, -1), tags[i]);
    lua_pop(L, 1);
  }
  lua_getfield(L, LUA_REGISTRYINDEX, "f");
  lua_call(L, 0, 1);
  EXPECT_STREQ(lua_tostring(L, -1), "new upvalue");
}

namespace {
// Collects while it runs, then reports whether the weak table at upvalue 1 still holds it.
int collect_while_running(lua_State* L) {
  fullgc(L);
  lua_rawgeti(L, lua_upvalueindex(1), 1);
  lua_pushboolean(L, lua_isfunction(L, -1));
  return 1;
}
}  // namespace

TEST(Gc, RunningFunctionsAndThreadEnvironmentsStayAlive) {
  Instance in;
  lua_State* L = in.L;
  push_weak(L, "v");
  // A function reachable only from its own frame while it runs.
  lua_pushvalue(L, 1);
  lua_pushcclosure(L, collect_while_running, 1);
  lua_pushvalue(L, -1);
  lua_rawseti(L, 1, 1);
  lua_call(L, 0, 1);
  EXPECT_TRUE(lua_toboolean(L, -1));
  lua_pop(L, 1);
  // A thread's own globals table.
  lua_State* co = lua_newthread(L);
  push_tagged(L, "thread globals");
  lua_pushvalue(L, -1);
  lua_rawseti(L, 1, 2);
  lua_setfenv(L, -2);
  fullgc(L);
  lua_rawgeti(L, 1, 2);
  EXPECT_EQ(tag_of(L, -1), "thread globals");
  EXPECT_EQ(obj2gco(co->env), gcV(L->top - 1));
}

TEST(Gc, OpenUpvaluesOfUntraversedThreadsKeepTheirValues) {
  lua_State* L = luaL_newstate();
  GlobalState* g = G(L);
  luaL_openlibs(L);
  fullgc(L);
  lua_gc(L, LUA_GCSTOP, 0);
  // The coroutine is held only weakly: the collector never traverses it.
  ASSERT_EQ(luaL_dostring(L, R"(
    local W = setmetatable({}, {__mode = "v"})
    local weakB = setmetatable({}, {__mode = "v"})
    local holder = {}
    local co = coroutine.create(function()
      local v = {"A"}
      holder.f = function() return v[1] end
      coroutine.yield()
      v = {"B"}
      weakB[1] = v
      coroutine.yield()
    end)
    coroutine.resume(co)
    W[1] = co
    return holder, W, weakB)"), 0) << lua_tostring(L, -1);
  lua_getfield(L, 1, "f");
  GcObj* f = gcV(L->top - 1);
  lua_pop(L, 1);
  // Mark until the closure (and so its open upvalue) is done, then replace the upvalue's value
  // through the coroutine's stack, with no step in between.
  g->gc.step_mul = 1;
  while (!(g->gc.phase == KX_GC_PROPAGATE && kx_gc_isblack(f))) kx_gc_step(L);
  g->gc.threshold = KX_GC_NEVER;
  lua_rawgeti(L, 2, 1);
  ASSERT_EQ(lua_resume(lua_tothread(L, -1), 0), LUA_YIELD);
  lua_settop(L, 3);
  while (kx_gc_step(L) != 1) {}
  lua_rawgeti(L, 3, 1);
  EXPECT_TRUE(lua_istable(L, -1));
  lua_getfield(L, 1, "f");
  lua_call(L, 0, 1);
  EXPECT_STREQ(lua_tostring(L, -1), "B");
  lua_close(L);
}

namespace {
// The usable slots of the running thread's stack.
int stack_room(lua_State* L) {
  lua_pushinteger(L, L->stack_limit - L->stack);
  return 1;
}
}  // namespace

TEST(Gc, ShrinkingKeepsTheWindowOfRunningLuaFrames) {
  Instance in;
  lua_State* L = in.L;
  luaL_openlibs(L);
  lua_register(L, "stack_room", stack_room);
  // A deep recursion grows the stack; then a function with a 180-slot frame calls out from its
  // first registers while collections shrink the stack.
  std::string locals = "local a1";
  for (int i = 2; i <= 180; i++) locals += ", a" + std::to_string(i);
  std::string code = "local function grow(n) if n > 0 then return grow(n - 1) + 1 end return 0 end\n"
                     "grow(20000)\n"
                     "local function wide()\n"
                     "  for i = 1, 12 do collectgarbage() end\n"
                     "  local room = stack_room()\n" +
                     locals + " = 1\n"
                     "  return room\n"
                     "end\n"
                     "return wide()";
  ASSERT_EQ(luaL_dostring(L, code.c_str()), 0) << lua_tostring(L, -1);
  int room = static_cast<int>(lua_tointeger(L, -1));
  EXPECT_GT(room, 180);
  EXPECT_LT(room, 1000);  // it did shrink
}

// The collector's script tests again, on an instance whose objects all come from the C library's
// allocator, where the sanitizer build watches every access.
TEST(Gc, ScriptsRunWithEveryObjectVisibleToTheSanitizer) {
  std::string dir = __FILE__;
  dir = dir.substr(0, dir.rfind('/')) + "/../scripts/gc/";
  for (const char* name : {"weak.lua", "finalizers.lua", "collectgarbage.lua", "frames.lua"}) {
    Instance in;
    luaL_openlibs(in.L);
    EXPECT_EQ(luaL_dofile(in.L, (dir + name).c_str()), 0) << lua_tostring(in.L, -1);
    in.close();
    EXPECT_EQ(in.counter.live_bytes, 0u) << name;
  }
}

TEST(Gc, ThreadStacksAreClearedAboveTopAndShrunk) {
  Instance in;
  lua_State* L = in.L;
  lua_State* co = lua_newthread(L);
  for (int i = 0; i < 1000; i++) push_tagged(co, "slot");
  uint32_t grown = co->stack_size;
  lua_settop(co, 2);
  EXPECT_TRUE(tv_istab(co->top));  // popped, not yet cleared
  fullgc(L);
  EXPECT_LT(co->stack_size, grown);
  EXPECT_TRUE(tv_isnil(co->top));
  EXPECT_EQ(tag_of(co, 1), "slot");
  EXPECT_EQ(tag_of(co, 2), "slot");
}

TEST(Gc, LuaGcOptions) {
  Instance in;
  lua_State* L = in.L;
  GlobalState* g = G(L);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 1);
  EXPECT_EQ(lua_gc(L, LUA_GCSTOP, 0), 0);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 0);
  uint32_t before = g->gc.total;
  make_garbage(L, 3000);
  EXPECT_EQ(g->gc.phase, KX_GC_PAUSE);  // no step ran while stopped
  EXPECT_GT(g->gc.total, before + 3000 * 32);
  EXPECT_EQ(lua_gc(L, LUA_GCRESTART, 0), 0);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 1);
  EXPECT_EQ(g->gc.threshold, g->gc.total);
  EXPECT_EQ(lua_gc(L, LUA_GCCOUNT, 0), static_cast<int>(g->gc.total >> 10));
  EXPECT_EQ(lua_gc(L, LUA_GCCOUNTB, 0), static_cast<int>(g->gc.total & 1023));
  EXPECT_EQ(lua_gc(L, LUA_GCCOLLECT, 0), 0);
  EXPECT_EQ(g->gc.threshold, g->gc.estimate / 100 * 200);
  // The interning table grew for the garbage's strings; it halves once per cycle down to 512 slots.
  EXPECT_EQ(g->intern.mask, 2047u);
  for (int i = 0; i < 3; i++) fullgc(L);
  EXPECT_EQ(g->intern.mask, 511u);
  EXPECT_LT(g->gc.total, before + 4096);
  EXPECT_EQ(lua_gc(L, LUA_GCSETPAUSE, 150), 200);
  EXPECT_EQ(lua_gc(L, LUA_GCSETPAUSE, 200), 150);
  EXPECT_EQ(lua_gc(L, LUA_GCSETSTEPMUL, 400), 200);
  EXPECT_EQ(lua_gc(L, LUA_GCSETSTEPMUL, 200), 400);
  EXPECT_EQ(lua_gc(L, 8, 0), -1);
  // A byte count that overflows 32 bits as data × 1024 still asks for a whole cycle.
  EXPECT_EQ(lua_gc(L, LUA_GCSTEP, 0x400000), 1);
  EXPECT_EQ(lua_gc(L, LUA_GCSTEP, INT_MAX), 1);
  // A negative count asks for nothing and leaves the collector running.
  EXPECT_EQ(lua_gc(L, LUA_GCSTEP, -1), 0);
  EXPECT_EQ(lua_gc(L, LUA_GCISRUNNING, 0), 1);
  // Steps of the default size finish a cycle eventually.
  int steps = 0;
  while (lua_gc(L, LUA_GCSTEP, 0) == 0) ASSERT_LT(++steps, 100000);
  // Extreme settings saturate instead of wrapping.
  lua_gc(L, LUA_GCSETPAUSE, INT_MAX);
  lua_gc(L, LUA_GCRESTART, -1);
  EXPECT_EQ(g->gc.threshold, KX_GC_NEVER - 1);
  lua_gc(L, LUA_GCSETPAUSE, 200);
  lua_gc(L, LUA_GCSETSTEPMUL, -1);
  make_garbage(L, 100);
  EXPECT_EQ(lua_gc(L, LUA_GCSTEP, 0), 1);
}

TEST(Gc, MemoryStaysBoundedWhileAllocatingInALoop) {
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  uint32_t start = G(L)->gc.total, peak = 0;
  for (int i = 0; i < 300000; i++) {
    lua_createtable(L, 2, 1);
    lua_pushinteger(L, i);
    lua_rawseti(L, -2, 1);
    lua_pop(L, 1);
    if (G(L)->gc.total > peak) peak = G(L)->gc.total;
  }
  EXPECT_LT(peak, 4 * start + 64 * 1024);
  lua_close(L);
}

// ---- Randomised stress: incremental steps interleaved with mutation -------------------------------------

namespace {

constexpr int kSlots = 48, kKids = 4, kThreads = 6, kAnchors = 4;

// The expected shape of the object graph, checked against what the engine holds. Every node and
// every userdata environment is also entered in the weak-valued table W (nodes under their id,
// environments under minus the userdata's number): a live object must never leave it.
struct Model {
  struct Node {
    std::map<int, int> kids;  // child index -> node id
    int mt = 0, uv = 0, ud = 0;
  };
  std::vector<Node> nodes{1};  // ids start at 1
  int slots[kSlots] = {};
  int threads[kThreads] = {};  // node id held in slot 2 of each thread's stack
  int anchors[kAnchors] = {};  // node ids held only in the running C function's frame
  std::vector<int> finalized{0};  // per userdata: how often its finalizer ran; [0] counts faults
};

// Whether the value on top is what W holds under key.
bool in_weak_registry(lua_State* L, int key) {
  lua_getfield(L, LUA_REGISTRYINDEX, "W");
  lua_rawgeti(L, -1, key);
  bool ok = lua_rawequal(L, -1, -3);
  lua_pop(L, 2);
  return ok;
}

int fin_count(lua_State* L) {
  auto* m = static_cast<Model*>(lua_touserdata(L, lua_upvalueindex(1)));
  int seq = *static_cast<int*>(lua_touserdata(L, 1));
  lua_getfenv(L, 1);
  if (!in_weak_registry(L, -seq)) m->finalized[0]++;
  m->finalized[seq]++;
  return 0;
}

void get_slot(lua_State* L, const char* table, int i) {
  lua_getfield(L, LUA_REGISTRYINDEX, table);
  lua_rawgeti(L, -1, i);
  lua_remove(L, -2);
}

void set_slot(lua_State* L, const char* table, int i) {  // pops the value
  lua_getfield(L, LUA_REGISTRYINDEX, table);
  lua_insert(L, -2);
  lua_rawseti(L, -2, i);
  lua_pop(L, 1);
}

bool check_udata(lua_State* L, int seq) {
  auto* p = static_cast<int*>(lua_touserdata(L, -1));
  if (p == nullptr || *p != seq) return false;
  lua_getfenv(L, -1);
  bool ok = in_weak_registry(L, -seq);
  lua_pop(L, 1);
  return ok;
}

// Checks the table on top against node id (and everything it references).
bool check_node(lua_State* L, const Model& m, int id, std::set<int>& seen) {
  if (!lua_istable(L, -1) || !in_weak_registry(L, id)) return false;
  if (!seen.insert(id).second) return true;
  const Model::Node& n = m.nodes[id];
  bool ok = true;
  for (int j = 1; j <= kKids && ok; j++) {
    lua_rawgeti(L, -1, j);
    auto it = n.kids.find(j);
    ok = it == n.kids.end() ? lua_isnil(L, -1) : check_node(L, m, it->second, seen);
    lua_pop(L, 1);
  }
  if (ok && n.mt) {
    ok = lua_getmetatable(L, -1) && check_node(L, m, n.mt, seen);
    if (ok) lua_pop(L, 1);
  }
  if (ok && n.uv) {
    lua_getfield(L, -1, "f");
    ok = lua_getupvalue(L, -1, 1) && check_node(L, m, n.uv, seen);
    lua_pop(L, 2);
  }
  if (ok && n.ud) {
    lua_getfield(L, -1, "u");
    ok = check_udata(L, n.ud);
    lua_pop(L, 1);
  }
  return ok;
}

// Checks a slot's value (pushed) against a node id or nil; pops it.
bool check_value(lua_State* L, const Model& m, int id, std::set<int>& seen) {
  bool ok = id ? check_node(L, m, id, seen) : lua_isnil(L, -1);
  lua_pop(L, 1);
  return ok;
}

bool check_all(lua_State* L, const Model& m) {
  std::set<int> seen;
  bool ok = true;
  for (int i = 0; i < kSlots && ok; i++) {
    get_slot(L, "R", i + 1);
    ok = check_value(L, m, m.slots[i], seen);
  }
  for (int i = 0; i < kThreads && ok; i++) {
    get_slot(L, "T", i + 1);
    lua_State* co = lua_tothread(L, -1);
    if (m.threads[i]) {
      ok = co && lua_gettop(co) == 3;
      if (ok) {
        lua_pushvalue(co, 2);
        ok = check_value(co, m, m.threads[i], seen);
      }
    }
    lua_pop(L, 1);
  }
  for (int a = 0; a < kAnchors && ok; a++) {
    lua_pushvalue(L, 2 + a);
    ok = check_value(L, m, m.anchors[a], seen);
  }
  return ok;
}

struct Stress {
  Model m;
  std::mt19937 rng;
  int pick(int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }

  // Pushes a new node table {id = id}, entered in W.
  int new_node(lua_State* L) {
    int id = static_cast<int>(m.nodes.size());
    m.nodes.emplace_back();
    lua_createtable(L, kKids, 2);
    lua_pushinteger(L, id);
    lua_setfield(L, -2, "id");
    lua_getfield(L, LUA_REGISTRYINDEX, "W");
    lua_pushvalue(L, -2);
    lua_rawseti(L, -2, id);
    lua_pop(L, 1);
    return id;
  }

  // Gives the userdata on top a new environment, entered in W.
  void new_env(lua_State* L, int seq) {
    lua_newtable(L);
    lua_getfield(L, LUA_REGISTRYINDEX, "W");
    lua_pushvalue(L, -2);
    lua_rawseti(L, -2, -seq);
    lua_pop(L, 1);
    lua_setfenv(L, -2);
  }

  void new_udata(lua_State* L, int i) {
    int seq = static_cast<int>(m.finalized.size());
    m.finalized.push_back(0);
    *static_cast<int*>(lua_newuserdata(L, sizeof(int))) = seq;
    lua_getfield(L, LUA_REGISTRYINDEX, "finmt");
    lua_setmetatable(L, -2);
    new_env(L, seq);
    if (m.slots[i] && pick(2)) {
      get_slot(L, "R", i + 1);
      lua_insert(L, -2);
      lua_setfield(L, -2, "u");
      m.nodes[m.slots[i]].ud = seq;
    }
    lua_pop(L, 1);
  }

  // A node goes onto slot 2 of a thread's stack: a new thread, or one that may be marked already.
  void park(lua_State* L, int k) {
    int t = pick(kThreads);
    get_slot(L, "T", t + 1);
    lua_State* co = lua_tothread(L, -1);
    if (co == nullptr || pick(3) == 0) {
      lua_pop(L, 1);
      co = lua_newthread(L);
      lua_pushboolean(co, 1);
      lua_pushnil(co);
      lua_pushboolean(co, 0);
    }
    int pad = pick(200);  // the stack grows, and the collector may shrink it again
    for (int p = 0; p < pad; p++) lua_pushinteger(co, p);
    lua_settop(co, 3);
    get_slot(L, "R", k + 1);
    lua_xmove(L, co, 1);
    lua_replace(co, 2);
    m.threads[t] = m.slots[k];
    set_slot(L, "T", t + 1);
  }

  void op(lua_State* L) {
    int i = pick(kSlots), k = pick(kSlots);
    Model::Node* n = m.slots[i] ? &m.nodes[m.slots[i]] : nullptr;
    switch (pick(13)) {
      case 0:
      case 1:
        m.slots[i] = new_node(L);
        set_slot(L, "R", i + 1);
        break;
      case 2:
        m.slots[i] = 0;
        lua_pushnil(L);
        set_slot(L, "R", i + 1);
        break;
      case 3:
      case 4: {  // link a child, or cut it
        if (!n) break;
        int j = 1 + pick(kKids);
        get_slot(L, "R", i + 1);
        get_slot(L, "R", k + 1);
        if (m.slots[k]) n->kids[j] = m.slots[k];
        else n->kids.erase(j);
        lua_rawseti(L, -2, j);
        lua_pop(L, 1);
        break;
      }
      case 5:
        if (!n || !m.slots[k]) break;
        get_slot(L, "R", i + 1);
        get_slot(L, "R", k + 1);
        lua_setmetatable(L, -2);
        n->mt = m.slots[k];
        lua_pop(L, 1);
        break;
      case 6:  // a closure over a node, or a new upvalue for an existing one
        if (!n || !m.slots[k]) break;
        get_slot(L, "R", i + 1);
        if (n->uv) {
          lua_getfield(L, -1, "f");
          get_slot(L, "R", k + 1);
          lua_setupvalue(L, -2, 1);
          lua_pop(L, 1);
        } else {
          get_slot(L, "R", k + 1);
          lua_pushcclosure(L, upvalue_tag, 1);
          lua_setfield(L, -2, "f");
        }
        n->uv = m.slots[k];
        lua_pop(L, 1);
        break;
      case 7:  // a userdata with a finalizer, kept by a node or dropped at once
        new_udata(L, i);
        break;
      case 8:
        if (!n || !n->ud) break;
        get_slot(L, "R", i + 1);
        lua_getfield(L, -1, "u");
        new_env(L, n->ud);
        lua_pop(L, 2);
        break;
      case 9:
        park(L, k);
        break;
      case 10: {  // a node held only by the running frame
        int a = pick(kAnchors);
        m.anchors[a] = new_node(L);
        lua_replace(L, 2 + a);
        break;
      }
      default:  // churn of strings: keys made and dropped
        if (!n) break;
        get_slot(L, "R", i + 1);
        lua_pushfstring(L, "k%d", pick(300));
        lua_pushinteger(L, i);
        lua_settable(L, -3);
        lua_pop(L, 1);
        break;
    }
  }
};

struct StressRun {
  Stress* s;
  int ops;
  bool ok = true;
};

// Runs inside a protected call, so that frames lie below everything the collector walks.
int stress_body(lua_State* L) {
  auto* run = static_cast<StressRun*>(lua_touserdata(L, 1));
  lua_settop(L, 1 + kAnchors);
  for (int n = 0; n < run->ops && run->ok; n++) {
    run->s->op(L);
    if (run->s->pick(4) == 0) lua_gc(L, LUA_GCSTEP, 0);
    if (n % 997 == 0) run->ok = check_all(L, run->s->m);
  }
  run->ok = run->ok && check_all(L, run->s->m);
  return 0;
}

}  // namespace

TEST(Gc, RandomisedMutationUnderSmallStepsNeverFreesALiveObject) {
  for (uint32_t seed = 1; seed <= 4; seed++) {
    Instance in;
    lua_State* L = in.L;
    Stress s;
    s.rng.seed(seed);
    lua_gc(L, LUA_GCSETSTEPMUL, seed == 4 ? 1 : 20);
    lua_gc(L, LUA_GCSETPAUSE, 100);
    lua_createtable(L, kSlots, 0);
    lua_setfield(L, LUA_REGISTRYINDEX, "R");
    lua_createtable(L, kThreads, 0);
    lua_setfield(L, LUA_REGISTRYINDEX, "T");
    push_weak(L, "v");
    lua_setfield(L, LUA_REGISTRYINDEX, "W");
    lua_newtable(L);
    lua_pushlightuserdata(L, &s.m);
    lua_pushcclosure(L, fin_count, 1);
    lua_setfield(L, -2, "__gc");
    lua_setfield(L, LUA_REGISTRYINDEX, "finmt");
    StressRun run{&s, 20000};
    ASSERT_EQ(lua_cpcall(L, stress_body, &run), 0) << lua_tostring(L, -1);
    EXPECT_TRUE(run.ok) << "seed " << seed;
    EXPECT_EQ(G(L)->gc.total, in.counter.live_bytes);
    in.close();
    EXPECT_EQ(in.counter.live_bytes, 0u);
    EXPECT_EQ(s.m.finalized[0], 0) << "finalizers that found their environment collected";
    for (size_t i = 1; i < s.m.finalized.size(); i++) EXPECT_EQ(s.m.finalized[i], 1) << "userdata " << i;
  }
}
