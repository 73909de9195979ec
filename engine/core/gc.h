// The incremental tri-colour collector: steps paced by allocated bytes, barriers that keep the
// invariant that no black object references a white one while marking, finalizers and freeing.
#pragma once

#include "core/state.h"

void kx_gc_check_slow(lua_State* L);
// One incremental step: 1 when it finished a cycle, 0 or -1 otherwise.
int kx_gc_step(lua_State* L);
void kx_gc_fullgc(lua_State* L);
// The threshold that lets memory grow to `pause` percent of `bytes`, (bytes / 100) × pause.
uint32_t kx_gc_pausethreshold(const GlobalState* g, uint32_t bytes);

// Moves the userdata that need finalization (all of them, or only unreachable ones) to the
// finalizer list; returns their bytes.
uint32_t kx_gc_separateudata(GlobalState* g, int all);
// Runs every pending finalizer (lua_close): those of C data left in the finalizer table, then those
// of the objects on the finalizer list.
void kx_gc_finalize_cdata(lua_State* L);
void kx_gc_finalize_udata(lua_State* L);
// Frees every object and string except the super-fixed ones (the final sweep of lua_close, with
// the current white set to both whites plus the super-fixed bit).
void kx_gc_freeall(GlobalState* g);

// Marks an object that something outside the object graph keeps alive (no-op unless white).
void kx_gc_mark(GlobalState* g, GcObj* o);

void kx_gc_barrierback_slow(GlobalState* g, GcTable* t);
void kx_gc_barrierf_slow(GlobalState* g, GcObj* o, GcObj* v);
void kx_gc_barrieruv_slow(GlobalState* g, Value* slot);

// A collector step when the byte total has reached the threshold.
inline void kx_gc_check(lua_State* L) {
  if (G(L)->gc.total >= G(L)->gc.threshold) kx_gc_check_slow(L);
}

// A collectable white value was stored into a black table.
inline void kx_gc_barrierback(GlobalState* g, GcTable* t) {
  if (kx_gc_isblack(obj2gco(t))) kx_gc_barrierback_slow(g, t);
}
// Stores of a value into a table.
inline void kx_gc_barriert(GlobalState* g, GcTable* t, const Value* v) {
  if (tv_isgc(v) && kx_gc_iswhite(gcV(v))) kx_gc_barrierback(g, t);
}
// A white object stored into a black non-table object.
inline void kx_gc_objbarrier(GlobalState* g, GcObj* o, GcObj* v) {
  if (kx_gc_iswhite(v) && kx_gc_isblack(o)) kx_gc_barrierf_slow(g, o, v);
}

// A step after making the running Lua frame's whole register window visible to the collector.
void kx_gc_step_fixtop(lua_State* L);
// Colour bookkeeping for an upvalue that has just been closed.
void kx_gc_closeuv(GlobalState* g, GcUpval* uv);

inline bool kx_gc_isdead(const GlobalState* g, const GcObj* o) {
  return (o->gc_marks & (g->gc.current_white ^ KX_GC_WHITES) & KX_GC_WHITES) != 0;
}
inline void kx_gc_flipwhite(GcObj* o) { o->gc_marks ^= KX_GC_WHITES; }
inline uint8_t kx_gc_newwhite(const GlobalState* g) { return g->gc.current_white & KX_GC_WHITES; }

// ---- Provided by the interpreter ------------------------------------------------------------------------
// Calls the finalizer fn(o) on the finalizer thread, with hooks and collection steps held off, and
// makes L the current thread again. An error it raises goes no further than the error-in-finalizer
// event. A finalizer runs under a protected call, which is the interpreter's (vm/finalizer.cpp).
void kx_vm_finalize(lua_State* L, const Value* fn, GcObj* o);
