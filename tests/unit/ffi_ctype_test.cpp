// The C type table: predefined entries, interning, name lookup by kind, attributes, variable-length
// sizes, the growth limit and the memory it owns.
#include <gtest/gtest.h>

#include <string>

#include "core/state.h"
#include "core/str.h"
#include "counting_alloc.h"
#include "ffi/ctype.h"
#include "ffi/lib_ffi.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct CTypeTest : ::testing::Test {
  lua_State* L = luaL_newstate();
  CTypeTable* tab = nullptr;

  CTypeTest() {
    luaL_openlibs(L);
    tab = kx_ffi_open(L);
  }
  ~CTypeTest() override { lua_close(L); }

  GcString* str(const char* s) { return kx_str_newz(L, s); }
  std::string repr(CTypeID id, const char* name = nullptr) {
    return strdata(kx_ctype_repr(L, id, name ? str(name) : nullptr));
  }
  CTypeID ptr_to(CTypeID id) {
    return kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | id), KX_CTSIZE_PTR);
  }
};

TEST_F(CTypeTest, PredefinedEntries) {
  EXPECT_EQ(tab->used, 102u);
  EXPECT_EQ(tab->capacity, 128u);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, CTID_INT128, &size);
  EXPECT_TRUE(ctype_isinteger(info));
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(ctype_align(info), 4u);
  EXPECT_TRUE(kx_ctype_info(tab, CTID_UINT128, &size) & CTF_UNSIGNED);
  EXPECT_EQ(repr(CTID_FLOAT), "float");
  EXPECT_EQ(repr(CTID_DOUBLE), "double");
  EXPECT_EQ(repr(CTID_P_CCHAR), "const char *");
  EXPECT_EQ(repr(CTID_A_CCHAR), "const char []");
  EXPECT_EQ(repr(CTID_CTYPEID), "ctype");
  EXPECT_EQ(repr(CTID_INT32, "x"), "int x");
  CTypeEntry* ct;
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("int128_t"), 1u << CT_TYPEDEF), 35u);
  EXPECT_EQ(ctype_cid(ct->info), CTID_INT128);
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("__int128"), 1u << CT_KW), 53u);
  EXPECT_EQ(ctype_cid(ct->info), uint32_t(CTOK_INT));
  EXPECT_EQ(ct->size, 16u);
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("__alignof__"), 1u << CT_KW), 101u);
}

TEST_F(CTypeTest, InterningSharesEntries) {
  CTypeID p1 = ptr_to(CTID_INT32);
  CTypeID used = tab->used;
  EXPECT_EQ(ptr_to(CTID_INT32), p1);
  EXPECT_EQ(tab->used, used);
  EXPECT_EQ(ptr_to(CTID_VOID), CTID_P_VOID);
  EXPECT_EQ(ptr_to(CTID_UINT8), CTID_P_UINT8);
  EXPECT_NE(ptr_to(CTID_UINT32), p1);
}

TEST_F(CTypeTest, NamesAreFoundOnlyByTheirKinds) {
  CTypeEntry* ct;
  CTypeID id = kx_ctype_new(tab, &ct);
  ct->info = ctinfo(CT_EXTERN, CTID_INT32);
  kx_ctype_addname(tab, id, str("shadow"));
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("shadow"), 1u << CT_EXTERN), id);
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("shadow"), 1u << CT_TYPEDEF), 0u);
  EXPECT_EQ(ct, ctype_get(tab, 0));
  // A later entry of the same name hides the earlier one.
  CTypeID id2 = kx_ctype_new(tab, &ct);
  ct->info = ctinfo(CT_EXTERN, CTID_DOUBLE);
  kx_ctype_addname(tab, id2, str("shadow"));
  EXPECT_EQ(kx_ctype_getname(tab, &ct, str("shadow"), 1u << CT_EXTERN), id2);
}

TEST_F(CTypeTest, AttributesAddQualifiersAndTheFirstAlignment) {
  CTypeID q = kx_ctype_intern(tab, ctinfo_attr(CTA_QUAL, CTID_INT32), CTF_CONST);
  CTypeID a1 = kx_ctype_intern(tab, ctinfo_attr(CTA_ALIGN, q), 4);
  CTypeID a2 = kx_ctype_intern(tab, ctinfo_attr(CTA_ALIGN, a1), 3);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, a2, &size);
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(info & CTF_CONST);
  EXPECT_EQ(ctype_align(info), 3u);
  EXPECT_EQ(repr(a2), "const int");
  EXPECT_EQ(ctype_raw(tab, a2), ctype_get(tab, CTID_INT32));
}

TEST_F(CTypeTest, VariableLengthSizes) {
  CTypeID vla = kx_ctype_intern(tab, ctinfo(CT_ARRAY, CTF_VLA | ctype_alignflag(3) | CTID_DOUBLE), KX_CTSIZE_INVALID);
  EXPECT_EQ(kx_ctype_vlsize(tab, ctype_get(tab, vla), 5), 40u);
  EXPECT_EQ(kx_ctype_vlsize(tab, ctype_get(tab, vla), 0x10000000), KX_CTSIZE_INVALID);
  EXPECT_EQ(repr(vla), "double [?]");
}

TEST_F(CTypeTest, TextThatDoesNotFitIsAQuestionMark) {
  std::string name(300, 'n');
  CTypeEntry* ct;
  CTypeID id = kx_ctype_new(tab, &ct);
  ct->info = ctinfo(CT_STRUCT, 0);
  ct->size = 4;
  kx_ctype_addname(tab, id, str(name.c_str()));
  EXPECT_EQ(repr(id), "?");
  EXPECT_EQ(repr(id, "shorter"), "?");
}

int fill_table(lua_State* L) {
  CTypeTable* tab = kx_ctype_state(G(L));
  for (;;) {
    CTypeEntry* ct;
    kx_ctype_new(tab, &ct);
  }
}

TEST_F(CTypeTest, AtMost65536Entries) {
  lua_pushcfunction(L, fill_table);
  ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "table overflow");
  EXPECT_EQ(tab->used, 65536u);
  EXPECT_EQ(tab->capacity, 65536u);
}

// Closing an instance frees the table with everything else, and every C data object is freed with
// the size it was allocated with: fixed, variable-length and over-aligned ones, functions, the call
// interfaces and the callback slots.
TEST(CTypeMemory, ClosingFreesEveryByte) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L);
  const char* script = R"(
    local ffi = require('ffi')
    ffi.cdef('struct s { int a[4]; }; typedef int t; struct v { int n; double d[?]; }; int abs(int);')
    for i = 1, 50 do
      local a, b = ffi.new('struct s'), ffi.new('double[?]', i)
      local c, d = ffi.new('struct v', i), ffi.new('struct { char c; } __attribute__((aligned(32)))')
      local e = ffi.gc(ffi.new('int[1]'), function() end)
    end
    collectgarbage()
    assert(ffi.C.abs(-3) == 3)
    local cb = ffi.cast('int (*)(int)', function(x) return x end)
    keep = {ffi.new('double[?]', 9), ffi.gc(ffi.new('int[2]'), function() end), ffi.C.abs, cb, 1LL, 2i}
  )";
  ASSERT_EQ(luaL_dostring(L, script), 0) << lua_tostring(L, -1);
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_FALSE(counter.mismatch);
}

int collect_writer(lua_State*, const void* p, size_t n, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), n);
  return 0;
}

// A chunk with C data constants opens the interface before any prototype is read: opening may run
// collector steps, which must not meet constants that no prototype holds yet.
TEST(CTypeMemory, LoadingDumpedConstantsIsSafeWhileTheCollectorRuns) {
  std::string dump;
  {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    ASSERT_EQ(luaL_loadstring(L, "local x = 7LL return x * 6, 'a string constant read before the C data'"), 0);
    lua_dump(L, collect_writer, &dump);
    lua_close(L);
  }
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_gc(L, LUA_GCSETPAUSE, 0);
  lua_gc(L, LUA_GCSETSTEPMUL, 10000);
  for (int i = 0; i < 1000; i++) lua_newtable(L);  // garbage for the steps to find
  lua_settop(L, 0);
  ASSERT_EQ(luaL_loadbuffer(L, dump.data(), dump.size(), "=dump"), 0) << lua_tostring(L, -1);
  lua_gc(L, LUA_GCCOLLECT, 0);
  ASSERT_EQ(lua_pcall(L, 0, 2, 0), 0) << lua_tostring(L, -1);
  EXPECT_STREQ(lua_tostring(L, -1), "a string constant read before the C data");
  lua_close(L);
}

// Serialized C data need the ffi loaded: the decoder does not open it.
TEST(CTypeMemory, DecodingCdataNeedsTheInterface) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  ASSERT_NE(luaL_dostring(L, "return require('string.buffer').decode('\\16' .. string.rep('\\0', 8))"), 0);
  EXPECT_NE(std::string(lua_tostring(L, -1)).find("cannot deserialize tag 0x10"), std::string::npos) << lua_tostring(L, -1);
  EXPECT_EQ(G(L)->ctype_state, nullptr);
  lua_close(L);
}

}  // namespace
