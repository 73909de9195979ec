// The table, math, bit and os libraries, driven through the C API.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Nil {};
struct Idx {
  int i;  // a stack index whose value is passed on
};

class Libs : public ::testing::Test {
 protected:
  lua_State* L = nullptr;
  int first = 0;  // stack index of the first result of the last run
  int nres = 0;

  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  void push(double n) { lua_pushnumber(L, n); }
  void push(const char* s) { lua_pushstring(L, s); }
  void push(Nil) { lua_pushnil(L); }
  void push(Idx x) { lua_pushvalue(L, x.i); }
  void push(bool b) { lua_pushboolean(L, b); }

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
    nres = lua_gettop(L) - base;
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
  Idx seq(std::initializer_list<double> v) {
    lua_createtable(L, 0, 0);
    int k = 1;
    for (double x : v) {
      lua_pushnumber(L, x);
      lua_rawseti(L, -2, k++);
    }
    return Idx{lua_gettop(L)};
  }
  Idx strseq(std::initializer_list<const char*> v) {
    lua_createtable(L, 0, 0);
    int k = 1;
    for (const char* s : v) {
      lua_pushstring(L, s);
      lua_rawseti(L, -2, k++);
    }
    return Idx{lua_gettop(L)};
  }
  Idx func(lua_CFunction f, int nup = 0) {
    lua_pushcclosure(L, f, nup);
    return Idx{lua_gettop(L)};
  }
  std::vector<double> numbers(Idx t) {
    std::vector<double> r;
    for (int k = 1;; k++) {
      lua_rawgeti(L, t.i, k);
      bool done = lua_isnil(L, -1);
      if (!done) r.push_back(lua_tonumber(L, -1));
      lua_pop(L, 1);
      if (done) return r;
    }
  }
  std::vector<std::string> strings(Idx t) {
    std::vector<std::string> r;
    for (int k = 1;; k++) {
      lua_rawgeti(L, t.i, k);
      bool done = lua_isnil(L, -1);
      if (!done) r.push_back(lua_isstring(L, -1) ? lua_tostring(L, -1) : "<not a string>");
      lua_pop(L, 1);
      if (done) return r;
    }
  }
};

int always_true(lua_State* L) {
  lua_pushboolean(L, 1);
  return 1;
}

int by_first_byte(lua_State* L) {
  lua_pushboolean(L, lua_tostring(L, 1)[0] < lua_tostring(L, 2)[0]);
  return 1;
}

int descending(lua_State* L) {
  lua_pushboolean(L, lua_tonumber(L, 1) > lua_tonumber(L, 2));
  return 1;
}

// ---- table ------------------------------------------------------------------------------------------------

TEST_F(Libs, SortFollowsTheFixedExchangeOrder) {
  Idx t = seq({1, 2, 3});
  ASSERT_EQ(run("table", "sort", t, func(always_true)), 0) << lua_tostring(L, -1);
  EXPECT_EQ(numbers(t), (std::vector<double>{2, 3, 1}));

  // Elements equal for the order end up where the exchanges put them.
  Idx s = strseq({"2a", "1b", "2c", "1d", "2e"});
  ASSERT_EQ(run("table", "sort", s, func(by_first_byte)), 0) << lua_tostring(L, -1);
  EXPECT_EQ(strings(s), (std::vector<std::string>{"1d", "1b", "2a", "2c", "2e"}));
}

TEST_F(Libs, SortDetectsAnInconsistentOrder) {
  EXPECT_EQ(err("table", "sort", seq({1, 2, 3, 4}), func(always_true)), "invalid order function for sorting");
}

TEST_F(Libs, SortOrdersNumbersStringsAndByComparator) {
  std::vector<double> v;
  lua_createtable(L, 0, 0);
  Idx t{lua_gettop(L)};
  uint32_t x = 12345;
  for (int k = 1; k <= 500; k++) {
    x = x * 1103515245u + 12345u;
    double d = static_cast<double>(x >> 16) / 7;
    v.push_back(d);
    lua_pushnumber(L, d);
    lua_rawseti(L, t.i, k);
  }
  ASSERT_EQ(run("table", "sort", t), 0);
  std::vector<double> want = v;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(numbers(t), want);
  ASSERT_EQ(run("table", "sort", t, func(descending)), 0);
  std::sort(want.begin(), want.end(), [](double a, double b) { return a > b; });
  EXPECT_EQ(numbers(t), want);

  Idx s = strseq({"pear", "apple", "fig", "", "apples", "Zed"});
  ASSERT_EQ(run("table", "sort", s), 0);
  EXPECT_EQ(strings(s), (std::vector<std::string>{"", "Zed", "apple", "apples", "fig", "pear"}));

  Idx empty = seq({});
  EXPECT_EQ(run("table", "sort", empty), 0);
  EXPECT_EQ(err("table", "sort", seq({1, 2}), 3.0), "bad argument #2 to '?' (function expected, got number)");
}

TEST_F(Libs, SortComparesMixedTypesWithTheOrdinaryRules) {
  Idx t = seq({1, 2});
  lua_pushstring(L, "x");
  lua_rawseti(L, t.i, 3);
  EXPECT_EQ(err("table", "sort", t), "attempt to compare string with number");
}

// A comparator answering at random: the sort either completes or reports the bad order, and it never
// hands the comparator a value from outside the sequence.
int random_order(lua_State* L) {
  if (lua_isnil(L, 1) || lua_isnil(L, 2)) {
    lua_pushboolean(L, 1);
    lua_replace(L, lua_upvalueindex(2));
  }
  uint32_t x = static_cast<uint32_t>(lua_tonumber(L, lua_upvalueindex(1)));
  x = x * 1103515245u + 12345u;
  lua_pushnumber(L, x);
  lua_replace(L, lua_upvalueindex(1));
  lua_pushboolean(L, (x >> 16) & 1);
  return 1;
}

TEST_F(Libs, SortWithARandomComparatorStaysInsideTheSequence) {
  int errors = 0;
  for (int seed = 1; seed <= 200; seed++) {
    lua_settop(L, 0);
    lua_createtable(L, 0, 0);
    for (int k = 1; k <= 40; k++) {
      lua_pushnumber(L, k);
      lua_rawseti(L, 1, k);
    }
    lua_pushnumber(L, seed);
    lua_pushboolean(L, 0);
    Idx cmp = func(random_order, 2);
    int status = run("table", "sort", Idx{1}, cmp);
    if (status) {
      EXPECT_STREQ(lua_tostring(L, -1), "invalid order function for sorting");
      errors++;
    }
    lua_getupvalue(L, cmp.i, 2);
    EXPECT_FALSE(lua_toboolean(L, -1)) << "seed " << seed;
    std::vector<double> got = numbers(Idx{1});
    EXPECT_EQ(got.size(), 40u);  // a permutation: nothing lost, nothing duplicated
    std::sort(got.begin(), got.end());
    for (int k = 0; k < static_cast<int>(got.size()); k++) EXPECT_EQ(got[k], k + 1);
  }
  EXPECT_GT(errors, 0);
}

// Empties the table (upvalue 1) and collects on its first call; then orders strings, nil last.
int wipe_then_compare(lua_State* L) {
  if (!lua_toboolean(L, lua_upvalueindex(2))) {
    lua_pushboolean(L, 1);
    lua_replace(L, lua_upvalueindex(2));
    for (int k = 1; k <= 20; k++) {
      lua_pushnil(L);
      lua_rawseti(L, lua_upvalueindex(1), k);
    }
    lua_gc(L, LUA_GCCOLLECT, 0);
  }
  const char* a = lua_tostring(L, 1);
  const char* b = lua_tostring(L, 2);
  lua_pushboolean(L, a && (!b || strcmp(a, b) < 0));
  return 1;
}

TEST_F(Libs, SortKeepsTheElementsItHoldsAlive) {
  lua_createtable(L, 0, 0);
  Idx t{lua_gettop(L)};
  for (int k = 1; k <= 20; k++) {
    lua_pushfstring(L, "element %d", 1000 + k);
    lua_rawseti(L, t.i, k);
  }
  lua_pushvalue(L, t.i);
  lua_pushboolean(L, 0);
  run("table", "sort", t, func(wipe_then_compare, 2));
  lua_gc(L, LUA_GCCOLLECT, 0);
  for (int k = 1; k <= 20; k++) {
    lua_rawgeti(L, t.i, k);
    if (!lua_isnil(L, -1)) {
      EXPECT_EQ(std::string(lua_tostring(L, -1)).substr(0, 9), "element 1");
    }
    lua_pop(L, 1);
  }
}

int number_lt(lua_State* L) {
  lua_rawgeti(L, 1, 1);
  lua_rawgeti(L, 2, 1);
  lua_pushboolean(L, lua_tonumber(L, -2) < lua_tonumber(L, -1));
  return 1;
}

TEST_F(Libs, SortUsesTheLessThanMetamethod) {
  lua_createtable(L, 0, 1);
  int mt = lua_gettop(L);
  lua_pushcfunction(L, number_lt);
  lua_setfield(L, mt, "__lt");
  lua_createtable(L, 0, 0);
  Idx t{lua_gettop(L)};
  const double keys[] = {5, 3, 9, 1};
  for (int k = 0; k < 4; k++) {
    lua_createtable(L, 1, 0);
    lua_pushnumber(L, keys[k]);
    lua_rawseti(L, -2, 1);
    lua_pushvalue(L, mt);
    lua_setmetatable(L, -2);
    lua_rawseti(L, t.i, k + 1);
  }
  ASSERT_EQ(run("table", "sort", t), 0) << lua_tostring(L, -1);
  std::vector<double> got;
  for (int k = 1; k <= 4; k++) {
    lua_rawgeti(L, t.i, k);
    lua_rawgeti(L, -1, 1);
    got.push_back(lua_tonumber(L, -1));
    lua_pop(L, 2);
  }
  EXPECT_EQ(got, (std::vector<double>{1, 3, 5, 9}));
}

TEST_F(Libs, Concat) {
  Idx t = seq({1, 2.5});
  lua_pushstring(L, "x");
  lua_rawseti(L, t.i, 3);
  EXPECT_EQ(str("table", "concat", t, "-"), "1-2.5-x");
  EXPECT_EQ(str("table", "concat", t), "12.5x");
  EXPECT_EQ(str("table", "concat", t, 0.5, 2.0), "2.50.5x");  // a number separator is converted
  EXPECT_EQ(str("table", "concat", t, ",", 3.0, 2.0), "");
  EXPECT_EQ(str("table", "concat", t, Nil{}, 2.0, 2.0), "2.5");
  EXPECT_EQ(err("table", "concat", t, ",", 1.0, 5.0), "invalid value (nil) at index 4 in table for 'concat'");

  Idx bad = seq({1, 0, 3});
  lua_newtable(L);
  lua_rawseti(L, bad.i, 2);
  EXPECT_EQ(err("table", "concat", bad), "invalid value (table) at index 2 in table for 'concat'");

  // Keys outside the array part are found too.
  lua_createtable(L, 0, 4);
  Idx h{lua_gettop(L)};
  lua_pushstring(L, "b");
  lua_rawseti(L, h.i, 2);
  lua_pushstring(L, "a");
  lua_rawseti(L, h.i, 1);
  EXPECT_EQ(str("table", "concat", h, "+"), "a+b");
}

TEST_F(Libs, InsertShiftsUpFromThePosition) {
  Idx t = strseq({"a", "b"});
  ASSERT_EQ(run("table", "insert", t, 1.0, "x"), 0);
  EXPECT_EQ(strings(t), (std::vector<std::string>{"x", "a", "b"}));
  ASSERT_EQ(run("table", "insert", t, "y"), 0);
  EXPECT_EQ(strings(t), (std::vector<std::string>{"x", "a", "b", "y"}));
  ASSERT_EQ(run("table", "insert", t, 3.9, "z"), 0);  // the position is truncated
  EXPECT_EQ(strings(t), (std::vector<std::string>{"x", "a", "z", "b", "y"}));

  Idx u = strseq({"a", "b"});
  ASSERT_EQ(run("table", "insert", u, 10.0, "x"), 0);
  EXPECT_EQ(strings(u), (std::vector<std::string>{"a", "b"}));
  lua_rawgeti(L, u.i, 10);
  EXPECT_STREQ(lua_tostring(L, -1), "x");

  EXPECT_EQ(err("table", "insert", t), "wrong number of arguments to 'insert'");
  EXPECT_EQ(err("table", "insert", t, 1.0, 2.0, 3.0), "wrong number of arguments to 'insert'");
  EXPECT_EQ(err("table", "insert", 1.0, 2.0), "bad argument #1 to '?' (table expected, got number)");
}

TEST_F(Libs, MaxnLooksAtEveryNumericKey) {
  lua_createtable(L, 0, 2);
  Idx t{lua_gettop(L)};
  lua_pushboolean(L, 1);
  lua_setfield(L, t.i, "x");
  EXPECT_EQ(num("table", "maxn", t), 0);
  lua_pushnumber(L, 1.5);
  lua_pushboolean(L, 1);
  lua_rawset(L, t.i);
  lua_pushnumber(L, -3);
  lua_pushboolean(L, 1);
  lua_rawset(L, t.i);
  EXPECT_EQ(num("table", "maxn", t), 1.5);
  EXPECT_EQ(num("table", "maxn", seq({})), 0);

  Idx a = seq({1, 2, 3, 4});
  lua_pushnil(L);
  lua_rawseti(L, a.i, 4);
  EXPECT_EQ(num("table", "maxn", a), 3);
  lua_pushnumber(L, 100);
  lua_pushnil(L);
  lua_rawset(L, a.i);  // a removed key does not count
  EXPECT_EQ(num("table", "maxn", a), 3);
}

TEST_F(Libs, PackCountsEveryArgument) {
  ASSERT_EQ(run("table", "pack"), 0);
  lua_getfield(L, first, "n");
  EXPECT_EQ(lua_tonumber(L, -1), 0);
  ASSERT_EQ(run("table", "pack", Nil{}, Nil{}), 0);
  lua_getfield(L, first, "n");
  EXPECT_EQ(lua_tonumber(L, -1), 2);
  ASSERT_EQ(run("table", "pack", "a", 2.0), 0);
  Idx p{first};
  EXPECT_EQ(lua_objlen(L, p.i), 2u);
  lua_rawgeti(L, p.i, 1);
  EXPECT_STREQ(lua_tostring(L, -1), "a");
}

TEST_F(Libs, UnpackIsTheGlobalOne) {
  lua_getglobal(L, "table");
  lua_getfield(L, -1, "unpack");
  lua_getglobal(L, "unpack");
  EXPECT_TRUE(lua_rawequal(L, -1, -2));
}

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

TEST_F(Libs, LibraryWorkFreesEveryByte) {
  CountingAlloc counter;
  lua_State* L2 = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L2);
  lua_getglobal(L2, "table");
  lua_getfield(L2, -1, "concat");
  lua_createtable(L2, 0, 0);
  for (int k = 1; k <= 300; k++) {
    lua_pushfstring(L2, "piece %d", k);
    lua_rawseti(L2, -2, k);
  }
  lua_pushstring(L2, ", ");
  ASSERT_EQ(lua_pcall(L2, 2, 1, 0), 0);
  lua_close(L2);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_FALSE(counter.mismatch);
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

TEST_F(Libs, RandomRangesAreNeverRejected) {
  EXPECT_EQ(num("math", "random", 0.0), 1);
  EXPECT_EQ(num("math", "random", 3.0, 3.0), 3);
  EXPECT_EQ(num("math", "random", 1.0, 0.0), 1);
  for (int i = 0; i < 200; i++) {
    double r = num("math", "random", -5.0);
    EXPECT_TRUE(r >= -4 && r <= 1 && r == std::floor(r)) << r;
    double u = num("math", "random");
    EXPECT_TRUE(u >= 0 && u < 1) << u;
  }
  EXPECT_EQ(err("math", "random", "x"), "bad argument #1 to '?' (number expected, got string)");
}

TEST_F(Libs, SecureReseedingChangesTheSequence) {
  double a = num("math", "random");
  ASSERT_EQ(run("math", "randomseed"), 0);
  EXPECT_NE(num("math", "random"), a);
}

TEST_F(Libs, LogWithABaseMultipliesByTheInverse) {
  EXPECT_EQ(num("math", "log", 8.0, 2.0), (1 / std::log(2.0)) * std::log(8.0));
  EXPECT_EQ(num("math", "log", 1000.0, 10.0), (1 / std::log(10.0)) * std::log(1000.0));
  EXPECT_EQ(num("math", "log", "1000", "10"), (1 / std::log(10.0)) * std::log(1000.0));
  EXPECT_EQ(num("math", "log", std::exp(2.0)), std::log(std::exp(2.0)));
  EXPECT_EQ(err("math", "log", 2.0, Nil{}), "bad argument #2 to '?' (number expected, got nil)");
}

TEST_F(Libs, ModfSplitsWithTheSignOfTheArgument) {
  ASSERT_EQ(run("math", "modf", -3.5), 0);
  EXPECT_EQ(lua_tonumber(L, first), -3);
  EXPECT_EQ(lua_tonumber(L, first + 1), -0.5);
  ASSERT_EQ(run("math", "modf", -3.0), 0);
  EXPECT_TRUE(std::signbit(lua_tonumber(L, first + 1)));
  ASSERT_EQ(run("math", "modf", -HUGE_VAL), 0);
  EXPECT_EQ(lua_tonumber(L, first), -HUGE_VAL);
  EXPECT_EQ(lua_tonumber(L, first + 1), 0);
  EXPECT_FALSE(std::signbit(lua_tonumber(L, first + 1)));
}

TEST_F(Libs, FrexpCoversEveryClassOfDouble) {
  const double cases[] = {8, -8, 0.1, 1, 3e300, 5e-324, -2.2250738585072009e-308, 1e-310, 0.75};
  for (double x : cases) {
    ASSERT_EQ(run("math", "frexp", x), 0);
    int e;
    double m = std::frexp(x, &e);
    EXPECT_EQ(lua_tonumber(L, first), m) << x;
    EXPECT_EQ(lua_tonumber(L, first + 1), e) << x;
  }
  ASSERT_EQ(run("math", "frexp", 5e-324), 0);
  EXPECT_EQ(lua_tonumber(L, first + 1), -1073);
  for (double x : {0.0, -0.0, HUGE_VAL, -HUGE_VAL, std::nan("")}) {
    ASSERT_EQ(run("math", "frexp", x), 0);
    double m = lua_tonumber(L, first);
    EXPECT_TRUE(std::isnan(x) ? std::isnan(m) : (m == x && std::signbit(m) == std::signbit(x)));
    EXPECT_EQ(lua_tonumber(L, first + 1), 0);
  }
}

TEST_F(Libs, MinAndMaxConvertAndCheckEveryArgument) {
  EXPECT_EQ(num("math", "max", "10", 9.0), 10);
  EXPECT_EQ(num("math", "min", 4.0, 2.0, 8.0, 3.0), 2);
  EXPECT_EQ(num("math", "max", 4.0, 2.0, 8.0, 3.0), 8);
  EXPECT_EQ(err("math", "min"), "bad argument #1 to '?' (number expected, got no value)");
  EXPECT_EQ(err("math", "max", 1.0, 2.0, true), "bad argument #3 to '?' (number expected, got boolean)");
}

TEST_F(Libs, ElementaryFunctions) {
  EXPECT_EQ(num("math", "floor", -3.5), -4);
  EXPECT_EQ(num("math", "ceil", "-3.5"), -3);
  EXPECT_EQ(num("math", "floor", 4503599627370495.5), 4503599627370495.0);
  EXPECT_FALSE(std::signbit(num("math", "abs", -0.0)));
  EXPECT_EQ(num("math", "sqrt", "16"), 4);
  EXPECT_EQ(num("math", "pow", 2.0, 10.0), 1024);
  EXPECT_EQ(num("math", "fmod", -7.0, 3.0), -1);
  EXPECT_EQ(num("math", "atan2", 1.0, 1.0), std::atan2(1.0, 1.0));
  EXPECT_EQ(num("math", "ldexp", 3.0, 2.0), 12);
  EXPECT_EQ(num("math", "ldexp", 1.0, 1e10), HUGE_VAL);  // far exponents saturate
  EXPECT_EQ(num("math", "ldexp", 1.0, -1e10), 0);
  EXPECT_TRUE(std::isnan(num("math", "sqrt", -1.0)));
  EXPECT_EQ(err("math", "sin", "x"), "bad argument #1 to '?' (number expected, got string)");
  EXPECT_EQ(err("math", "pow", 2.0), "bad argument #2 to '?' (number expected, got no value)");

  lua_getglobal(L, "math");
  lua_getfield(L, -1, "pi");
  EXPECT_EQ(lua_tonumber(L, -1), 3.141592653589793);
  lua_getfield(L, -2, "huge");
  EXPECT_EQ(lua_tonumber(L, -1), HUGE_VAL);
}

// ---- bit --------------------------------------------------------------------------------------------------

TEST_F(Libs, BitNormalisesToSigned32Bits) {
  EXPECT_EQ(num("bit", "tobit", 4294967296.0 + 5), 5);
  EXPECT_EQ(num("bit", "tobit", 4294967295.0), -1);
  EXPECT_EQ(num("bit", "tobit", 1.5), 2);
  EXPECT_EQ(num("bit", "tobit", 2.5), 2);
  EXPECT_EQ(num("bit", "tobit", "0x80000000"), -2147483648.0);
  EXPECT_EQ(num("bit", "bnot", 0.0), -1);
  EXPECT_EQ(num("bit", "bswap", 305419896.0), 2018915346);
  EXPECT_EQ(err("bit", "tobit", Nil{}), "bad argument #1 to '?' (number expected, got nil)");
}

TEST_F(Libs, BitShiftsAndRotations) {
  EXPECT_EQ(num("bit", "lshift", 1.0, 33.0), 2);
  EXPECT_EQ(num("bit", "rshift", -1.0, 28.0), 15);
  EXPECT_EQ(num("bit", "arshift", -256.0, 4.0), -16);
  EXPECT_EQ(num("bit", "rol", 305419896.0, 4.0), 0x23456781);
  EXPECT_EQ(num("bit", "ror", 305419896.0, 4.0), static_cast<int32_t>(0x81234567u));
  EXPECT_EQ(num("bit", "rol", 1.0, -1.0), -2147483648.0);
  EXPECT_EQ(num("bit", "lshift", "1", "4"), 16);
  EXPECT_EQ(err("bit", "rshift", 1.0), "bad argument #2 to '?' (number expected, got no value)");
}

TEST_F(Libs, BitLogicalOperationsFoldEveryArgument) {
  EXPECT_EQ(num("bit", "band", "3", 1.0), 1);
  EXPECT_EQ(num("bit", "bor", 1.0, 2.0, 4.0, 8.0), 15);
  EXPECT_EQ(num("bit", "bxor", 5.0, 3.0, 1.0), 7);
  EXPECT_EQ(num("bit", "band", 7.0), 7);
  EXPECT_EQ(err("bit", "band"), "bad argument #1 to '?' (number expected, got no value)");
  EXPECT_EQ(err("bit", "bor", 1.0, "z"), "bad argument #2 to '?' (number expected, got string)");
}

TEST_F(Libs, Tohex) {
  EXPECT_EQ(str("bit", "tohex", 255.0), "000000ff");
  EXPECT_EQ(str("bit", "tohex", 255.0, -4.0), "00FF");
  EXPECT_EQ(str("bit", "tohex", 305419896.0, 2.0), "78");
  EXPECT_EQ(str("bit", "tohex", -1.0), "ffffffff");
  EXPECT_EQ(str("bit", "tohex", -1.0, 10.0), "00ffffffff");
  EXPECT_EQ(str("bit", "tohex", 305419896.0, 0.0), "");
  EXPECT_EQ(str("bit", "tohex", 4294967296.0 + 0xab), "000000ab");
  std::string wide = str("bit", "tohex", 171.0, -2147483648.0);
  EXPECT_EQ(wide, std::string(252, '0') + "AB");
  EXPECT_EQ(str("bit", "tohex", 171.0, 1000.0), std::string(252, '0') + "ab");
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
  Idx date_table(double year, double month, const char* day) {
    lua_createtable(L, 0, 4);
    lua_pushnumber(L, year);
    lua_setfield(L, -2, "year");
    lua_pushnumber(L, month);
    lua_setfield(L, -2, "month");
    if (day) {
      lua_pushstring(L, day);
      lua_setfield(L, -2, "day");
    }
    return Idx{lua_gettop(L)};
  }
  double field(int t, const char* k) {
    lua_getfield(L, t, k);
    double v = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return v;
  }
};

TEST_F(OsLib, DateFormatsAndBreaksDownTimes) {
  EXPECT_EQ(str("os", "date", "!%Y-%m-%d %H:%M:%S", 0.0), "1970-01-01 00:00:00");
  EXPECT_EQ(str("os", "date", "%H:%M", "3600.9"), "01:00");  // numeric strings, truncated
  EXPECT_EQ(str("os", "date", ""), "");
  EXPECT_EQ(str("os", "date", "!"), "");
  std::string many(400, 'x');
  EXPECT_EQ(str("os", "date", (many + "%Y").c_str(), 0.0), many + "1970");
  EXPECT_FALSE(str("os", "date").empty());

  ASSERT_EQ(run("os", "date", "*t", 86400.0 * 365), 0);
  int t = first;
  EXPECT_EQ(field(t, "year"), 1971);
  EXPECT_EQ(field(t, "month"), 1);
  EXPECT_EQ(field(t, "day"), 1);
  EXPECT_EQ(field(t, "hour"), 0);
  EXPECT_EQ(field(t, "wday"), 6);  // a Friday
  EXPECT_EQ(field(t, "yday"), 1);
  lua_getfield(L, t, "isdst");
  EXPECT_TRUE(lua_isboolean(L, -1) && !lua_toboolean(L, -1));
  EXPECT_EQ(err("os", "date", "%c", "soon"), "bad argument #2 to '?' (number expected, got string)");
}

TEST_F(OsLib, TimeFromADateTable) {
  Idx d = date_table(2000, 1, "1");
  lua_pushnumber(L, 12);
  lua_setfield(L, d.i, "hour");
  EXPECT_EQ(num("os", "time", d), 946728000);
  EXPECT_EQ(num("os", "time", date_table(2000, 1, "1")), 946728000);  // noon by default
  EXPECT_EQ(num("os", "time", date_table(2000, 14, "1")), num("os", "time", date_table(2001, 2, "1")));
  EXPECT_EQ(err("os", "time", date_table(2000, 1, nullptr)), "field 'day' missing in date table");
  EXPECT_EQ(err("os", "time", "x"), "bad argument #1 to '?' (table expected, got string)");

  ASSERT_EQ(run("os", "date", "*t", 1234567890.0), 0);
  EXPECT_EQ(num("os", "time", Idx{first}), 1234567890);
  double now = num("os", "time");
  EXPECT_NEAR(now, static_cast<double>(time(nullptr)), 2);
  EXPECT_EQ(num("os", "time", Nil{}) >= now, true);
}

TEST_F(OsLib, Difftime) {
  EXPECT_EQ(num("os", "difftime", 10.0), 10);
  EXPECT_EQ(num("os", "difftime", 10.0, 4.0), 6);
  EXPECT_EQ(num("os", "difftime", "10", "4"), 6);
  EXPECT_EQ(err("os", "difftime", Nil{}, "x"), "bad argument #2 to '?' (number expected, got string)");
}

TEST_F(OsLib, ExecuteDecodesTheWaitStatus) {
  ASSERT_EQ(run("os", "execute"), 0);
  EXPECT_EQ(nres, 1);
  EXPECT_TRUE(lua_toboolean(L, first));
  ASSERT_EQ(run("os", "execute", "exit 3"), 0);
  ASSERT_EQ(nres, 3);
  EXPECT_TRUE(lua_isnil(L, first));
  EXPECT_STREQ(lua_tostring(L, first + 1), "exit");
  EXPECT_EQ(lua_tonumber(L, first + 2), 3);
  ASSERT_EQ(run("os", "execute", "true"), 0);
  EXPECT_TRUE(lua_toboolean(L, first));
  EXPECT_EQ(lua_tonumber(L, first + 2), 0);
  ASSERT_EQ(run("os", "execute", "kill -9 $$"), 0);
  EXPECT_TRUE(lua_isnil(L, first));
  EXPECT_STREQ(lua_tostring(L, first + 1), "signal");
  EXPECT_EQ(lua_tonumber(L, first + 2), 9);
}

TEST_F(OsLib, FilesAndEnvironment) {
  std::string name = str("os", "tmpname");
  struct stat st;
  EXPECT_EQ(stat(name.c_str(), &st), 0);
  std::string moved = name + ".moved";
  ASSERT_EQ(run("os", "rename", name.c_str(), moved.c_str()), 0);
  EXPECT_TRUE(lua_toboolean(L, first));
  ASSERT_EQ(run("os", "remove", moved.c_str()), 0);
  EXPECT_TRUE(lua_toboolean(L, first));
  ASSERT_EQ(run("os", "remove", moved.c_str()), 0);
  ASSERT_EQ(nres, 3);
  EXPECT_TRUE(lua_isnil(L, first));
  EXPECT_EQ(std::string(lua_tostring(L, first + 1)), moved + ": " + strerror(ENOENT));
  EXPECT_EQ(lua_tonumber(L, first + 2), ENOENT);
  ASSERT_EQ(run("os", "rename", moved.c_str(), name.c_str()), 0);
  EXPECT_EQ(std::string(lua_tostring(L, first + 1)), moved + ": " + strerror(ENOENT));

  setenv("KX_LIBS_TEST", "value", 1);
  EXPECT_EQ(str("os", "getenv", "KX_LIBS_TEST"), "value");
  unsetenv("KX_LIBS_TEST");
  ASSERT_EQ(run("os", "getenv", "KX_LIBS_TEST"), 0);
  EXPECT_TRUE(lua_isnil(L, first));
  EXPECT_GE(num("os", "clock"), 0);
}

TEST_F(OsLib, Setlocale) {
  EXPECT_EQ(str("os", "setlocale"), "C");
  EXPECT_EQ(str("os", "setlocale", "C", "numeric"), "C");
  EXPECT_EQ(str("os", "setlocale", Nil{}, "\xff"), "C");
  ASSERT_EQ(run("os", "setlocale", "no_such_locale.UTF-99"), 0);
  EXPECT_TRUE(lua_isnil(L, first));
  EXPECT_EQ(err("os", "setlocale", Nil{}, "bogus"), "bad argument #2 to '?' (invalid option 'bogus')");
}

TEST_F(OsLib, ExitStatus) {
  EXPECT_EXIT(run("os", "exit", true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run("os", "exit", false), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(run("os", "exit", 3.0), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(run("os", "exit", 4.0, true), ::testing::ExitedWithCode(4), "");
}

}  // namespace
