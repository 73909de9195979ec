// Closures, upvalues and userdata as objects.
#include "core/func.h"

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"

static void ring_unlink(GcUpval* uv) {
  uv->ring.prev->ring.next = uv->ring.next;
  uv->ring.next->ring.prev = uv->ring.prev;
}

static void ring_insert(GlobalState* g, GcUpval* uv) {
  GcUpval* head = &g->upvalue_ring;
  uv->ring.prev = head;
  uv->ring.next = head->ring.next;
  head->ring.next->ring.prev = uv;
  head->ring.next = uv;
}

// The one open upvalue of a stack slot, created when absent. The open list is sorted by slot,
// highest first, so closures over the same live local share one upvalue.
static GcUpval* find_upval(lua_State* L, Value* slot) {
  GlobalState* g = G(L);
  Ref<GcUpval>* pp = &L->open_upvalues;
  GcUpval* p;
  while ((p = *pp) != nullptr && p->v >= slot) {
    if (p->v == slot) {
      if (kx_gc_isdead(g, obj2gco(p))) kx_gc_flipwhite(obj2gco(p));
      return p;
    }
    pp = reinterpret_cast<Ref<GcUpval>*>(&p->gc_next);
  }
  GcUpval* uv = kx_mem_newobj<GcUpval>(L);
  uv->gc_type = KX_IUPVAL;
  uv->gc_marks = kx_gc_newwhite(g);
  uv->closed = 0;
  uv->immutable = 0;
  uv->v = slot;
  uv->dhash = 0;
  uv->gc_next = obj2gco(p);
  *pp = uv;
  ring_insert(g, uv);
  return uv;
}

static GcFunc* func_newL(lua_State* L, GcProto* pt, GcTable* env) {
  uint32_t n = pt->upval_count;
  GcFunc* fn = reinterpret_cast<GcFunc*>(kx_mem_newgco(L, kx_func_sizeL(n)));
  fn->gc_type = KX_IFUNC;
  fn->ffid = KX_FF_LUA;
  // The count gives the object's size when it is freed: a closure whose upvalues ran out of memory
  // is left unreachable on the object list and must still be freed with the size it was allocated with.
  // The callers fill the upvalue slots before the closure becomes reachable; until then the
  // collector never reads them.
  fn->upvalue_count = static_cast<uint8_t>(n);
  fn->env = env;
  fn->gray_link = nullptr;
  fn->pc = proto_bc(pt);
  if (pt->flags < 0xe0) pt->flags += 0x20;  // the closure counter
  return fn;
}

static inline uint32_t align_up(uint32_t n, uint32_t a) { return (n + a - 1) & ~(a - 1); }

GcProto* kx_func_newproto(lua_State* L, uint32_t code_size, uint32_t gc_count, uint32_t num_count,
                          uint32_t upval_count, uint32_t debug_size) {
  uint32_t ofs_gc = sizeof(GcProto) + 4 * code_size;
  uint32_t ofs_k = align_up(ofs_gc + 4 * gc_count, 8);
  uint32_t ofs_uv = ofs_k + 8 * num_count;
  uint32_t ofs_debug = ofs_uv + align_up(2 * upval_count, 4);
  uint32_t total = ofs_debug + debug_size;
  char* block = reinterpret_cast<char*>(kx_mem_newgco(L, total));
  GcProto* pt = reinterpret_cast<GcProto*>(block);
  memset(block + sizeof(GcObj), 0, sizeof(GcProto) - sizeof(GcObj));
  memset(block + ofs_gc, 0, ofs_k - ofs_gc);  // the alignment gap and the GC constant slots
  pt->gc_type = KX_IPROTO;
  pt->code_size = code_size;
  pt->consts = reinterpret_cast<Value*>(block + ofs_k);
  pt->upval_descs = reinterpret_cast<uint16_t*>(block + ofs_uv);
  pt->num_const_count = num_count;
  pt->total_size = total;
  pt->upval_count = static_cast<uint8_t>(upval_count);
  pt->line_info = debug_size ? block + ofs_debug : nullptr;
  return pt;
}

GcFunc* kx_func_newL_empty(lua_State* L, GcProto* pt, GcTable* env) {
  GcFunc* fn = func_newL(L, pt, env);
  for (uint32_t i = 0; i < pt->upval_count; i++) {
    uint16_t d = pt->upval_descs[i];
    GcUpval* uv = reinterpret_cast<GcUpval*>(kx_mem_newgco(L, sizeof(GcUpval)));
    uv->gc_type = KX_IUPVAL;
    uv->closed = 1;
    uv->immutable = (d & KX_UV_IMMUTABLE) != 0;
    setnilV(&uv->value);
    uv->v = &uv->value;
    uv->dhash = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pt)) ^ (uint32_t(d) << 24);
    fn->l.uvptr[i] = uv;
  }
  return fn;
}

GcFunc* kx_func_newL_gc(lua_State* L, GcProto* pt, GcFuncL* parent) {
  if (G(L)->gc.total >= G(L)->gc.threshold) kx_gc_step_fixtop(L);
  GcFunc* fn = func_newL(L, pt, parent->env);
  Value* base = L->base;
  uint32_t parent_pc = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parent->pc.get()));
  for (uint32_t i = 0; i < pt->upval_count; i++) {
    uint16_t d = pt->upval_descs[i];
    GcUpval* uv;
    if (d & KX_UV_LOCAL) {
      uv = find_upval(L, base + (d & 0xff));
      uv->immutable = (d & KX_UV_IMMUTABLE) != 0;
      uv->dhash = parent_pc ^ (uint32_t(d) << 24);
    } else {
      uv = parent->uvptr[d];
    }
    fn->l.uvptr[i] = uv;
  }
  return fn;
}

GcFunc* kx_func_newC(lua_State* L, uint32_t n, GcTable* env) {
  GcFunc* fn = reinterpret_cast<GcFunc*>(kx_mem_newgco(L, kx_func_sizeC(n)));
  fn->gc_type = KX_IFUNC;
  fn->ffid = KX_FF_C;
  fn->upvalue_count = static_cast<uint8_t>(n);
  fn->env = env;
  fn->gray_link = nullptr;
  fn->pc = &G(L)->cfunc_entry_external;
  fn->c.cfunc = nullptr;
  for (uint32_t i = 0; i < n; i++) setnilV(&fn->c.upvalue[i]);
  return fn;
}

void kx_func_closeuv(lua_State* L, Value* level) {
  GlobalState* g = G(L);
  GcUpval* uv;
  while ((uv = L->open_upvalues) != nullptr && uv->v >= level) {
    L->open_upvalues = reinterpret_cast<GcUpval*>(uv->gc_next.get());
    ring_unlink(uv);
    if (kx_gc_isdead(g, obj2gco(uv))) {
      kx_mem_free(g, uv, sizeof(GcUpval));
      continue;
    }
    copyV(&uv->value, uv->v);
    uv->closed = 1;
    uv->v = &uv->value;
    uv->gc_next = g->gc.root;
    g->gc.root = obj2gco(uv);
    kx_gc_closeuv(g, uv);
  }
}

void kx_func_free(GlobalState* g, GcFunc* fn) {
  uint32_t n = fn->upvalue_count;
  kx_mem_free(g, fn, isluafunc(fn) ? kx_func_sizeL(n) : kx_func_sizeC(n));
}

void kx_func_freeuv(GlobalState* g, GcUpval* uv) {
  if (!uv->closed) ring_unlink(uv);
  kx_mem_free(g, uv, sizeof(GcUpval));
}

void kx_func_freeproto(GlobalState* g, GcProto* pt) { kx_mem_free(g, pt, pt->total_size); }

GcUdata* kx_udata_new(lua_State* L, uint32_t len, GcTable* env) {
  GlobalState* g = G(L);
  if (len > KX_MAX_STR) kx_err_msg(L, KX_ERR_UserdataLengthOverflow);
  GcUdata* ud = static_cast<GcUdata*>(kx_mem_realloc(L, nullptr, 0, sizeof(GcUdata) + len));
  ud->gc_marks = kx_gc_newwhite(g);
  ud->gc_type = KX_IUDATA;
  ud->udtype = KX_UDTYPE_USERDATA;
  ud->unused = 0;
  ud->env = env;
  ud->len = len;
  ud->metatable = nullptr;
  ud->filler = 0;
  // Userdata form the tail of the object list, behind the main thread, where the finalizer
  // separation looks for them.
  lua_State* mainth = mainthread(g);
  ud->gc_next = mainth->gc_next;
  mainth->gc_next = obj2gco(ud);
  return ud;
}

void kx_udata_free(GlobalState* g, GcUdata* ud) { kx_mem_free(g, ud, sizeof(GcUdata) + ud->len); }
