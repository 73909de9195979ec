// The checking builds see inside the engine's arena: a read of a freed block and a write just past a
// block's end are caught, by AddressSanitizer (the process dies) or by valgrind's memcheck (an error
// is counted). Other builds skip these tests.
#include <gtest/gtest.h>

#include "lauxlib.h"
#include "lua.h"

#if defined(KX_MEMCHECK)
#include <valgrind/memcheck.h>
#endif

namespace {

volatile char sink;

// A userdata block of n bytes that the collector has already freed.
[[maybe_unused]] char* freed_block(lua_State* L, size_t n) {
  char* p = static_cast<char*>(lua_newuserdata(L, n));
  lua_pop(L, 1);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return p;
}

[[maybe_unused]] void read_freed() {
  lua_State* L = luaL_newstate();
  sink = freed_block(L, 40)[8];
  lua_close(L);
}

[[maybe_unused]] void write_past_end() {
  lua_State* L = luaL_newstate();
  char* p = static_cast<char*>(lua_newuserdata(L, 13));
  p[13] = 1;
  lua_close(L);
}

#if defined(KX_MEMCHECK)
// The errors memcheck reports while f runs.
unsigned errors_during(void (*f)()) {
  unsigned before = VALGRIND_COUNT_ERRORS;
  f();
  return VALGRIND_COUNT_ERRORS - before;
}
#endif

TEST(Checker, UseAfterFreeIsCaught) {
#if defined(KX_SANITIZE)
  EXPECT_DEATH(read_freed(), "AddressSanitizer");
#elif defined(KX_MEMCHECK)
  if (!RUNNING_ON_VALGRIND) GTEST_SKIP() << "run under valgrind";
  EXPECT_EQ(errors_during(read_freed), 1u);
#else
  GTEST_SKIP() << "not a checking build";
#endif
}

TEST(Checker, OverflowIsCaught) {
#if defined(KX_SANITIZE)
  EXPECT_DEATH(write_past_end(), "AddressSanitizer");
#elif defined(KX_MEMCHECK)
  if (!RUNNING_ON_VALGRIND) GTEST_SKIP() << "run under valgrind";
  EXPECT_EQ(errors_during(write_past_end), 1u);
#else
  GTEST_SKIP() << "not a checking build";
#endif
}

}  // namespace
