// Untrusted bytes loaded as a binary chunk (mode "b"): the reader must refuse what is malformed,
// never read or write out of bounds. What loads is dumped and loaded again, and the two dumps have the same size.
#include <string>

#include "fuzz_support.h"
#include "lauxlib.h"

namespace {

int append(lua_State*, const void* p, size_t n, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), n);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 64 << 20);
  int status = luaL_loadbufferx(L, reinterpret_cast<const char*>(data), size, "=fuzz", "b");
  kx_fuzz_check_status(L, status);
  std::string first, second;
  if (status == LUA_OK && lua_dump(L, append, &first) == 0) {
    status = luaL_loadbufferx(L, first.data(), first.size(), "=fuzz", "b");
    kx_fuzz_check_status(L, status);
    if (status != LUA_OK && status != LUA_ERRMEM) abort();  // its own dump refused
    if (status == LUA_OK && lua_dump(L, append, &second) == 0 && first.size() != second.size()) abort();
  }
  kx_fuzz_close(L, &a);
  return 0;
}
