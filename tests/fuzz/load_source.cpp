// Source text through the lexer and the compiler, running nothing. What compiles is dumped, loaded
// back as a binary chunk and dumped again to the same size: the writer and the reader must agree on
// every prototype the compiler can make.
#include "fuzz_support.h"
#include "lauxlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 64 << 20);
  int status = luaL_loadbufferx(L, reinterpret_cast<const char*>(data), size, "=fuzz", "t");
  kx_fuzz_check_status(L, status);
  if (status == LUA_OK) kx_fuzz_redump(L);
  kx_fuzz_close(L, &a);
  return 0;
}
