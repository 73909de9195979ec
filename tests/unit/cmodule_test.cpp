// A native module built as a shared object against the public headers, loaded at run time.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "lauxlib.h"
#include "lualib.h"

namespace {

struct CModuleTest : ::testing::Test {
  lua_State* L = luaL_newstate();
  void* handle = nullptr;
  CModuleTest() {
    luaL_openlibs(L);
    handle = dlopen(KX_TEST_CMODULE, RTLD_NOW);
    auto open = handle ? reinterpret_cast<lua_CFunction>(dlsym(handle, "luaopen_counter")) : nullptr;
    if (open) {
      lua_pushcfunction(L, open);
      lua_call(L, 0, 0);
    }
  }
  ~CModuleTest() override {
    lua_close(L);
    if (handle) dlclose(handle);
  }
  // Runs a chunk; returns its one result as text, or the error message.
  std::string run(const char* src) {
    if (luaL_loadstring(L, src) || lua_pcall(L, 0, 1, 0)) {
      std::string e = lua_tostring(L, -1);
      lua_pop(L, 1);
      return "error: " + e;
    }
    std::string r = luaL_checkstring(L, -1);
    lua_pop(L, 1);
    return r;
  }
};

TEST_F(CModuleTest, LoadsAndRegisters) {
  ASSERT_NE(handle, nullptr) << dlerror();
  EXPECT_EQ(run("return type(counter.new)"), "function");
}

TEST_F(CModuleTest, UserdataWithMetatable) {
  EXPECT_EQ(run("local c = counter.new(5) c:tick() c:tick() return tostring(c)"), "counter(10, step 5)");
  EXPECT_EQ(run("local c = counter.new() return c:tick() + c:tick()"), "3");
}

TEST_F(CModuleTest, CheckUdataRejectsOtherValues) {
  EXPECT_EQ(run("local c = counter.new()\nlocal x = c.tick({}) return x"),
            "error: [string \"local c = counter.new()...\"]:2: bad argument #1 to 'tick' (test.counter expected, got table)");
  EXPECT_EQ(run("local f = counter.new().tick\nlocal x = f(1) return x"),
            "error: [string \"local f = counter.new().tick...\"]:2: bad argument #1 to 'f' (test.counter expected, got number)");
  EXPECT_EQ(run("local t = {tick = counter.new().tick}\nlocal x = t:tick() return x"),
            "error: [string \"local t = {tick = counter.new().tick}...\"]:2: calling 'tick' on bad self "
            "(test.counter expected, got table)");
  // A tail call leaves no caller to name.
  EXPECT_EQ(run("return counter.new().tick(true)"), "error: bad argument #1 to '?' (test.counter expected, got boolean)");
}

TEST_F(CModuleTest, ClosureKeepsItsUpvalues) {
  EXPECT_EQ(run("local l = counter.labeller('item ') l('a') return l('b')"), "item 2:b");
  EXPECT_EQ(run("local l = counter.labeller('x') local m = counter.labeller('y') l('a') return m('b')"), "y1:b");
}

}  // namespace
