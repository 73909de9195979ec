// Fast-function ids and fast-entry indices that the interpreter, the error machinery and the
// libraries refer to by name. Library functions are numbered from 2 in the order of the library
// definition streams; fast-path functions also take consecutive entries of the FastEntryTable.
#pragma once

#include <cstdint>

#include "bytecode/bc.h"
#include "core/value.h"

enum : uint8_t {
  KX_FFID_assert = 2,
  KX_FFID_type = 3,
  KX_FFID_next = 4,
  KX_FFID_pairs = 5,
  KX_FFID_ipairs_aux = 6,
  KX_FFID_ipairs = 7,
  KX_FFID_tostring = 19,
  KX_FFID_pcall = 21,
  KX_FFID_xpcall = 22,
  KX_FFID_wrap_aux = 37,
  KX_FFID_gmatch_aux = 87,
  KX_FFID_table_new = 96,
  KX_FFID_table_clear = 97,
};

// Entry points of the built-in fast functions follow the opcodes in the dispatch order.
constexpr uint32_t KX_FF_COUNT = 57;
constexpr uint32_t BC__DISPATCH = BC__MAX + KX_FF_COUNT;

enum : uint32_t {
  KX_FE_pcall = 11,
  KX_FE_xpcall = 12,
  KX_FE_yield = 13,
  KX_FE_resume = 14,
  KX_FE_wrap_aux = 15,
};

// A fast path: computes the results into base[0] ... and returns their number, or KX_FF_FALLBACK to
// let the function's C handler decide. It may allocate; the stack may move (reload L->base).
using kx_FastPath = int (*)(lua_State* L, Value* base, uint32_t nargs);
constexpr int KX_FF_FALLBACK = -1;

// Indexed by fast-entry index; null entries always take the fallback.
extern const kx_FastPath kx_ff_paths[];
