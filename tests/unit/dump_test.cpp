// Dumping and loading binary chunks: round trips, determinism and refusal of damaged chunks.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/state.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

std::string read_file(const std::string& path);

struct DumpTest : ::testing::Test {
  lua_State* L = luaL_newstate();
  DumpTest() { luaL_openlibs(L); }
  ~DumpTest() override { lua_close(L); }

  void load(const std::string& src) {
    ASSERT_EQ(luaL_loadbuffer(L, src.data(), src.size(), "=src"), 0) << lua_tostring(L, -1);
  }
  static int append(lua_State*, const void* p, size_t size, void* ud) {
    static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
    return 0;
  }
  std::string dump_top() {
    std::string out;
    EXPECT_EQ(lua_dump(L, append, &out), 0);
    return out;
  }
  // Runs the global "check" of the script just loaded and returns its string result.
  std::string run(const std::string& chunk) {
    EXPECT_EQ(luaL_loadbuffer(L, chunk.data(), chunk.size(), "=dump"), 0) << lua_tostring(L, -1);
    EXPECT_EQ(lua_pcall(L, 0, 1, 0), 0) << lua_tostring(L, -1);
    std::string r = lua_isstring(L, -1) ? lua_tostring(L, -1) : "?";
    lua_pop(L, 1);
    return r;
  }
};

const char* const kProgram = R"(
  local up = 10
  local function inner(a, ...)
    local t = {1, 2, x = a, [3.5] = "f", y = {n = 1}}
    return t.x + up + select('#', ...), t[3.5], t.y.n
  end
  local function err() local v = nil; return v.field end
  local a, b, c = inner(5, 1, 2)
  local ok, e = pcall(err)
  return a .. b .. c .. " " .. e .. " " .. (2^31 + 1) .. (-1)
)";

TEST_F(DumpTest, RoundTripKeepsBehaviourLinesAndNames) {
  load(kProgram);
  std::string expected;
  lua_pushvalue(L, -1);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
  expected = lua_tostring(L, -1);
  lua_pop(L, 1);
  EXPECT_EQ(expected, "17f1 src:7: attempt to index local 'v' (a nil value) 2147483649-1");
  std::string chunk = dump_top();
  ASSERT_GE(chunk.size(), 4u);
  EXPECT_EQ(chunk.substr(0, 4), std::string("\x1bKX\x02", 4));
  EXPECT_EQ(run(chunk), expected);  // line numbers and variable names survive
}

TEST_F(DumpTest, StrippedDumpsAreSmallerAndLoseDebugNames) {
  load(kProgram);
  std::string full = dump_top();
  lua_getglobal(L, "string");
  lua_getfield(L, -1, "dump");
  lua_pushvalue(L, -3);
  lua_pushliteral(L, "s");
  ASSERT_EQ(lua_pcall(L, 2, 1, 0), 0);
  size_t len;
  const char* s = lua_tolstring(L, -1, &len);
  std::string stripped(s, len);
  EXPECT_LT(stripped.size(), full.size());
  EXPECT_EQ(stripped[4], 0x02);
  EXPECT_EQ(run(stripped).substr(0, 34), "17f1 attempt to index a nil value ");
}

TEST_F(DumpTest, DeterministicDumpsAreIdenticalAcrossStates) {
  const char* src = "return {alpha = 1, beta = 2, gamma = 3, delta = 4, [1.5] = true}";
  std::string first, second;
  for (std::string* out : {&first, &second}) {
    lua_State* L2 = luaL_newstate();  // a different hash seed each time
    luaL_openlibs(L2);
    ASSERT_EQ(luaL_dostring(L2, (std::string("return string.dump(load(\"") + src + "\"), 'sd')").c_str()), 0);
    *out = lua_tostring(L2, -1);
    lua_close(L2);
  }
  EXPECT_EQ(first, second);
}

TEST_F(DumpTest, DamagedChunksFailCleanly) {
  load(kProgram);
  std::string good = dump_top();
  std::mt19937 rng(12345);
  int loaded = 0;
  for (int i = 0; i < 100000; i++) {
    std::string bad = good;
    switch (rng() % 4) {
      case 0: bad.resize(1 + rng() % (good.size() - 1)); break;       // truncated
      case 1: bad += std::string(1 + rng() % 4, static_cast<char>(rng())); break;  // extended
      default:
        for (int k = 1 + rng() % 3; k > 0; k--) bad[1 + rng() % (bad.size() - 1)] = static_cast<char>(rng());
        break;
    }
    int status = luaL_loadbuffer(L, bad.data(), bad.size(), "=fuzz");
    if (status == 0) {
      loaded++;
    } else {
      ASSERT_EQ(status, LUA_ERRSYNTAX);
      std::string msg = lua_tostring(L, -1);
      ASSERT_TRUE(msg == "fuzz: cannot load malformed bytecode" || msg == "fuzz: cannot load incompatible bytecode")
          << msg;
    }
    lua_pop(L, 1);
  }
  RecordProperty("loaded", loaded);
}

// Found by fuzzing: a variable info list whose last name ends at the region's end, so that its two
// numbers lie beyond it, was accepted and then read past the prototype by the dump writer.
TEST_F(DumpTest, VariableInfoMustEndInsideTheDebugRegion) {
  std::string bad = read_file(std::string(KX_TEST_DATA_DIR) + "/../../fuzz/regress/load_binary/varinfo-past-region-end");
  ASSERT_EQ(luaL_loadbuffer(L, bad.data(), bad.size(), "=fuzz"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "fuzz: cannot load malformed bytecode");
}

// Found by fuzzing: a function with a child prototype among its constants whose flags deny having
// children. Its returns would leave the child's upvalues open, and the writer would drop the child.
TEST_F(DumpTest, ChildPrototypesNeedTheParentsFlag) {
  std::string bad = read_file(std::string(KX_TEST_DATA_DIR) + "/../../fuzz/regress/load_binary/child-without-flag");
  ASSERT_EQ(bad.size(), 49u);
  ASSERT_EQ(luaL_loadbuffer(L, bad.data(), bad.size(), "=fuzz"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "fuzz: cannot load malformed bytecode");
  bad[0x18] |= 0x01;  // the main function's flags: now it says it has children
  ASSERT_EQ(luaL_loadbuffer(L, bad.data(), bad.size(), "=fuzz"), LUA_OK) << lua_tostring(L, -1);
}

// A dump is the same on every build: the stored dump was written by the x86-64 build.
std::string read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr) << path;
  std::string s;
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

TEST_F(DumpTest, DumpsAreTheSameOnEveryBuild) {
  const std::string dir = KX_TEST_DATA_DIR;
  std::string src = read_file(dir + "/portable.lua");
  std::string stored = read_file(dir + "/portable.kxb");
  ASSERT_EQ(luaL_loadbuffer(L, src.data(), src.size(), "@portable.lua"), 0) << lua_tostring(L, -1);
  std::string dumped = dump_top();
  EXPECT_EQ(dumped, stored);
  const char* expected = "1234 8 6 3 9.007199254741e+15 13 ONE,TWO,THREE -inf 1.500";
  ASSERT_EQ(luaL_loadbuffer(L, stored.data(), stored.size(), "=stored"), 0) << lua_tostring(L, -1);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0) << lua_tostring(L, -1);
  EXPECT_STREQ(lua_tostring(L, -1), expected);
}

}  // namespace
