// Untrusted bytes loaded as a binary chunk (mode "b"): the reader must refuse what is malformed,
// never read or write out of bounds. What loads is dumped and loaded again, and the two dumps have
// the same size.
#include "fuzz_support.h"
#include "lauxlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 64 << 20);
  int status = luaL_loadbufferx(L, reinterpret_cast<const char*>(data), size, "=fuzz", "b");
  kx_fuzz_check_status(L, status);
  if (status == LUA_OK) kx_fuzz_redump(L);
  kx_fuzz_close(L, &a);
  return 0;
}
