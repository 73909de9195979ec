// Growable byte buffers.
#include <gtest/gtest.h>

#include <string>

#include "core/buf.h"
#include "core/state.h"
#include "core/str.h"
#include "lauxlib.h"

namespace {

struct BufTest : ::testing::Test {
  lua_State* L = luaL_newstate();
  StrBuf sb;
  BufTest() { sbufinit(L, &sb); }
  ~BufTest() override {
    kx_buf_free(G(L), &sb);
    lua_close(L);
  }
  std::string content() const { return std::string(sb.b, sbuflen(&sb)); }
};

TEST_F(BufTest, GrowthStartsAt32AndDoubles) {
  kx_buf_putchar(&sb, 'x');
  EXPECT_EQ(sbufsz(&sb), 32u);
  StrBuf sb2;
  sbufinit(L, &sb2);
  std::string s33(33, 'y');
  kx_buf_putmem(&sb2, s33.data(), 33);
  EXPECT_EQ(sbufsz(&sb2), 64u);
  kx_buf_free(G(L), &sb2);
}

TEST_F(BufTest, FullBufferDoublesForOneMoreByte) {
  kx_buf_need(&sb, 100);
  std::string s(100 - sbuflen(&sb), 'z');
  // Capacity is 128 here (32 doubled until 100 fits); fill it exactly, then add one byte.
  std::string fill(sbufsz(&sb), 'f');
  kx_buf_putmem(&sb, fill.data(), static_cast<uint32_t>(fill.size()));
  uint32_t cap = sbufsz(&sb);
  kx_buf_putchar(&sb, '!');
  EXPECT_EQ(sbufsz(&sb), 2 * cap);
  EXPECT_EQ(content(), fill + "!");
}

TEST_F(BufTest, CaseMappingAndReversalAreAsciiOnly) {
  GcString* s = kx_str_newz(L, "Hello \xc3\xa9 World!");
  kx_buf_putstr_lower(&sb, s);
  EXPECT_EQ(content(), "hello \xc3\xa9 world!");
  sbufreset(&sb);
  kx_buf_putstr_upper(&sb, s);
  EXPECT_EQ(content(), "HELLO \xc3\xa9 WORLD!");
  sbufreset(&sb);
  kx_buf_putstr_reverse(&sb, kx_str_newz(L, "abc"));
  EXPECT_EQ(content(), "cba");
}

TEST_F(BufTest, Repetition) {
  kx_buf_putstr_rep(&sb, kx_str_newz(L, "ab"), 3);
  kx_buf_putstr_rep(&sb, kx_str_newz(L, "c"), 4);
  kx_buf_putstr_rep(&sb, kx_str_newz(L, "d"), 0);
  kx_buf_putstr_rep(&sb, kx_str_newz(L, "e"), -5);
  EXPECT_EQ(content(), "abababcccc");
}

TEST_F(BufTest, OversizedRequestsRaiseTheMemoryErrorBeforeWriting) {
  lua_pushcfunction(L, [](lua_State* L) -> int {
    StrBuf* sb = kx_buf_tmp(L);
    kx_buf_putstr_rep(sb, kx_str_newz(L, "abcd"), 0x20000000);
    return 0;
  });
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRMEM);
  EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
  lua_pushcfunction(L, [](lua_State* L) -> int {
    kx_buf_need2(kx_buf_tmp(L), 0x7fffff01);
    return 0;
  });
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRMEM);
}

TEST_F(BufTest, ConcatenationOfTwoStrings) {
  GcString* r = kx_buf_cat2str(L, kx_str_newz(L, "foo"), kx_str_newz(L, "bar"));
  EXPECT_EQ(r, kx_str_newz(L, "foobar"));
}

TEST_F(BufTest, ExtendedBufferCompactsWhenGrowing) {
  // 32 bytes of capacity, 30 of them already read: asking for 100 more must leave 100 free.
  StrBufExt x = {};
  sbufinit(L, &x.sb);
  x.sb.owner |= KX_SBUF_EXT;
  std::string s32(32, 'q');
  kx_buf_putmem(&x.sb, s32.data(), 32);
  ASSERT_EQ(sbufsz(&x.sb), 32u);
  x.r = x.sb.b + 30;
  size_t room = kx_bufx_more(&x, 100);
  EXPECT_GE(room, 100u);
  EXPECT_EQ(std::string(x.r, x.sb.w - x.r), "qq");
  std::string s100(100, 'w');
  kx_buf_putmem(&x.sb, s100.data(), 100);
  EXPECT_EQ(std::string(x.r, x.sb.w - x.r), "qq" + s100);
  kx_buf_free(G(L), &x.sb);
}

TEST_F(BufTest, CopyOnWriteBufferCopiesOnFirstGrowth) {
  GcString* src = kx_str_newz(L, "shared bytes");
  StrBufExt x = {};
  sbufinit(L, &x.sb);
  x.sb.owner |= KX_SBUF_EXT | KX_SBUF_COW;
  x.sb.b = x.r = const_cast<char*>(strdata(src));
  x.sb.w = x.sb.e = x.sb.b + src->len;
  x.ref = obj2gco(src);
  uint32_t before = G(L)->gc.total;
  EXPECT_EQ(std::string(x.r, x.sb.w - x.r), "shared bytes");
  EXPECT_EQ(G(L)->gc.total, before);
  kx_buf_putchar(&x.sb, '!');
  EXPECT_FALSE(x.sb.owner & KX_SBUF_COW);
  EXPECT_EQ(x.ref, nullptr);
  EXPECT_STREQ(strdata(src), "shared bytes");
  EXPECT_EQ(std::string(x.r, x.sb.w - x.r), "shared bytes!");
  kx_buf_free(G(L), &x.sb);
}

}  // namespace
