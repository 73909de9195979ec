// The memory entry points.
#include "core/mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "core/err.h"
#include "core/state.h"

// The byte total is 32 bits: engine memory ends at 4 GiB.
static bool mem_total_fits(const GlobalState* g, size_t osz, size_t nsz) {
  return nsz <= osz || nsz - osz <= UINT32_MAX - g->gc.total;
}

#if KX_64
static bool mem_fits(const void* q, size_t n) { return kx_ref_fits(static_cast<const char*>(q) + n - 1); }

// A fresh block from a user's allocation function; one at or above 4 GiB cannot be referenced, so it
// is given back and the call counts as failed.
static void* mem_user_new(GlobalState* g, size_t n) {
  void* q = g->alloc_fn(g->alloc_ud, nullptr, 0, n);
  if (q && !mem_fits(q, n)) {
    g->alloc_fn(g->alloc_ud, q, n, 0);
    q = nullptr;
  }
  return q;
}

// A user's allocation function may return memory anywhere. A block grows by allocating, copying and
// freeing, so that a refused block never takes the old one with it. A shrunk block that the function
// moved beyond 4 GiB is copied back down; shrinking must not fail, so if that is impossible the
// process ends rather than keep a reference it cannot hold.
static void* mem_user(GlobalState* g, void* p, size_t osz, size_t nsz) {
  if (nsz == 0) return g->alloc_fn(g->alloc_ud, p, osz, 0);
  if (p == nullptr || nsz > osz) {
    void* q = mem_user_new(g, nsz);
    if (q && p) {
      memcpy(q, p, osz);
      g->alloc_fn(g->alloc_ud, p, osz, 0);
    }
    return q;
  }
  void* q = g->alloc_fn(g->alloc_ud, p, osz, nsz);
  if (q == nullptr || mem_fits(q, nsz)) return q;
  void* low = mem_user_new(g, nsz);
  if (low == nullptr) {
    fputs("PANIC: the allocation function moved a block beyond 4 GiB\n", stderr);
    abort();
  }
  memcpy(low, q, nsz);
  g->alloc_fn(g->alloc_ud, q, nsz, 0);
  return low;
}
#endif

// The engine's own allocator is called directly rather than through its lua_Alloc entry.
static void* mem_call(GlobalState* g, void* p, size_t osz, size_t nsz) {
  if (g->alloc_fn == kx_alloc_f) {
    KxArena* a = static_cast<KxArena*>(g->alloc_ud);
    if (nsz == 0) {
      kx_alloc_free(a, p);
      return nullptr;
    }
    return p ? kx_alloc_realloc(a, p, nsz) : kx_alloc_malloc(a, nsz);
  }
#if KX_64
  return mem_user(g, p, osz, nsz);
#else
  return g->alloc_fn(g->alloc_ud, p, osz, nsz);
#endif
}

void* kx_mem_tryrealloc(GlobalState* g, void* p, size_t osz, size_t nsz) {
  if (!mem_total_fits(g, osz, nsz)) return nullptr;
  void* q = mem_call(g, p, osz, nsz);
  if (q || nsz == 0) g->gc.total = static_cast<uint32_t>(g->gc.total - osz + nsz);
  return q;
}

void* kx_mem_realloc(lua_State* L, void* p, size_t osz, size_t nsz) {
  GlobalState* g = G(L);
  if (!mem_total_fits(g, osz, nsz)) kx_err_mem(L);
  p = mem_call(g, p, osz, nsz);
  if (p == nullptr && nsz > 0) kx_err_mem(L);
  g->gc.total = static_cast<uint32_t>(g->gc.total - osz + nsz);
  return p;
}

GcObj* kx_mem_newgco(lua_State* L, size_t size) {
  GlobalState* g = G(L);
  if (!mem_total_fits(g, 0, size)) kx_err_mem(L);
  GcObj* o = static_cast<GcObj*>(mem_call(g, nullptr, 0, size));
  if (o == nullptr) kx_err_mem(L);
  g->gc.total += static_cast<uint32_t>(size);
  o->gc_next = g->gc.root;
  g->gc.root = o;
  o->gc_marks = g->gc.current_white & KX_GC_WHITES;
  return o;
}

// The count goes first, so that the free is the last call (a jump, for the collector's sweep).
void kx_mem_free(GlobalState* g, void* p, size_t size) {
  if (p == nullptr) return;
  g->gc.total -= static_cast<uint32_t>(size);
  mem_call(g, p, size, 0);
}
