// The memory entry points.
#include "core/mem.h"

#include "core/state.h"
#include "vm/err.h"

void* kx_mem_realloc(lua_State* L, void* p, size_t osz, size_t nsz) {
  GlobalState* g = G(L);
  p = g->alloc_fn(g->alloc_ud, p, osz, nsz);
  if (p == nullptr && nsz > 0) kx_err_mem(L);
  g->gc.total = static_cast<uint32_t>(g->gc.total - osz + nsz);
  return p;
}

GcObj* kx_mem_newgco(lua_State* L, size_t size) {
  GlobalState* g = G(L);
  GcObj* o = static_cast<GcObj*>(g->alloc_fn(g->alloc_ud, nullptr, 0, size));
  if (o == nullptr) kx_err_mem(L);
  g->gc.total += static_cast<uint32_t>(size);
  o->gc_next = g->gc.root;
  g->gc.root = o;
  o->gc_marks = g->gc.current_white & KX_GC_WHITES;
  return o;
}

void kx_mem_free(GlobalState* g, void* p, size_t size) {
  if (p == nullptr) return;
  g->alloc_fn(g->alloc_ud, p, size, 0);
  g->gc.total -= static_cast<uint32_t>(size);
}
