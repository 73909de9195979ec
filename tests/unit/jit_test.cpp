// The compiler controls through the C API (kestrix_setmode), the architecture name of each build, and
// the layout and memory of string buffer objects.
#include <gtest/gtest.h>

#include <string>

#include "core/buf.h"
#include "core/func.h"
#include "core/jit.h"
#include "core/state.h"
#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"
#include "vm/vm.h"

namespace {

struct Jit : ::testing::Test {
  lua_State* L = luaL_newstate();
  Jit() { luaL_openlibs(L); }
  ~Jit() override { lua_close(L); }

  std::string run(const char* src) {
    if (luaL_loadstring(L, src) || lua_pcall(L, 0, 1, 0)) return std::string("error: ") + lua_tostring(L, -1);
    const char* s = lua_tostring(L, -1);
    std::string r = s ? s : "nil";
    lua_pop(L, 1);
    return r;
  }
  GcProto* proto_at(int idx) { return funcproto(funcV(L->base + idx - 1)); }
};

TEST_F(Jit, ArchitectureOfTheBuild) {
  EXPECT_EQ(run("return jit.arch"), KX_64 ? "x64" : "x86");
  EXPECT_EQ(run("return jit.os"), "Linux");
}

TEST_F(Jit, WholeCompilerSwitch) {
  EXPECT_EQ(kestrix_setmode(L, 0, KESTRIX_MODE_ENGINE | KESTRIX_MODE_OFF), 1);
  EXPECT_EQ(kx_jit(G(L))->flags & KX_JIT_F_ON, 0u);
  EXPECT_EQ(run("return tostring(jit.status())"), "false");
  EXPECT_EQ(kestrix_setmode(L, 0, KESTRIX_MODE_ENGINE | KESTRIX_MODE_FLUSH), 1);
  EXPECT_EQ(kestrix_setmode(L, 0, KESTRIX_MODE_ENGINE | KESTRIX_MODE_ON), 1);
  EXPECT_EQ(run("return tostring(jit.status())"), "true");
}

TEST_F(Jit, PerFunctionPermissionReachesNestedPrototypes) {
  ASSERT_EQ(luaL_loadstring(L, "local function a() return function() end end return a"), 0);
  lua_call(L, 0, 1);
  GcProto* outer = proto_at(1);
  GcProto* inner = reinterpret_cast<GcProto*>(proto_kgc(outer, -1));
  ASSERT_EQ(inner->gc_type, KX_IPROTO);
  EXPECT_EQ(kestrix_setmode(L, 1, KESTRIX_MODE_FUNC | KESTRIX_MODE_OFF), 1);
  EXPECT_TRUE(outer->flags & KX_PROTO_NOJIT);
  EXPECT_FALSE(inner->flags & KX_PROTO_NOJIT);
  EXPECT_EQ(kestrix_setmode(L, -1, KESTRIX_MODE_ALLSUBFUNC | KESTRIX_MODE_OFF), 1);
  EXPECT_TRUE(inner->flags & KX_PROTO_NOJIT);
  EXPECT_EQ(kestrix_setmode(L, 1, KESTRIX_MODE_ALLFUNC | KESTRIX_MODE_ON), 1);
  EXPECT_FALSE(outer->flags & KX_PROTO_NOJIT);
  EXPECT_FALSE(inner->flags & KX_PROTO_NOJIT);
  // Flushing changes no permission; C functions and other values are refused.
  EXPECT_EQ(kestrix_setmode(L, 1, KESTRIX_MODE_FUNC | KESTRIX_MODE_FLUSH), 1);
  EXPECT_FALSE(outer->flags & KX_PROTO_NOJIT);
  lua_pushcfunction(L, luaopen_base);
  lua_pushnumber(L, 1);
  EXPECT_EQ(kestrix_setmode(L, -2, KESTRIX_MODE_FUNC | KESTRIX_MODE_OFF), 0);
  EXPECT_EQ(kestrix_setmode(L, -1, KESTRIX_MODE_FUNC | KESTRIX_MODE_OFF), 0);
  // The same request from a script names its own function.
  EXPECT_EQ(run("local function f() jit.off(true) end f() return 'ok'"), "ok");
}

TEST_F(Jit, TracesAndUnknownTargets) {
  EXPECT_EQ(kestrix_setmode(L, 1, KESTRIX_MODE_TRACE | KESTRIX_MODE_FLUSH), 1);
  EXPECT_EQ(kestrix_setmode(L, 1, KESTRIX_MODE_TRACE | KESTRIX_MODE_ON), 0);
  EXPECT_EQ(kestrix_setmode(L, 0, 1 | KESTRIX_MODE_ON), 0);
  EXPECT_EQ(kestrix_setmode(L, 0, 0x42), 0);
}

int wrapped_calls = 0;
int counting_wrapper(lua_State* L, lua_CFunction f) {
  wrapped_calls++;
  return f(L);
}
int answer(lua_State* L) {
  lua_pushinteger(L, 42);
  return 1;
}

TEST_F(Jit, WrappedCallsOfApiFunctions) {
  lua_register(L, "answer", answer);
  lua_pushnumber(L, 1);
  EXPECT_EQ(kestrix_setmode(L, -1, KESTRIX_MODE_WRAPCFUNC | KESTRIX_MODE_ON), 0);  // not a light userdata
  lua_pushlightuserdata(L, reinterpret_cast<void*>(counting_wrapper));
  EXPECT_EQ(kestrix_setmode(L, -1, KESTRIX_MODE_WRAPCFUNC | KESTRIX_MODE_ON), 1);
  lua_pop(L, 2);
  wrapped_calls = 0;
  EXPECT_EQ(run("return answer() + #tostring(1)"), "43");  // library functions are not wrapped
  EXPECT_EQ(wrapped_calls, 1);
  EXPECT_EQ(kestrix_setmode(L, 0, KESTRIX_MODE_WRAPCFUNC | KESTRIX_MODE_OFF), 1);
  EXPECT_EQ(run("return answer()"), "42");
  EXPECT_EQ(wrapped_calls, 1);
}

int setmode_in_gc(lua_State* L) {
  kestrix_setmode(L, 0, KESTRIX_MODE_ENGINE | KESTRIX_MODE_ON);
  return 0;
}

TEST_F(Jit, NoControlsFromFinalizers) {
  lua_register(L, "setmode_in_gc", setmode_in_gc);
  EXPECT_EQ(run("local seen\n"
                "jit.attach(function(m) seen = m end, 'errfin')\n"
                "local p = newproxy(true)\n"
                "getmetatable(p).__gc = function() setmode_in_gc() end\n"
                "p = nil collectgarbage() collectgarbage()\n"
                "return seen"),
            "[string \"local seen...\"]:4: bad action while in __gc metamethod");
}

TEST(BufferObject, PayloadLayout) {
  EXPECT_EQ(offsetof(StrBufExt, sb), 0u);
  EXPECT_EQ(offsetof(StrBufExt, ref), 4 * sizeof(void*));
  EXPECT_EQ(sizeof(StrBufExt), KX_64 ? 64u : 36u);
}

// The format keeps four bytes of a light userdata's address: one that needs more (x86-64 only) is
// refused rather than written as another address.
TEST_F(Jit, WideLightUserdataIsNotSerialized) {
  ASSERT_EQ(luaL_dostring(L, "buffer = require 'string.buffer'"), 0);
  lua_getglobal(L, "buffer");
  lua_getfield(L, -1, "encode");
  lua_pushlightuserdata(L, reinterpret_cast<void*>(uintptr_t(0x1234)));
  ASSERT_EQ(lua_pcall(L, 1, 1, 0), 0);
  EXPECT_EQ(std::string(lua_tostring(L, -1), 5), std::string("\x04\x34\x12\x00\x00", 5));
  lua_pop(L, 1);
  if (!KX_64) return;
  lua_getfield(L, -1, "encode");
  lua_pushlightuserdata(L, reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234ull << (KX_64 ? 32 : 0))));
  ASSERT_NE(lua_pcall(L, 1, 1, 0), 0);
  EXPECT_STREQ(lua_tostring(L, -1), "cannot serialize 'userdata'");
}

// Buffers, their dictionaries and the strings they read are all released when the instance closes,
// whether or not a script freed them.
TEST(BufferObject, ClosingFreesEveryBuffer) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  ASSERT_NE(L, nullptr);
  luaL_openlibs(L);
  const char* src =
      "local buffer = require 'string.buffer'\n"
      "keep = buffer.new(1000, {dict = {'a'}, metatable = {{}}})\n"
      "keep:put(string.rep('x', 5000)):encode({a = {1, 2}})\n"
      "cow = buffer.new():set(string.rep('y', 100))\n"
      "for i = 1, 50 do buffer.new():put(string.rep('z', i * 100)) end\n"
      "buffer.new():put('freed'):free()\n";
  ASSERT_EQ(luaL_dostring(L, src), 0) << lua_tostring(L, -1);
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_EQ(counter.live_blocks, 0u);
  EXPECT_FALSE(counter.mismatch);
}

}  // namespace
