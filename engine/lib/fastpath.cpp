// The interpreter's table of fast paths, filled in by name from the library definitions.
#include "vm/ffid.h"

#define KX_FF_BASE(name) int kx_ff_##name(lua_State* L, Value* base, uint32_t nargs);
#define KX_FF_LIB(lib, name) int kx_ff_##lib##_##name(lua_State* L, Value* base, uint32_t nargs);
#define KX_FASTPATHS(BASE, LIB)                                                                         \
  BASE(assert) BASE(type) BASE(next) BASE(pairs) BASE(ipairs_aux) BASE(ipairs) BASE(getmetatable)         \
  BASE(setmetatable) BASE(rawget) BASE(tonumber) BASE(tostring)                                          \
  LIB(math, abs) LIB(math, floor) LIB(math, ceil) LIB(math, sqrt) LIB(math, log10) LIB(math, exp)       \
  LIB(math, sin) LIB(math, cos) LIB(math, tan) LIB(math, asin) LIB(math, acos) LIB(math, atan)          \
  LIB(math, sinh) LIB(math, cosh) LIB(math, tanh) LIB(math, frexp) LIB(math, modf) LIB(math, log)       \
  LIB(math, atan2) LIB(math, pow) LIB(math, fmod) LIB(math, ldexp) LIB(math, min) LIB(math, max)        \
  LIB(bit, tobit) LIB(bit, bnot) LIB(bit, bswap) LIB(bit, lshift) LIB(bit, rshift) LIB(bit, arshift)    \
  LIB(bit, rol) LIB(bit, ror) LIB(bit, band) LIB(bit, bor) LIB(bit, bxor)                               \
  LIB(string, byte) LIB(string, char) LIB(string, sub) LIB(string, reverse) LIB(string, lower)          \
  LIB(string, upper)

KX_FASTPATHS(KX_FF_BASE, KX_FF_LIB)
#undef KX_FF_BASE
#undef KX_FF_LIB

// pcall, xpcall and coroutine.yield run in the interpreter itself; coroutine.resume and the
// coroutine.wrap iterator always take their handlers.
constinit const std::array<kx_FastPath, KX_FF_COUNT> kx_ff_paths = [] {
  std::array<kx_FastPath, KX_FF_COUNT> paths{};
#define KX_FF_BASE(name) paths[kx_libdef::fast_entry("base", #name)] = kx_ff_##name;
#define KX_FF_LIB(lib, name) paths[kx_libdef::fast_entry(#lib, #name)] = kx_ff_##lib##_##name;
  KX_FASTPATHS(KX_FF_BASE, KX_FF_LIB)
#undef KX_FF_BASE
#undef KX_FF_LIB
  return paths;
}();
