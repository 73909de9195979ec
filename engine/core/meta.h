// Metamethod lookup with the absence cache of metatables: the collector asks for __gc and __mode,
// the interpreter for the rest (vm/meta.h).
#pragma once

#include "core/state.h"
#include "core/table.h"

// The metamethod n of a metatable, or null; caches absence for the first eight metamethods.
inline const Value* kx_meta_cache(GcTable* mt, MetaMethod mm, GcString* name) {
  const Value* mo = kx_tab_getstr(mt, name);
  if (mo == nullptr || tv_isnil(mo)) {
    mt->nomm |= static_cast<uint8_t>(1u << mm);
    return nullptr;
  }
  return mo;
}
inline const Value* kx_meta_fast(GlobalState* g, GcTable* mt, MetaMethod mm) {
  if (mt == nullptr || (mt->nomm & (1u << mm))) return nullptr;
  return kx_meta_cache(mt, mm, mmname(g, mm));
}
