// Engine memory and the address space: light userdata keep whole user-space addresses, allocation
// functions that return memory out of reach of a reference fail cleanly, and an instance can use
// more than 2 GiB on x86-64 and refuses to pass 4 GiB.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "core/alloc.h"
#include "core/state.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

void* addr(uint64_t a) { return reinterpret_cast<void*>(static_cast<uintptr_t>(a)); }

TEST(LightUserdata, AddressesRoundTripAndStayDistinct) {
  lua_State* L = luaL_newstate();
  int local;
  std::vector<uint64_t> addrs{0, 1, 0x1234, 0xffffffff, reinterpret_cast<uintptr_t>(&local)};
  if (KX_64) addrs.insert(addrs.end(), {0x100000000ull, 0x100001234ull, 0x7fffffffffffull, 0x7fff00001234ull});
  lua_newtable(L);
  for (size_t i = 0; i < addrs.size(); i++) {
    lua_pushlightuserdata(L, addr(addrs[i]));
    EXPECT_EQ(lua_type(L, -1), LUA_TLIGHTUSERDATA);
    EXPECT_EQ(lua_touserdata(L, -1), addr(addrs[i]));
    EXPECT_EQ(lua_topointer(L, -1), addr(addrs[i]));
    EXPECT_TRUE(lua_toboolean(L, -1));
    EXPECT_STREQ(luaL_typename(L, -1), "userdata");
    lua_pushinteger(L, static_cast<lua_Integer>(i));
    lua_rawset(L, -3);
  }
  for (size_t i = 0; i < addrs.size(); i++) {
    lua_pushlightuserdata(L, addr(addrs[i]));
    lua_rawget(L, -2);
    EXPECT_EQ(lua_tointeger(L, -1), static_cast<lua_Integer>(i)) << std::hex << addrs[i];
    lua_pop(L, 1);
  }
  // Addresses that differ only above bit 32 are different values.
  if (KX_64) {
    lua_pushlightuserdata(L, addr(0x1234));
    lua_pushlightuserdata(L, addr(0x100001234ull));
    EXPECT_FALSE(lua_rawequal(L, -1, -2));
    lua_pushlightuserdata(L, addr(0x100001234ull));
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
    lua_pop(L, 3);
  }
  // Light userdata are not numbers to the language either.
  lua_pushlightuserdata(L, addr(KX_64 ? 0x7fff00001234ull : 0x1234));
  lua_setglobal(L, "p");
  luaL_openlibs(L);
  ASSERT_EQ(luaL_dostring(L, "assert(type(p) == 'userdata' and not pcall(function() return p + 1 end))"), 0)
      << lua_tostring(L, -1);
  lua_close(L);
}

#if KX_64
// An allocation function whose blocks come from a region above 4 GiB while `high` is set, and from
// an arena below otherwise.
struct SplitAlloc {
  KxArena* low = kx_alloc_create(nullptr);
  char* region = nullptr;
  size_t used = 0;
  bool high = false;
  static constexpr size_t kSize = 64 << 20;

  SplitAlloc() {
    void* p = mmap(addr(0x600000000000ull), kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    region = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
  }
  ~SplitAlloc() {
    munmap(region, kSize);
    kx_alloc_destroy(low);
  }
  bool owns(void* p) const { return p >= region && p < region + kSize; }
  static void* f(void* ud, void* p, size_t, size_t n) {
    auto* a = static_cast<SplitAlloc*>(ud);
    if (n == 0) {
      if (p && !a->owns(p)) kx_alloc_free(a->low, p);
      return nullptr;
    }
    if (!a->high) return p ? kx_alloc_realloc(a->low, p, n) : kx_alloc_malloc(a->low, n);
    if (p || a->used + n > kSize) return nullptr;
    void* q = a->region + a->used;
    a->used += (n + 15) & ~size_t(15);
    return q;
  }
};

TEST(HighMemory, StateCreationFailsWhenTheFirstBlockIsOutOfReach) {
  SplitAlloc a;
  ASSERT_NE(a.region, nullptr);
  ASSERT_FALSE(kx_ref_fits(a.region));
  a.high = true;
  EXPECT_EQ(lua_newstate(SplitAlloc::f, &a), nullptr);
}

TEST(HighMemory, BlocksOutOfReachAreAllocationFailures) {
  SplitAlloc a;
  ASSERT_NE(a.region, nullptr);
  lua_State* L = lua_newstate(SplitAlloc::f, &a);
  ASSERT_NE(L, nullptr);
  luaL_openlibs(L);
  ASSERT_EQ(luaL_loadstring(L, "local t = {} for i = 1, 100 do t[i] = ('x'):rep(i) .. i end return #t"), 0);
  a.high = true;
  EXPECT_EQ(lua_pcall(L, 0, 1, 0), LUA_ERRMEM);
  EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
  lua_pop(L, 1);
  a.high = false;
  ASSERT_EQ(luaL_dostring(L, "local t = {} for i = 1, 100 do t[i] = ('x'):rep(i) .. i end return #t"), 0);
  EXPECT_EQ(lua_tointeger(L, -1), 100);
  lua_close(L);
}

#if !defined(KX_SANITIZE)  // the sanitizer's shadow memory leaves the engine only 2 GiB
TEST(HighMemory, MoreThanTwoGiBAndNotPastFour) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  const char* script = R"(
    local big, parts = {}, 270
    for i = 1, parts do
      big[i] = {string.rep(string.format("%08d", i), 2^20 - 8), i}
    end
    local kib = collectgarbage("count")
    assert(kib > 2 * 2^20, kib)
    for i = 1, parts do
      local s = big[i][1]
      assert(#s == 2^23 - 64 and s:sub(-8) == string.format("%08d", i) and big[i][2] == i)
    end
    local ok, err = pcall(string.rep, "y", 2^31 - 512)
    assert(not ok and err == "not enough memory", err)
    big = nil
    collectgarbage()
    assert(collectgarbage("count") < 1024, collectgarbage("count"))
    return #table.concat({"still", "usable"}, " ")
  )";
  ASSERT_EQ(luaL_dostring(L, script), 0) << lua_tostring(L, -1);
  EXPECT_EQ(lua_tointeger(L, -1), 12);
  lua_close(L);
}
#endif
#endif

}  // namespace
