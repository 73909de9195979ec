// The library definitions and what registration makes of them: every function a stream stores
// carries the fast-function id, and a fast-path function the entry, that the interpreter derives
// from the same definitions; functions created later get their reserved ids.
#include <gtest/gtest.h>

#include <string>

#include "core/state.h"
#include "lauxlib.h"
#include "lualib.h"
#include "vm/ffid.h"
#include "vm/libdefs.h"
#include "vm/vm.h"

namespace {

struct LibDefs : ::testing::Test {
  lua_State* L = luaL_newstate();
  LibDefs() { luaL_openlibs(L); }
  ~LibDefs() override { lua_close(L); }

  const Instr* fast_entry(uint32_t i) { return &kx_dispatch(G(L))->fast_entries[i]; }

  // Checks every stored function of the stream lib against the table on top of the stack.
  void check_stream(std::string_view lib) {
    kx_libdef::Items items{kx_libdefs[kx_libdef::stream_index(lib)].text};
    int functions = 0;
    for (kx_libdef::Item it; items.next(&it);) {
      std::string name(kx_libdef::stored_name(it.arg));
      bool reserved = it.kind == kx_libdef::ItemKind::Reserve || it.kind == kx_libdef::ItemKind::ReserveFast;
      if (!kx_libdef::takes_ffid(it.kind) || reserved || name.empty()) continue;
      lua_getfield(L, -1, name.c_str());
      ASSERT_TRUE(lua_isfunction(L, -1)) << lib << "." << name;
      GcFunc* fn = funcV(L->top - 1);
      EXPECT_EQ(fn->ffid, kx_libdef::ffid(lib, name)) << lib << "." << name;
      if (kx_libdef::takes_fast_entry(it.kind))
        EXPECT_EQ(fn->pc.get(), fast_entry(kx_libdef::fast_entry(lib, name))) << lib << "." << name;
      else
        EXPECT_EQ(fn->pc.get(), &G(L)->cfunc_entry_internal) << lib << "." << name;
      lua_pop(L, 1);
      functions++;
    }
    EXPECT_GT(functions, 0) << lib;
  }

  // The function a chunk returns.
  GcFunc* returned(const char* chunk) {
    EXPECT_EQ(luaL_dostring(L, chunk), 0) << lua_tostring(L, -1);
    return funcV(L->top - 1);
  }
};

TEST_F(LibDefs, RegisteredFunctionsCarryTheDerivedIdsAndEntries) {
  const std::pair<const char*, const char*> globals[] = {
      {"base", "_G"}, {"coroutine", "coroutine"}, {"math", "math"}, {"bit", "bit"}, {"string", "string"},
      {"table", "table"}, {"io", "io"}, {"os", "os"}, {"debug", "debug"}, {"jit", "jit"},
  };
  for (auto [lib, table] : globals) {
    lua_getglobal(L, table);
    check_stream(lib);
    lua_pop(L, 1);
  }
  lua_getglobal(L, "jit");
  lua_getfield(L, -1, "opt");
  check_stream("jit_opt");
  lua_pop(L, 2);
  lua_getfield(L, LUA_REGISTRYINDEX, LUA_FILEHANDLE);
  check_stream("io_method");
  lua_pop(L, 1);
}

TEST_F(LibDefs, FunctionsMadeLaterTakeTheirReservedIds) {
  GcFunc* wrap = returned("return coroutine.wrap(function() end)");
  EXPECT_EQ(wrap->ffid, KX_FFID_wrap_aux);
  EXPECT_EQ(wrap->pc.get(), fast_entry(KX_FE_wrap_aux));
  EXPECT_EQ(returned("return (string.gmatch('a', 'a'))")->ffid, KX_FFID_gmatch_aux);
  lua_getfield(L, LUA_REGISTRYINDEX, "_PRELOAD");
  lua_getfield(L, -1, "table.new");
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
  EXPECT_EQ(funcV(L->top - 1)->ffid, KX_FFID_table_new);
  // ipairs returns the iterator that the base stream creates without storing it.
  GcFunc* iter = returned("return (ipairs({}))");
  EXPECT_EQ(iter->ffid, kx_libdef::ffid("base", "ipairs_aux"));
  EXPECT_EQ(iter->pc.get(), fast_entry(kx_libdef::fast_entry("base", "ipairs_aux")));
}

}  // namespace
