// The incremental tri-colour collector.
//
// A cycle marks from the roots through the grey list, finishes marking in one atomic step, flips
// the current white, sweeps the string chains one slot per step and the object list 40 objects per
// step, and finally runs the finalizers of the userdata that became unreachable. Objects carrying
// the other white after the flip are dead. Work per step is bounded by a budget in cost units.
#include "core/gc.h"

#include "core/cdata.h"
#include "core/frame.h"
#include "core/mem.h"
#include "core/meta.h"

namespace {

constexpr uint32_t GC_STEPSIZE = 1024;     // debt paid off per step, and the slack after a step
constexpr uint32_t GC_SWEEPMAX = 40;       // objects swept per step
constexpr uint32_t GC_SWEEPCOST = 10;
constexpr uint32_t GC_FINALIZECOST = 100;
constexpr uint32_t GC_MAXCOST = 0x7fffff00;

inline void white2gray(GcObj* o) { o->gc_marks &= static_cast<uint8_t>(~KX_GC_WHITES); }
inline void gray2black(GcObj* o) { o->gc_marks |= KX_GC_BLACK; }
inline void black2gray(GcObj* o) { o->gc_marks &= static_cast<uint8_t>(~KX_GC_BLACK); }
inline void makewhite(const GlobalState* g, GcObj* o) {
  o->gc_marks = static_cast<uint8_t>((o->gc_marks & ~(KX_GC_WHITES | KX_GC_BLACK)) | kx_gc_newwhite(g));
}
// While marking, a barrier moves the frontier forward; in the other phases it whitens the holder.
inline bool marking(const GlobalState* g) { return g->gc.phase == KX_GC_PROPAGATE || g->gc.phase == KX_GC_ATOMIC; }
// Live during a sweep: black, grey, the current white or fixed (or, at shutdown, super-fixed).
inline bool sweep_live(const GlobalState* g, const GcObj* o) {
  return ((o->gc_marks ^ KX_GC_WHITES) & (g->gc.current_white ^ KX_GC_WHITES)) != 0;
}

Ref<GcObj>* graylink(GcObj* o) {
  switch (o->gc_type) {
    case KX_ITAB: return &reinterpret_cast<GcTable*>(o)->gray_link;
    case KX_IFUNC: return &reinterpret_cast<GcFunc*>(o)->gray_link;
    case KX_IPROTO: return &reinterpret_cast<GcProto*>(o)->gray_link;
    default: return &reinterpret_cast<lua_State*>(o)->gray_link;
  }
}

inline void push_list(Ref<GcObj>* list, GcObj* o) {
  *graylink(o) = *list;
  *list = o;
}

// ---- Marking ------------------------------------------------------------------------------------------

void gc_mark(GlobalState* g, GcObj* o);

inline void gc_markobj(GlobalState* g, GcObj* o) {
  if (o && kx_gc_iswhite(o)) gc_mark(g, o);
}
template <typename T>
inline void gc_markobj(GlobalState* g, T* o) { gc_markobj(g, obj2gco(o)); }
template <typename T>
inline void gc_markobj(GlobalState* g, Ref<T> o) { gc_markobj(g, obj2gco(o)); }
inline void gc_marktv(GlobalState* g, const Value* v) {
  if (tv_isgc(v) && kx_gc_iswhite(gcV(v))) gc_mark(g, gcV(v));
}

void mark_udata(GlobalState* g, GcUdata* ud) {
  gray2black(obj2gco(ud));  // userdata are never grey
  gc_markobj(g, ud->metatable);
  gc_markobj(g, ud->env);
  if (ud->udtype == KX_UDTYPE_BUFFER) {
    StrBufExt* sbx = static_cast<StrBufExt*>(uddata(ud));
    if (sbx->sb.owner & KX_SBUF_COW) gc_markobj(g, sbx->ref);
    gc_markobj(g, sbx->dict_str);
    gc_markobj(g, sbx->dict_mt);
  }
}

// Strings and C data hold no references and never become grey; userdata and closed upvalues turn
// black at once; open upvalues stay grey, their values are marked again through the ring in the
// atomic phase. Everything else goes onto the grey list.
void gc_mark(GlobalState* g, GcObj* o) {
  white2gray(o);
  switch (o->gc_type) {
    case KX_ISTR:
    case KX_ICDATA:
      return;
    case KX_IUPVAL: {
      GcUpval* uv = reinterpret_cast<GcUpval*>(o);
      gc_marktv(g, uv->v);
      if (uv->closed) gray2black(o);
      return;
    }
    case KX_IUDATA:
      mark_udata(g, reinterpret_cast<GcUdata*>(o));
      return;
    default:
      push_list(&g->gc.gray, o);
  }
}

void mark_roots(GlobalState* g) {
  for (uint32_t i = 0; i < KX_ROOT_COUNT; i++) gc_markobj(g, g->roots[i]);
}

void mark_start(GlobalState* g) {
  g->gc.gray = g->gc.gray_again = g->gc.weak = nullptr;
  lua_State* mainth = mainthread(g);
  gc_markobj(g, mainth);
  gc_markobj(g, mainth->env);
  gc_markobj(g, g->finalizer_thread);
  gc_marktv(g, &g->registry);
  mark_roots(g);
  g->gc.phase = KX_GC_PROPAGATE;
}

// ---- Traversal ----------------------------------------------------------------------------------------

// Marks what a table references; returns whether it stays grey (a weak table, cleared in the
// atomic phase).
bool traverse_tab(GlobalState* g, GcTable* t) {
  GcTable* mt = t->metatable;
  gc_markobj(g, mt);
  uint8_t weak = 0;
  const Value* mode = kx_meta_fast(g, mt, MM_mode);
  if (mode && tv_isstr(mode)) {
    const GcString* s = strV(mode);
    for (uint32_t i = 0; i < s->len; i++) {
      if (strdata(s)[i] == 'k') weak |= KX_GC_WEAKKEY;
      else if (strdata(s)[i] == 'v') weak |= KX_GC_WEAKVAL;
    }
  }
  t->gc_marks &= static_cast<uint8_t>(~(KX_GC_WEAKKEY | KX_GC_WEAKVAL));
  bool stays_grey = false;
  if (weak) {
    if (obj2gco(t) == g->roots[KX_ROOT_FFI_FINALIZERS]) {
      // The C data finalizer table: its keys must not keep objects alive, but their entries go
      // when the objects are finalized, not when they turn white.
      weak = KX_GC_WEAKKEY;
    } else {
      t->gc_marks |= weak;
      push_list(&g->gc.weak, obj2gco(t));
      stays_grey = true;
    }
  }
  if (weak == (KX_GC_WEAKKEY | KX_GC_WEAKVAL)) return stays_grey;
  if (!(weak & KX_GC_WEAKVAL))
    for (uint32_t i = 0; i < t->asize; i++) gc_marktv(g, &t->array[i]);
  if (t->hmask > 0) {
    for (uint32_t i = 0; i <= t->hmask; i++) {
      TableNode* n = &t->node[i];
      if (tv_isnil(&n->val)) continue;
      if (!(weak & KX_GC_WEAKKEY)) gc_marktv(g, &n->key);
      if (!(weak & KX_GC_WEAKVAL)) gc_marktv(g, &n->val);
    }
  }
  return stays_grey;
}

uint32_t tab_cost(const GcTable* t) {
  return static_cast<uint32_t>(sizeof(GcTable) + sizeof(Value) * t->asize +
                               (t->hmask ? sizeof(TableNode) * (t->hmask + 1) : 0));
}

uint32_t traverse_func(GlobalState* g, GcFunc* fn) {
  gc_markobj(g, fn->env);
  uint32_t n = fn->upvalue_count;
  if (isluafunc(fn)) {
    gc_markobj(g, funcproto(fn));
    for (uint32_t i = 0; i < n; i++) gc_markobj(g, fn->l.uvptr[i]);
    return kx_func_sizeL(n);
  }
  for (uint32_t i = 0; i < n; i++) gc_marktv(g, &fn->c.upvalue[i]);
  return kx_func_sizeC(n);
}

uint32_t traverse_proto(GlobalState* g, GcProto* pt) {
  gc_markobj(g, pt->chunk_name);
  for (int32_t i = -static_cast<int32_t>(pt->gc_const_count); i < 0; i++) gc_markobj(g, proto_kgc(pt, i));
  return pt->total_size;
}

// Marks the function of every frame; returns the number of slots the frames need, counted from the
// stack start: the top, or the end of the register window of a Lua frame when that lies higher.
uint32_t traverse_frames(GlobalState* g, lua_State* th) {
  Value* st = th->stack;
  Value* need = th->top;
  for (Value* frame = th->base - 1; frame > st; frame = frame_prev(frame)) {
    // The payload is the frame's function, or the thread itself in a frame made harmless after
    // an overflow; the tag word is the frame link, never a value.
    GcObj* fo = gcV(frame);
    gc_markobj(g, fo);
    if (fo->gc_type == KX_IFUNC && isluafunc(reinterpret_cast<GcFunc*>(fo))) {
      Value* ftop = frame + 1 + funcproto(reinterpret_cast<GcFunc*>(fo))->frame_size;
      if (ftop > need) need = ftop;
    }
  }
  if (need > th->stack_limit) need = th->stack_limit;
  return static_cast<uint32_t>(need - st);
}

// Threads are always traversed again in the atomic phase, where the dead part of the stack is
// cleared and an oversized stack shrinks. Frame slots lie below the top and are scanned like values
// too: a frame link is an instruction address or a small distance, never a tag of an object.
uint32_t traverse_thread(GlobalState* g, lua_State* th) {
  Value* st = th->stack;
  for (Value* o = st + 1; o < th->top; o++) gc_marktv(g, o);
  bool atomic = g->gc.phase == KX_GC_ATOMIC;
  if (atomic)
    for (Value* o = th->top; o < st + th->stack_size; o++) setnilV(o);
  gc_markobj(g, th->env);
  uint32_t used = traverse_frames(g, th);
  if (atomic) kx_state_shrinkstack(th, used);
  return static_cast<uint32_t>(sizeof(lua_State) + sizeof(Value) * th->stack_size);
}

// Traverses the first grey object; returns its cost.
uint32_t propagate_one(GlobalState* g) {
  GcObj* o = g->gc.gray;
  gray2black(o);
  g->gc.gray = *graylink(o);
  switch (o->gc_type) {
    case KX_ITAB: {
      GcTable* t = reinterpret_cast<GcTable*>(o);
      if (traverse_tab(g, t)) black2gray(o);
      return tab_cost(t);
    }
    case KX_IFUNC:
      return traverse_func(g, reinterpret_cast<GcFunc*>(o));
    case KX_IPROTO:
      return traverse_proto(g, reinterpret_cast<GcProto*>(o));
    default: {
      push_list(&g->gc.gray_again, o);
      black2gray(o);
      return traverse_thread(g, reinterpret_cast<lua_State*>(o));
    }
  }
}

uint32_t propagate_all(GlobalState* g) {
  uint32_t m = 0;
  while (g->gc.gray) m += propagate_one(g);
  return m;
}

// ---- Weak tables --------------------------------------------------------------------------------------

// Whether a weak reference goes. Strings are values, not references: they are marked instead.
bool may_clear(const Value* o, bool isvalue) {
  if (!tv_isgc(o)) return false;
  if (tv_isstr(o)) {
    white2gray(gcV(o));
    return false;
  }
  if (kx_gc_iswhite(gcV(o))) return true;
  // A userdata queued for finalization leaves weak values at once; as a key it stays until freed.
  return isvalue && tv_isudata(o) && (gcV(o)->gc_marks & KX_GC_FINALIZED);
}

void clear_weak(GcObj* o) {
  while (o) {
    GcTable* t = reinterpret_cast<GcTable*>(o);
    if (t->gc_marks & KX_GC_WEAKVAL)
      for (uint32_t i = 0; i < t->asize; i++)
        if (may_clear(&t->array[i], true)) setnilV(&t->array[i]);
    if (t->hmask > 0) {
      for (uint32_t i = 0; i <= t->hmask; i++) {
        TableNode* n = &t->node[i];
        if (!tv_isnil(&n->val) && (may_clear(&n->key, false) || may_clear(&n->val, true))) setnilV(&n->val);
      }
    }
    o = t->gray_link;
  }
}

// ---- Finalizers ---------------------------------------------------------------------------------------

// Appends an object to the finalizer list. The list is circular and finalize_list names its last
// element, so the oldest entry is finalized first.
void queue_finalize(GlobalState* g, GcObj* o) {
  if (GcObj* last = g->gc.finalize_list) {
    o->gc_next = last->gc_next;
    last->gc_next = o;
  } else {
    o->gc_next = o;
  }
  g->gc.finalize_list = o;
}

// Marks the objects awaiting finalization: they, and what they reference, live until their
// finalizers have run.
void mark_finalize_list(GlobalState* g) {
  GcObj* last = g->gc.finalize_list;
  if (last == nullptr) return;
  GcObj* o = last;
  do {
    o = o->gc_next;
    makewhite(g, o);
    gc_mark(g, o);
  } while (o != last);
}

// Takes the first object off the finalizer list, gives it back to the object list and runs its
// finalizer.
void gc_finalize(lua_State* L) {
  GlobalState* g = G(L);
  GcObj* last = g->gc.finalize_list;
  GcObj* o = last->gc_next;
  if (o == last) g->gc.finalize_list = nullptr;
  else last->gc_next = o->gc_next;
  makewhite(g, o);
  Value fn;
  if (o->gc_type == KX_ICDATA) {
    o->gc_next = g->gc.root;
    g->gc.root = o;
    o->gc_marks &= static_cast<uint8_t>(~KX_GC_CDATA_FIN);
    Value key;
    setgcV(&key, o, KX_TCDATA);
    Value* slot = const_cast<Value*>(kx_tab_get(L, reinterpret_cast<GcTable*>(g->roots[KX_ROOT_FFI_FINALIZERS].get()), &key));
    if (tv_isnil(slot)) return;
    copyV(&fn, slot);
    setnilV(slot);
  } else {
    lua_State* mainth = mainthread(g);
    o->gc_next = mainth->gc_next;
    mainth->gc_next = o;
    const Value* mo = kx_meta_fast(g, reinterpret_cast<GcUdata*>(o)->metatable, MM_gc);
    if (mo == nullptr) return;
    copyV(&fn, mo);
  }
  kx_vm_finalize(L, &fn, o);
}

// Finalizers wait while C-level entries are nested so deep that the protected call of a finalizer
// could not be entered.
bool finalizers_blocked(const GlobalState* g) { return g->c_entries >= KX_MAX_CENTRIES; }

// ---- Sweeping -----------------------------------------------------------------------------------------

using FreeFn = void (*)(GlobalState*, GcObj*);
template <typename T, void (*F)(GlobalState*, T*)>
void free_as(GlobalState* g, GcObj* o) {
  F(g, reinterpret_cast<T*>(o));
}
// A C data object with a finalizer is not freed but queued for finalization; it dies in a later
// cycle. The final sweep of lua_close frees it: every finalizer has run by then.
void free_cdata(GlobalState* g, GcObj* o) {
  if ((o->gc_marks & KX_GC_CDATA_FIN) && !(g->gc.current_white & KX_GC_SFIXED)) {
    queue_finalize(g, o);
    return;
  }
  kx_cdata_free(g, reinterpret_cast<GcCdata*>(o));
}

// Indexed by type byte - KX_ISTR. Traces are freed by the trace compiler, which this build does not
// create.
const FreeFn gc_freefunc[] = {
    free_as<GcString, kx_str_free>, free_as<GcUpval, kx_func_freeuv>, free_as<lua_State, kx_state_free>,
    free_as<GcProto, kx_func_freeproto>, free_as<GcFunc, kx_func_free>, nullptr, free_cdata,
    free_as<GcTable, kx_tab_free>, free_as<GcUdata, kx_udata_free>,
};

// Sweeps up to lim objects from the link p; returns the link where the sweep stops.
Ref<GcObj>* gc_sweep(GlobalState* g, Ref<GcObj>* p, uint32_t lim) {
  GcObj* o;
  while ((o = *p) != nullptr && lim-- > 0) {
    if (o->gc_type == KX_ITHREAD)
      gc_sweep(g, reinterpret_cast<Ref<GcObj>*>(&reinterpret_cast<lua_State*>(o)->open_upvalues), ~0u);
    if (sweep_live(g, o)) {
      makewhite(g, o);
      p = &o->gc_next;
    } else {
      *p = o->gc_next;
      gc_freefunc[o->gc_type - KX_ISTR](g, o);
    }
  }
  return p;
}

// Sweeps one interning chain, keeping the slot's dense flag.
void gc_sweepstr(GlobalState* g, uint32_t* slot) {
  Ref<GcObj> head;
  head.bits = *slot & ~1u;
  Ref<GcObj>* p = &head;
  GcObj* o;
  while ((o = *p) != nullptr) {
    if (sweep_live(g, o)) {
      makewhite(g, o);
      p = &o->gc_next;
    } else {
      *p = o->gc_next;
      kx_str_free(g, reinterpret_cast<GcString*>(o));
    }
  }
  *slot = kx_ref_bits(head) | (*slot & 1);
}

// The estimate follows the bytes a sweep or finalizer step has released.
void estimate_release(GlobalState* g, uint32_t old_total) {
  if (old_total <= g->gc.total) return;
  uint32_t freed = old_total - g->gc.total;
  g->gc.estimate = freed < g->gc.estimate ? g->gc.estimate - freed : 0;
}

// The temporary buffer gives back half its room each cycle; when the allocation function cannot
// shrink it, it keeps its room.
void shrink_tempbuf(GlobalState* g) {
  StrBuf* sb = &g->temp_buf;
  uint32_t osize = sbufsz(sb);
  if (osize <= 64) return;
  uint32_t nsize = osize >> 1;
  char* b = static_cast<char*>(kx_mem_tryrealloc(g, sb->b, osize, nsize));
  if (b == nullptr) return;
  sb->b = sb->w = b;
  sb->e = b + nsize;
}

// ---- Phases -------------------------------------------------------------------------------------------

void atomic(GlobalState* g, lua_State* L) {
  // Open upvalues may belong to threads nothing else reaches any more.
  for (GcUpval* uv = g->upvalue_ring.ring.next; uv != &g->upvalue_ring; uv = uv->ring.next)
    if (kx_gc_isgrey(obj2gco(uv))) gc_marktv(g, uv->v);
  propagate_all(g);

  g->gc.gray = g->gc.weak;  // weak tables are traversed again
  g->gc.weak = nullptr;
  gc_markobj(g, L);
  if (g->ctype_state) kx_ctype_gcmark(g);
  mark_roots(g);
  gc_marktv(g, &g->registry);  // the registry slot may have been replaced through the C API
  propagate_all(g);

  g->gc.gray = g->gc.gray_again;
  g->gc.gray_again = nullptr;
  propagate_all(g);

  uint32_t udsize = kx_gc_separateudata(g, 0);
  mark_finalize_list(g);
  udsize += propagate_all(g);

  clear_weak(g->gc.weak);
  shrink_tempbuf(g);

  g->gc.current_white ^= KX_GC_WHITES;
  g->empty_string.gc_marks = kx_gc_newwhite(g);
  g->gc.sweep_string = 0;
  g->gc.sweep = &g->gc.root;
  g->gc.estimate = g->gc.total - udsize;
}

uint32_t gc_onestep(lua_State* L) {
  GlobalState* g = G(L);
  switch (g->gc.phase) {
    case KX_GC_PAUSE:
      mark_start(g);
      return 0;
    case KX_GC_PROPAGATE:
      if (g->gc.gray) return propagate_one(g);
      g->gc.phase = KX_GC_ATOMIC;
      return 0;
    case KX_GC_ATOMIC:
      atomic(g, L);
      g->gc.phase = KX_GC_SWEEPSTRING;
      return 0;
    case KX_GC_SWEEPSTRING: {
      uint32_t old = g->gc.total;
      gc_sweepstr(g, &g->intern.slots[g->gc.sweep_string++]);
      if (g->gc.sweep_string > g->intern.mask) g->gc.phase = KX_GC_SWEEP;
      estimate_release(g, old);
      return GC_SWEEPCOST;
    }
    case KX_GC_SWEEP: {
      uint32_t old = g->gc.total;
      g->gc.sweep = gc_sweep(g, g->gc.sweep, GC_SWEEPMAX);
      estimate_release(g, old);
      if (*g->gc.sweep == nullptr) {
        InternTable* it = &g->intern;
        if (it->count <= (it->mask >> 2) && it->mask > 511) kx_str_resize(L, it->mask >> 1);
        if (g->gc.finalize_list) {
          g->gc.phase = KX_GC_FINALIZE;
        } else {
          g->gc.phase = KX_GC_PAUSE;
          g->gc.debt = 0;
        }
      }
      return GC_SWEEPMAX * GC_SWEEPCOST;
    }
    default: {  // KX_GC_FINALIZE
      if (g->gc.finalize_list == nullptr) {
        g->gc.phase = KX_GC_PAUSE;
        g->gc.debt = 0;
        return 0;
      }
      if (finalizers_blocked(g)) return GC_MAXCOST;
      uint32_t old = g->gc.total;
      gc_finalize(L);
      if (old >= g->gc.total && g->gc.estimate > old - g->gc.total) g->gc.estimate -= old - g->gc.total;
      if (g->gc.estimate > GC_FINALIZECOST) g->gc.estimate -= GC_FINALIZECOST;
      return GC_FINALIZECOST;
    }
  }
}

}  // namespace

// ---- Steps --------------------------------------------------------------------------------------------

uint32_t kx_gc_pausethreshold(const GlobalState* g, uint32_t bytes) {
  uint64_t t = static_cast<uint64_t>(bytes / 100) * g->gc.pause;
  return t < KX_GC_NEVER ? static_cast<uint32_t>(t) : KX_GC_NEVER - 1;
}

int kx_gc_step(lua_State* L) {
  GlobalState* g = G(L);
  int32_t ostate = g->vm_state;
  g->vm_state = KX_VMST_GC;
  uint64_t budget = 10ull * g->gc.step_mul;
  int64_t lim = budget == 0 || budget > GC_MAXCOST ? GC_MAXCOST : static_cast<int64_t>(budget);
  if (g->gc.total > g->gc.threshold) g->gc.debt += g->gc.total - g->gc.threshold;
  do {
    lim -= gc_onestep(L);
    if (g->gc.phase == KX_GC_PAUSE) {
      g->gc.threshold = kx_gc_pausethreshold(g, g->gc.estimate);
      g->vm_state = ostate;
      return 1;
    }
  } while (lim > 0);
  g->vm_state = ostate;
  if (g->gc.debt < GC_STEPSIZE) {
    g->gc.threshold = g->gc.total + GC_STEPSIZE;
    return -1;
  }
  g->gc.debt -= GC_STEPSIZE;
  g->gc.threshold = g->gc.total;
  return 0;
}

// The collector's work at an allocating operation. Collector stress builds (KX_GC_STRESS=1: a full
// cycle, KX_GC_STRESS=2: one incremental step) do it at every such operation, so that an object
// not yet reachable from a root, or a store that missed its barrier, is collected at once; a
// stopped collector stays stopped.
static void gc_allocation_step(lua_State* L) {
#if defined(KX_GC_STRESS) && KX_GC_STRESS == 1
  kx_gc_fullgc(L);
#else
  kx_gc_step(L);
#endif
#if defined(KX_GC_STRESS)
  GlobalState* g = G(L);
  if (g->gc.threshold != KX_GC_NEVER) g->gc.threshold = 0;
#endif
}

void kx_gc_check_slow(lua_State* L) { gc_allocation_step(L); }

void kx_gc_step_fixtop(lua_State* L) {
  Value* frame = L->base - 1;
  if (frame > L->stack && isluafunc(funcV(frame))) L->top = L->base + funcproto(funcV(frame))->frame_size;
  gc_allocation_step(L);
}

void kx_gc_fullgc(lua_State* L) {
  GlobalState* g = G(L);
  int32_t ostate = g->vm_state;
  g->vm_state = KX_VMST_GC;
  if (g->gc.phase <= KX_GC_ATOMIC) {
    // Abandon the marking: sweeping with the current white keeps everything.
    g->gc.gray = g->gc.gray_again = g->gc.weak = nullptr;
    g->gc.sweep = &g->gc.root;
    g->gc.sweep_string = 0;
    g->gc.phase = KX_GC_SWEEPSTRING;
  }
  while (g->gc.phase == KX_GC_SWEEPSTRING || g->gc.phase == KX_GC_SWEEP) gc_onestep(L);
  g->gc.phase = KX_GC_PAUSE;
  do gc_onestep(L);
  while (g->gc.phase != KX_GC_PAUSE && !(g->gc.phase == KX_GC_FINALIZE && finalizers_blocked(g)));
  g->gc.threshold = kx_gc_pausethreshold(g, g->gc.estimate);
  g->vm_state = ostate;
}

// ---- Barriers -----------------------------------------------------------------------------------------

void kx_gc_mark(GlobalState* g, GcObj* o) { gc_markobj(g, o); }

void kx_gc_barrierback_slow(GlobalState* g, GcTable* t) {
  black2gray(obj2gco(t));
  push_list(&g->gc.gray_again, obj2gco(t));
}

void kx_gc_barrierf_slow(GlobalState* g, GcObj* o, GcObj* v) {
  if (marking(g)) gc_mark(g, v);
  else makewhite(g, o);
}

void kx_gc_barrieruv_slow(GlobalState* g, Value* slot) {
  GcObj* uv = reinterpret_cast<GcObj*>(reinterpret_cast<char*>(slot) - offsetof(GcUpval, value));
  if (marking(g)) gc_mark(g, gcV(slot));
  else makewhite(g, uv);
}

void kx_gc_closeuv(GlobalState* g, GcUpval* uv) {
  GcObj* o = obj2gco(uv);
  if (!kx_gc_isgrey(o)) return;  // a closed upvalue is never grey
  if (marking(g)) {
    gray2black(o);
    gc_marktv(g, &uv->value);
  } else {
    makewhite(g, o);
  }
}

// ---- Finalization -------------------------------------------------------------------------------------

uint32_t kx_gc_separateudata(GlobalState* g, int all) {
  uint32_t m = 0;
  Ref<GcObj>* p = &mainthread(g)->gc_next;
  GcObj* o;
  while ((o = *p) != nullptr) {
    GcUdata* ud = reinterpret_cast<GcUdata*>(o);
    if ((o->gc_marks & KX_GC_FINALIZED) || !(all || kx_gc_iswhite(o))) {
      p = &o->gc_next;
      continue;
    }
    o->gc_marks |= KX_GC_FINALIZED;  // examined once: without a __gc now, never finalized
    if (kx_meta_fast(g, ud->metatable, MM_gc) == nullptr) {
      p = &o->gc_next;
      continue;
    }
    m += static_cast<uint32_t>(sizeof(GcUdata)) + ud->len;
    *p = o->gc_next;
    queue_finalize(g, o);
  }
  // The object sweep may have stood on a userdata that left the list: it starts again from the
  // head, which only repeats work.
  if (m && g->gc.phase == KX_GC_SWEEP) g->gc.sweep = &g->gc.root;
  return m;
}

void kx_gc_finalize_cdata(lua_State* L) {
  GlobalState* g = G(L);
  GcTable* t = reinterpret_cast<GcTable*>(g->roots[KX_ROOT_FFI_FINALIZERS].get());
  t->metatable = nullptr;  // the table no longer holds weak references
  for (uint32_t i = t->hmask + 1; i-- > 0;) {
    if (i > t->hmask) continue;  // a finalizer has resized the table
    TableNode* n = &t->node[i];
    if (tv_isnil(&n->val) || !tv_iscdata(&n->key)) continue;
    GcObj* o = gcV(&n->key);
    makewhite(g, o);
    o->gc_marks &= static_cast<uint8_t>(~KX_GC_CDATA_FIN);
    Value fn;
    copyV(&fn, &n->val);
    setnilV(&n->val);
    kx_vm_finalize(L, &fn, o);
  }
}

void kx_gc_finalize_udata(lua_State* L) {
  while (G(L)->gc.finalize_list && !finalizers_blocked(G(L))) gc_finalize(L);
}

void kx_gc_freeall(GlobalState* g) {
  // Objects whose finalizers never ran go back behind the main thread and die with the rest.
  if (GcObj* last = g->gc.finalize_list) {
    lua_State* mainth = mainthread(g);
    GcObj* first = last->gc_next;
    last->gc_next = mainth->gc_next;
    mainth->gc_next = first;
    g->gc.finalize_list = nullptr;
  }
  gc_sweep(g, &g->gc.root, ~0u);
  for (uint32_t i = 0; g->intern.slots && i <= g->intern.mask; i++) gc_sweepstr(g, &g->intern.slots[i]);
}
