// Source text through the lexer and the compiler, running nothing. What compiles is dumped, loaded
// back as a binary chunk and dumped again to the same size: the writer and the reader must agree on every prototype
// the compiler can make. (The bytes may differ: a table constant's keys are written in the order of its
// hash part, which depends on the instance's hash seed.)
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "lauxlib.h"

namespace {

int append(lua_State*, const void* p, size_t n, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), n);
  return 0;
}

// The dump of the function on top, or false when the memory ran short.
bool dump(lua_State* L, std::string* out) { return lua_dump(L, append, out) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzAlloc a;
  lua_State* L = kx_fuzz_newstate(&a, 64 << 20);
  int status = luaL_loadbufferx(L, reinterpret_cast<const char*>(data), size, "=fuzz", "t");
  kx_fuzz_check_status(L, status);
  std::string first, second;
  if (status == LUA_OK && dump(L, &first)) {
    status = luaL_loadbufferx(L, first.data(), first.size(), "=fuzz", "b");
    kx_fuzz_check_status(L, status);
    if (status != LUA_OK && status != LUA_ERRMEM) abort();  // the reader refused the writer's output
    if (status == LUA_OK && dump(L, &second) && first.size() != second.size()) abort();
  }
  kx_fuzz_close(L, &a);
  return 0;
}
