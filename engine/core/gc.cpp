// The collector's entry points. Until the incremental collector exists, memory only grows while the
// state lives: steps do no work, nothing is ever marked (so no barrier has anything to do), and
// lua_close frees every object at once.
#include "core/gc.h"

#include "core/mem.h"

int kx_gc_step(lua_State* L) {
  GlobalState* g = G(L);
  g->gc.threshold = g->gc.total + (g->gc.total >> 1) + 1024;
  return 0;
}

void kx_gc_check_slow(lua_State* L) { kx_gc_step(L); }
void kx_gc_step_fixtop(lua_State* L) { kx_gc_step(L); }
void kx_gc_fullgc(lua_State* L) {}

void kx_gc_barrierback_slow(GlobalState* g, GcTable* t) {}
void kx_gc_barrierf_slow(GlobalState* g, GcObj* o, GcObj* v) {}
void kx_gc_barrieruv_slow(GlobalState* g, Value* slot) {}
void kx_gc_closeuv(GlobalState* g, GcUpval* uv) {}

static void gc_freeobj(GlobalState* g, GcObj* o) {
  switch (o->gc_type) {
    case KX_ISTR: kx_str_free(g, reinterpret_cast<GcString*>(o)); break;
    case KX_IUPVAL: kx_func_freeuv(g, reinterpret_cast<GcUpval*>(o)); break;
    case KX_ITHREAD: kx_state_free(g, reinterpret_cast<lua_State*>(o)); break;
    case KX_IPROTO: kx_func_freeproto(g, reinterpret_cast<GcProto*>(o)); break;
    case KX_IFUNC: kx_func_free(g, reinterpret_cast<GcFunc*>(o)); break;
    case KX_ITAB: kx_tab_free(g, reinterpret_cast<GcTable*>(o)); break;
    case KX_IUDATA: kx_udata_free(g, reinterpret_cast<GcUdata*>(o)); break;
  }
}

void kx_gc_freeall(GlobalState* g) {
  GcObj** link = &g->gc.root;
  while (GcObj* o = *link) {
    if (o->gc_marks & KX_GC_SFIXED) {
      link = &o->gc_next;
      continue;
    }
    *link = o->gc_next;
    gc_freeobj(g, o);
  }
  InternTable* it = &g->intern;
  for (uint32_t i = 0; it->slots && i <= it->mask; i++) {
    GcObj* s = reinterpret_cast<GcObj*>(it->slots[i] & ~uintptr_t(1));
    while (s) {
      GcObj* next = s->gc_next;
      gc_freeobj(g, s);
      s = next;
    }
    it->slots[i] = 0;
  }
}
