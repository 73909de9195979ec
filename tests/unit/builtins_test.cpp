// The library functions written in the engine's bytecode assemble into bodies that the dump reader
// accepts, and the reader refuses malformed bodies.
#include <gtest/gtest.h>

#include <vector>

#include "bytecode/bcdump.h"
#include "bytecode/bcread.h"
#include "core/state.h"
#include "lauxlib.h"
#include "lib/builtins.h"

namespace {

struct Reader {
  lua_State* L = luaL_newstate();
  ~Reader() { lua_close(L); }

  // Reads a body in a protected call: the status, and the prototype on success.
  int read(const uint8_t* body, size_t size, bool trusted, GcProto** out) {
    struct Args {
      const uint8_t* body;
      size_t size;
      bool trusted;
      GcProto* pt;
    } args{body, size, trusted, nullptr};
    lua_pushcfunction(L, [](lua_State* L) -> int {
      Args* a = static_cast<Args*>(lua_touserdata(L, 1));
      BcProtoReader r;
      r.L = L;
      r.p = a->body;
      r.pe = a->body + a->size;
      r.flags = KX_BCDUMP_F_STRIP;
      r.chunk_name = kx_str_newz(L, "test");
      r.level = savestack(L, L->top);
      r.trusted = a->trusted;
      r.given_name = "=test";
      a->pt = kx_bcread_proto(&r);
      return 0;
    });
    lua_pushlightuserdata(L, &args);
    int status = lua_pcall(L, 1, 0, 0);
    *out = args.pt;
    return status;
  }
};

TEST(Builtins, AssembleIntoValidBodies) {
  Reader rd;
  const std::pair<const char*, std::vector<uint8_t>> all[] = {
      {"len", {kx_builtins::len.begin(), kx_builtins::len.end()}},
      {"deg", {kx_builtins::deg.begin(), kx_builtins::deg.end()}},
      {"rad", {kx_builtins::rad.begin(), kx_builtins::rad.end()}},
      {"getn", {kx_builtins::getn.begin(), kx_builtins::getn.end()}},
      {"foreachi", {kx_builtins::foreachi.begin(), kx_builtins::foreachi.end()}},
      {"foreach", {kx_builtins::foreach.begin(), kx_builtins::foreach.end()}},
      {"remove", {kx_builtins::remove.begin(), kx_builtins::remove.end()}},
      {"move", {kx_builtins::move.begin(), kx_builtins::move.end()}},
  };
  for (auto& [name, body] : all) {
    GcProto* pt;
    ASSERT_EQ(rd.read(body.data(), body.size(), true, &pt), 0) << name << ": " << lua_tostring(rd.L, -1);
    EXPECT_GT(pt->code_size, 2u) << name;
  }
}

TEST(Builtins, RawAccessIsRefusedOutsideBuiltIns) {
  Reader rd;
  GcProto* pt;
  std::vector<uint8_t> body(kx_builtins::foreachi.begin(), kx_builtins::foreachi.end());
  ASSERT_EQ(rd.read(body.data(), body.size(), false, &pt), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(rd.L, -1), "test: cannot load malformed bytecode");
}

TEST(Builtins, NumberConstantsKeepTheirBits) {
  Reader rd;
  GcProto* pt;
  std::vector<uint8_t> body(kx_builtins::deg.begin(), kx_builtins::deg.end());
  ASSERT_EQ(rd.read(body.data(), body.size(), true, &pt), 0);
  EXPECT_EQ(pt->consts[0].n, 57.29577951308232);
}

TEST(Builtins, MutatedBodiesNeverCrashTheReader) {
  // Every single-byte change and every truncation either loads or fails with the message.
  Reader rd;
  std::vector<uint8_t> good(kx_builtins::move.begin(), kx_builtins::move.end());
  for (size_t i = 0; i < good.size(); i++) {
    for (int delta : {1, 0x40, 0x80, 0xff}) {
      std::vector<uint8_t> bad = good;
      bad[i] = static_cast<uint8_t>(bad[i] + delta);
      GcProto* pt;
      int status = rd.read(bad.data(), bad.size(), false, &pt);
      if (status != 0) {
        ASSERT_EQ(status, LUA_ERRSYNTAX);
        lua_pop(rd.L, 1);
      }
    }
    GcProto* pt;
    if (rd.read(good.data(), i, true, &pt) != 0) lua_pop(rd.L, 1);
  }
}

}  // namespace
