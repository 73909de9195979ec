// Library behaviour that scripts cannot reach: preloaded modules before require exists, the random
// generator against an independent model, and calendar time under a fixed time zone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Idx {
  int i;  // a stack index whose value is passed on
};

class Libs : public ::testing::Test {
 protected:
  lua_State* L = nullptr;
  int first = 0;  // stack index of the first result of the last run

  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  void push(double n) { lua_pushnumber(L, n); }
  void push(const char* s) { lua_pushstring(L, s); }
  void push(Idx x) { lua_pushvalue(L, x.i); }

  // Calls lib.name(args...) in protected mode; the results (or the message) stay on the stack.
  template <typename... A>
  int run(const char* lib, const char* name, A... args) {
    int base = lua_gettop(L);
    lua_getglobal(L, lib);
    lua_getfield(L, -1, name);
    lua_remove(L, -2);
    (push(args), ...);
    int status = lua_pcall(L, static_cast<int>(sizeof...(args)), LUA_MULTRET, 0);
    first = base + 1;
    return status;
  }
  template <typename... A>
  double num(const char* lib, const char* name, A... args) {
    EXPECT_EQ(run(lib, name, args...), 0) << lua_tostring(L, -1);
    return lua_tonumber(L, first);
  }
  template <typename... A>
  std::string str(const char* lib, const char* name, A... args) {
    EXPECT_EQ(run(lib, name, args...), 0) << lua_tostring(L, -1);
    size_t len;
    const char* s = lua_tolstring(L, first, &len);
    return s ? std::string(s, len) : std::string("<not a string>");
  }
  template <typename... A>
  std::string err(const char* lib, const char* name, A... args) {
    EXPECT_EQ(run(lib, name, args...), LUA_ERRRUN);
    const char* s = lua_tostring(L, -1);
    return s ? s : "<not a string>";
  }
};

// ---- table ------------------------------------------------------------------------------------------------

TEST_F(Libs, NewAndClearArriveThroughPreload) {
  lua_getglobal(L, "table");
  int lib = lua_gettop(L);
  lua_getfield(L, lib, "new");
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_getfield(L, LUA_REGISTRYINDEX, "_PRELOAD");
  int preload = lua_gettop(L);
  lua_getfield(L, preload, "table.new");
  lua_pushstring(L, "table.new");
  ASSERT_EQ(lua_pcall(L, 1, 1, 0), 0);
  lua_getfield(L, lib, "new");
  EXPECT_TRUE(lua_rawequal(L, -1, -2));
  lua_getfield(L, preload, "table.clear");
  lua_pushstring(L, "table.clear");
  ASSERT_EQ(lua_pcall(L, 1, 0, 0), 0);

  ASSERT_EQ(run("table", "new", 4.0, 2.0), 0);
  Idx t{first};
  for (int k = 1; k <= 6; k++) {
    lua_pushnumber(L, k);
    lua_rawseti(L, t.i, k);
  }
  lua_pushstring(L, "v");
  lua_setfield(L, t.i, "k");
  ASSERT_EQ(run("table", "clear", t), 0);
  EXPECT_EQ(lua_objlen(L, t.i), 0u);
  lua_pushnil(L);
  EXPECT_EQ(lua_next(L, t.i), 0);
  EXPECT_EQ(err("table", "new", 1.0), "bad argument #2 to '?' (number expected, got no value)");
}

// ---- math -------------------------------------------------------------------------------------------------

// The generator, written out independently: four Tausworthe words, doubles from 52 bits.
struct Tausworthe {
  uint64_t z[4];
  uint64_t next() {
    static const int k[4] = {63, 58, 55, 47}, q[4] = {31, 19, 24, 21}, s[4] = {18, 28, 7, 8};
    uint64_t r = 0;
    for (int i = 0; i < 4; i++) {
      z[i] = (((z[i] << q[i]) ^ z[i]) >> (k[i] - s[i])) ^ ((z[i] & (~0ull << (64 - k[i]))) << s[i]);
      r ^= z[i];
    }
    return r;
  }
  double uniform() {
    uint64_t bits = (next() & 0x000fffffffffffffull) | 0x3ff0000000000000ull;
    double d;
    memcpy(&d, &bits, 8);
    return d - 1;
  }
  void seed(double x) {
    const int minbits[4] = {1, 6, 9, 17};
    for (int i = 0; i < 4; i++) {
      x = x * 3.141592653589793 + 2.718281828459045;
      memcpy(&z[i], &x, 8);
      if (z[i] < (1ull << minbits[i])) z[i] += 1ull << minbits[i];
    }
    for (int i = 0; i < 10; i++) next();
  }
};

TEST_F(Libs, RandomReproducesTheGenerator) {
  Tausworthe ref{{0xA0D277570A345B8Cull, 0x764A296C5D4AA64Full, 0x51220704070ADEAAull, 0x2A2717B5A7B7B927ull}};
  EXPECT_EQ(num("math", "random"), ref.uniform());  // unseeded: the same on every run

  ASSERT_EQ(run("math", "randomseed", 42.0), 0);
  ref.seed(42);
  EXPECT_EQ(num("math", "random"), ref.uniform());
  EXPECT_EQ(num("math", "random", 6.0), std::floor(ref.uniform() * 6) + 1);
  EXPECT_EQ(num("math", "random", 10.0, 20.0), std::floor(ref.uniform() * 11) + 10);
  EXPECT_EQ(num("math", "random", 2.5), std::floor(ref.uniform() * 2.5) + 1);  // bounds are not truncated

  // Seeds whose bit patterns fall below a word's minimum are raised.
  ASSERT_EQ(run("math", "randomseed", -2.718281828459045 / 3.141592653589793), 0);
  ref.seed(-2.718281828459045 / 3.141592653589793);
  EXPECT_EQ(num("math", "random"), ref.uniform());
}

// ---- os ---------------------------------------------------------------------------------------------------

class OsLib : public Libs {
 protected:
  std::string saved_tz;
  bool had_tz = false;
  void SetUp() override {
    Libs::SetUp();
    if (const char* tz = getenv("TZ")) {
      had_tz = true;
      saved_tz = tz;
    }
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz) setenv("TZ", saved_tz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    Libs::TearDown();
  }
};

TEST_F(OsLib, DateAndTimeInUtc) {
  EXPECT_EQ(str("os", "date", "!%Y-%m-%d %H:%M:%S", 0.0), "1970-01-01 00:00:00");
  lua_createtable(L, 0, 4);
  Idx d{lua_gettop(L)};
  const char* keys[] = {"year", "month", "hour"};
  const double values[] = {2000, 1, 12};
  for (int k = 0; k < 3; k++) {
    lua_pushnumber(L, values[k]);
    lua_setfield(L, d.i, keys[k]);
  }
  EXPECT_EQ(err("os", "time", d), "field 'day' missing in date table");
  lua_pushnumber(L, 1);
  lua_setfield(L, d.i, "day");
  EXPECT_EQ(num("os", "time", d), 946728000);
}

}  // namespace
