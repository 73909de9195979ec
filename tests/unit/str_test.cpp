// String interning, hashing, the dense-chain switch and comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "core/prng.h"
#include "core/state.h"
#include "core/str.h"
#include "counting_alloc.h"
#include "lauxlib.h"

namespace {

struct StrTest : ::testing::Test {
  lua_State* L = luaL_newstate();
  ~StrTest() override { lua_close(L); }
  GcString* str(const std::string& s) { return kx_str_new(L, s.data(), s.size()); }
};

TEST_F(StrTest, InterningGivesOneObjectPerContent) {
  GcString* a = str("hello world");
  GcString* b = str(std::string("hello ") + "world");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, str("hello worle"));
  EXPECT_EQ(a->len, 11u);
  EXPECT_EQ(strdata(a)[11], 0);
  EXPECT_STREQ(strdata(a), "hello world");
}

TEST_F(StrTest, EmptyStringIsTheStateRecordAndAllocatesNothing) {
  uint32_t before = G(L)->gc.total;
  GcString* e = str("");
  EXPECT_EQ(e, &G(L)->empty_string);
  EXPECT_EQ(e->len, 0u);
  EXPECT_EQ(strdata(e)[0], 0);
  EXPECT_EQ(G(L)->gc.total, before);
}

TEST_F(StrTest, ReservedWordsAreMarked) {
  EXPECT_EQ(str("and")->reserved, 1);
  EXPECT_EQ(str("while")->reserved, 24);
  EXPECT_EQ(str("goto")->reserved, 12);
  EXPECT_EQ(str("andx")->reserved, 0);
  EXPECT_TRUE(str("local")->gc_marks & KX_GC_FIXED);
}

TEST_F(StrTest, SparseHashOfShortStringsReadsOnlyTheirBytes) {
  // Bytes beyond the length must not matter: the same three bytes from different buffers.
  char a[8] = {'x', 'y', 'z', 1, 2, 3, 4, 5};
  char b[8] = {'x', 'y', 'z', 9, 9, 9, 9, 9};
  EXPECT_EQ(kx_str_hash_sparse(123, a, 3), kx_str_hash_sparse(123, b, 3));
  EXPECT_NE(kx_str_hash_sparse(123, a, 3), kx_str_hash_sparse(123, a, 2));
}

// 200-byte strings that differ only in bytes the sparse hash never reads (it reads the words at
// offsets 0, 49, 98 and 196).
static std::string colliding(int i) {
  std::string s(200, 'a');
  s[120] = static_cast<char>('A' + i % 26);
  s[121] = static_cast<char>('A' + (i / 26) % 26);
  s[122] = static_cast<char>('A' + (i / 676) % 26);
  s[123] = static_cast<char>('A' + (i / 17576) % 26);
  return s;
}

TEST_F(StrTest, StringsDifferingInSkippedBytesStayDistinct) {
  InternTable* it = &G(L)->intern;
  EXPECT_EQ(kx_str_hash_sparse(it->seed_lo, colliding(0).data(), 200),
            kx_str_hash_sparse(it->seed_lo, colliding(1).data(), 200));
  GcString* a = str(colliding(0));
  GcString* b = str(colliding(1));
  EXPECT_NE(a, b);
  EXPECT_EQ(str(colliding(0)), a);
  EXPECT_EQ(str(colliding(1)), b);
}

// What finding every interned string again costs: chain links walked in all, and the most full
// byte comparisons one lookup makes (the strings up to it in its chain with its hash and length).
struct LookupCost {
  uint64_t probes = 0;
  uint32_t max_compares = 0;
};

static LookupCost lookup_cost(const InternTable* it) {
  LookupCost cost;
  for (uint32_t i = 0; i <= it->mask; i++) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> same;
    uint32_t pos = 0;
    for (auto* s = reinterpret_cast<GcString*>(uintptr_t(it->slots[i] & ~1u)); s;
         s = reinterpret_cast<GcString*>(s->gc_next.get())) {
      cost.probes += ++pos;
      cost.max_compares = std::max(cost.max_compares, ++same[{s->hash, s->len}]);
    }
  }
  return cost;
}

TEST_F(StrTest, CollidingStringsSwitchChainsToDenseHashing) {
  const int n = 100000;
  lua_createtable(L, n, 0);
  for (int i = 0; i < n; i++) {
    std::string s = colliding(i);
    lua_pushlstring(L, s.data(), s.size());
    lua_rawseti(L, -2, i + 1);
  }
  EXPECT_TRUE(G(L)->intern.any_dense);
  // Under the sparse hash alone all of them would share one chain and one hash, and every lookup
  // would compare the bytes of all earlier ones.
  LookupCost cost = lookup_cost(&G(L)->intern);
  EXPECT_LE(cost.max_compares, 4u);
  EXPECT_LE(cost.probes, 3ull * G(L)->intern.count);
  // Every string is still found again as the same object.
  for (int i = 0; i < n; i += 997) {
    lua_rawgeti(L, -1, i + 1);
    std::string s = colliding(i);
    EXPECT_EQ(strV(L->top - 1), str(s));
    lua_pop(L, 1);
  }
}

TEST_F(StrTest, IdsAreConsecutiveWithinRuns) {
  GcString* a = str("id-run-a");
  GcString* b = str("id-run-b");
  uint32_t d = b->id - a->id;
  // Either the next id of the same run, or the start of a new random run.
  if (d != 1) SUCCEED() << "a run ended between the two strings";
  EXPECT_NE(a->id, b->id);
}

TEST_F(StrTest, ComparisonIsByUnsignedBytesThenLength) {
  EXPECT_EQ(kx_str_cmp(str("a"), str("a")), 0);
  EXPECT_EQ(kx_str_cmp(str("a"), str("ab")), -1);
  EXPECT_GT(kx_str_cmp(str("ab"), str("a")), 0);
  EXPECT_EQ(kx_str_cmp(str("\xff"), str("a")), 1);
  EXPECT_EQ(kx_str_cmp(str("a"), str("\xff")), -1);
  EXPECT_EQ(kx_str_cmp(str(std::string("a\0b", 3)), str(std::string("a\0c", 3))), -1);
  EXPECT_EQ(kx_str_cmp(str("abcdefgh1"), str("abcdefgh2")), -1);
}

TEST_F(StrTest, FindAndPatternDetection) {
  const char* hay = "hello world";
  EXPECT_EQ(kx_str_find(hay, "world", 11, 5), hay + 6);
  EXPECT_EQ(kx_str_find(hay, "", 11, 0), hay);
  EXPECT_EQ(kx_str_find(hay, "worlds", 11, 6), nullptr);
  EXPECT_EQ(kx_str_find(hay, "o", 11, 1), hay + 4);
  EXPECT_EQ(kx_str_find("aab", "ab", 3, 2), static_cast<const char*>("aab") + 1);
  EXPECT_FALSE(kx_str_haspattern(str("plain text")));
  EXPECT_TRUE(kx_str_haspattern(str("a.b")));
  EXPECT_TRUE(kx_str_haspattern(str("%d")));
}

TEST_F(StrTest, TooLongStringIsRejected) {
  // The length check comes before any allocation or read.
  lua_pushcfunction(L, [](lua_State* L) -> int {
    kx_str_new(L, "x", 0x7fffff00);
    return 0;
  });
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "string length overflow");
}

TEST(Prng, DoublesStayInOneToTwo) {
  PrngState rs;
  ASSERT_TRUE(kx_prng_seed_secure(&rs));
  for (int i = 0; i < 100000; i++) {
    uint64_t bits = kx_prng_u64d(&rs);
    double d;
    memcpy(&d, &bits, 8);
    ASSERT_GE(d, 1.0);
    ASSERT_LT(d, 2.0);
  }
}

TEST(Prng, KnownStateGivesTheDefinedSequence) {
  // One step of each generator word, computed by hand from the combined Tausworthe definition.
  PrngState rs = {{1ull << 40, 1ull << 40, 1ull << 40, 1ull << 40}};
  uint64_t r = kx_prng_u64(&rs);
  auto step = [](uint64_t z, int k, int q, int s) {
    return (((z << q) ^ z) >> (k - s)) ^ ((z & (~0ull << (64 - k))) << s);
  };
  uint64_t z = 1ull << 40;
  uint64_t want = step(z, 63, 31, 18) ^ step(z, 58, 19, 28) ^ step(z, 55, 24, 7) ^ step(z, 47, 21, 8);
  EXPECT_EQ(r, want);
}

}  // namespace
