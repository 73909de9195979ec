// Fast-function ids and fast-path entries that the interpreter, the error machinery and the
// libraries refer to by name, all derived from the library definitions (vm/libdefs.h): library
// functions are numbered from 2 in the order of the streams, and fast-path functions also take
// consecutive entries of the FastEntryTable. The interpreter's table of fast paths is filled in by
// the libraries (lib/fastpath.cpp).
#pragma once

#include <array>
#include <cstdint>

#include "bytecode/bc.h"
#include "core/value.h"
#include "vm/libdefs.h"

enum : uint8_t {
  KX_FFID_next = kx_libdef::ffid("base", "next"),
  KX_FFID_tostring = kx_libdef::ffid("base", "tostring"),
  KX_FFID_xpcall = kx_libdef::ffid("base", "xpcall"),
  KX_FFID_wrap_aux = kx_libdef::ffid("coroutine", "wrap_aux"),
  KX_FFID_gmatch_aux = kx_libdef::ffid("string", "gmatch_aux"),
  KX_FFID_table_new = kx_libdef::ffid("table", "new"),
  KX_FFID_table_clear = kx_libdef::ffid("table", "clear"),
  // The shift and the and/or/xor functions of the bit library share a handler each.
  KX_FFID_bit_lshift = kx_libdef::ffid("bit", "lshift"),
  KX_FFID_bit_rshift = kx_libdef::ffid("bit", "rshift"),
  KX_FFID_bit_arshift = kx_libdef::ffid("bit", "arshift"),
  KX_FFID_bit_rol = kx_libdef::ffid("bit", "rol"),
  KX_FFID_bit_band = kx_libdef::ffid("bit", "band"),
  KX_FFID_bit_bor = kx_libdef::ffid("bit", "bor"),
};

enum : uint32_t {
  KX_FE_pcall = kx_libdef::fast_entry("base", "pcall"),
  KX_FE_xpcall = kx_libdef::fast_entry("base", "xpcall"),
  KX_FE_yield = kx_libdef::fast_entry("coroutine", "yield"),
  KX_FE_wrap_aux = kx_libdef::fast_entry("coroutine", "wrap_aux"),
};

// Entry points of the built-in fast functions follow the opcodes in the dispatch order.
constexpr uint32_t KX_FF_COUNT = kx_libdef::fast_entry_count();
constexpr uint32_t BC__DISPATCH = BC__MAX + KX_FF_COUNT;

// Scripts see the ids ("[builtin#30]" in a traceback is print): the last function of each stream
// keeps its number.
static_assert(kx_libdef::ffid("base", "print") == 30 && kx_libdef::ffid("coroutine", "wrap") == 38);
static_assert(kx_libdef::ffid("math", "randomseed") == 64 && kx_libdef::ffid("bit", "tohex") == 76);
static_assert(kx_libdef::ffid("string", "format") == 90 && kx_libdef::ffid("table", "clear") == 97);
static_assert(kx_libdef::ffid("io_method", "__tostring") == 106 && kx_libdef::ffid("io", "type") == 117);
static_assert(kx_libdef::ffid("os", "setlocale") == 128 && kx_libdef::ffid("debug", "traceback") == 146);
static_assert(kx_libdef::ffid("jit", "attach") == 152 && kx_libdef::ffid("jit_util", "ircalladdr") == 163);
static_assert(kx_libdef::ffid("jit_opt", "start") == 164 && kx_libdef::ffid("jit_profile", "dumpstack") == 167);
static_assert(kx_libdef::ffid("ffi_meta", "__index") == 168 && kx_libdef::ffid("ffi", "load") == 207);
static_assert(kx_libdef::ffid("buffer_method", "free") == 208 && kx_libdef::ffid("buffer", "decode") == 226);
static_assert(KX_FF_COUNT == 57);

// A fast path: computes the results into base[0] ... and returns their number, or KX_FF_FALLBACK to
// let the function's C handler decide. It may allocate; the stack may move (reload L->base).
using kx_FastPath = int (*)(lua_State* L, Value* base, uint32_t nargs);
constexpr int KX_FF_FALLBACK = -1;

// Indexed by fast-path entry; null entries always take the fallback.
extern const std::array<kx_FastPath, KX_FF_COUNT> kx_ff_paths;
