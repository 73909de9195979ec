// Creating and closing an instance, threads and their stacks.
#include "core/state.h"

#include <cstdlib>
#include <cstring>

#include "compiler/lex.h"
#include "core/alloc.h"
#include "core/gc.h"
#include "core/mem.h"
#include "vm/entry.h"
#include "vm/err.h"
#include "vm/vm.h"

const char* const kx_meta_names[MM__MAX] = {
    "__index", "__newindex", "__gc", "__mode", "__eq", "__len", "__lt", "__le",
    "__concat", "__call", "__add", "__sub", "__mul", "__div", "__mod", "__pow",
    "__unm", "__metatable", "__tostring", "__new", "__pairs", "__ipairs",
};

// ---- Stacks --------------------------------------------------------------------------------------------

static void stack_init(lua_State* L1, lua_State* L) {
  uint32_t size = KX_STACK_START + KX_STACK_EXTRA;
  Value* st = kx_mem_newvec<Value>(L, size);
  L1->stack = st;
  L1->stack_size = size;
  setthreadV(st, L1);
  for (uint32_t i = 1; i < size; i++) setnilV(&st[i]);
  L1->base = L1->top = st + 1;
  L1->stack_limit = st + KX_STACK_START;
}

void kx_state_resizestack(lua_State* L, uint32_t usable) {
  GlobalState* g = G(L);
  Value* old = L->stack;
  uint32_t osize = L->stack_size, nsize = usable + KX_STACK_EXTRA;
  Value* st = kx_mem_reallocvec(L, old, osize, nsize);
  for (uint32_t i = osize; i < nsize; i++) setnilV(&st[i]);
  L->stack = st;
  L->stack_size = nsize;
  L->stack_limit = st + usable;
  // Pointers move by their offset within the stack: old and new stack may lie more than 2 GiB apart,
  // where adding the distance between them would overflow.
  L->base = st + (L->base - old);
  L->top = st + (L->top - old);
  if (g->trace_base && g->trace_base >= old && g->trace_base < old + osize) g->trace_base = st + (g->trace_base - old);
  for (GcUpval* uv = L->open_upvalues; uv; uv = reinterpret_cast<GcUpval*>(uv->gc_next.get())) uv->v = st + (uv->v - old);
}

void kx_state_growstack(lua_State* L, uint32_t need) {
  uint32_t size = L->stack_size, n = size + need;
  if (n > KX_STACK_MAX - 1) kx_err_stkov(L);
  if (n < 2 * size) n = 2 * size < KX_STACK_MAX ? 2 * size : KX_STACK_MAX;
  kx_state_resizestack(L, n);
}

void kx_state_shrinkstack(lua_State* L, uint32_t used) {
  if (L->stack_size > KX_STACK_MAX + KX_STACK_EXTRA) return;  // an overflow is being handled
  if (4 * used < L->stack_size && L->stack_size > 90 && G(L)->trace_base == nullptr)
    kx_state_resizestack(L, L->stack_size / 2);
}

// ---- Threads -------------------------------------------------------------------------------------------

static lua_State* thread_new(lua_State* L) {
  lua_State* L1 = reinterpret_cast<lua_State*>(kx_mem_newgco(L, sizeof(lua_State)));
  L1->gc_type = KX_ITHREAD;
  L1->dummy_ffid = KX_FF_C;
  L1->status = LUA_OK;
  L1->global = G(L);
  L1->gray_link = nullptr;
  L1->stack = nullptr;
  L1->stack_size = 0;
  L1->open_upvalues = nullptr;
  L1->c_frame = nullptr;
  L1->env = L->env;
  stack_init(L1, L);
  return L1;
}

extern "C" lua_State* lua_newthread(lua_State* L) {
  kx_gc_check(L);
  lua_State* L1 = thread_new(L);
  setthreadV(L->top, L1);
  kx_state_incr_top(L);
  return L1;
}

void kx_state_free(GlobalState* g, lua_State* L1) {
  if (g->current_thread == L1) g->current_thread = nullptr;
  if (L1->open_upvalues) kx_func_closeuv(L1, L1->stack);
  kx_mem_freevec(g, L1->stack, L1->stack_size);
  kx_mem_free(g, L1, sizeof(lua_State));
}

// ---- Creating an instance --------------------------------------------------------------------------------

// The steps of creation that may allocate, run under a protected entry.
static Value* state_open(lua_State* L, lua_CFunction, void*) {
  GlobalState* g = G(L);
  stack_init(L, L);
  L->env = kx_tab_new(L, 0, 6);
  settabV(&g->registry, kx_tab_new(L, 0, 2));
  uint64_t seed = kx_prng_u64(&g->prng);
  g->intern.seed_lo = static_cast<uint32_t>(seed);
  g->intern.seed_hi = static_cast<uint32_t>(seed >> 32);
  kx_str_resize(L, 255);
  for (uint32_t i = 0; i < MM__MAX; i++) g->roots[KX_ROOT_MM + i] = obj2gco(kx_str_newz(L, kx_meta_names[i]));
  kx_lex_init(L);
  kx_err_str(L, KX_ERR_NotEnoughMemory)->gc_marks |= KX_GC_FIXED;
  kx_err_str(L, KX_ERR_ErrorInErrorHandling)->gc_marks |= KX_GC_FIXED;
  g->gc.threshold = 4 * g->gc.total;
  // The finalizer table of C data: weak keys, its own metatable.
  GcTable* fin = kx_tab_new_ah(L, 0, 1);
  fin->metatable = fin;
  setstrV(kx_tab_setstr(L, fin, mmname(g, MM_mode)), kx_str_newz(L, "k"));
  fin->nomm = static_cast<uint8_t>(~(1u << MM_mode));
  g->roots[KX_ROOT_FFI_FINALIZERS] = obj2gco(fin);
  g->finalizer_thread = thread_new(L);
  return nullptr;
}

static void state_free_all(lua_State* L);

extern "C" lua_State* lua_newstate(lua_Alloc f, void* ud) {
  PrngState prng;
  if (!kx_prng_seed_secure(&prng)) return nullptr;
  KxArena* arena = nullptr;
  if (reinterpret_cast<uintptr_t>(f) == KX_ALLOC_ENGINE) {
    arena = kx_alloc_create(&prng);
    if (arena == nullptr) return nullptr;
    f = kx_alloc_f;
    ud = arena;
  }
  StateBlock* block = static_cast<StateBlock*>(f(ud, nullptr, 0, sizeof(StateBlock)));
  if (block && !kx_ref_fits(reinterpret_cast<char*>(block + 1) - 1)) {
    f(ud, block, sizeof(StateBlock), 0);  // beyond the reach of references
    block = nullptr;
  }
  if (block == nullptr) {
    if (arena) kx_alloc_destroy(arena);
    return nullptr;
  }
  memset(block, 0, sizeof(StateBlock));
  lua_State* L = &block->L;
  GlobalState* g = &block->g;
  L->gc_marks = KX_GC_WHITE0 | KX_GC_FIXED | KX_GC_SFIXED;
  L->gc_type = KX_ITHREAD;
  L->dummy_ffid = KX_FF_C;
  L->global = g;
  g->alloc_fn = f;
  g->alloc_ud = ud;
  g->gc.current_white = KX_GC_WHITE0 | KX_GC_FIXED;
  g->empty_string.gc_marks = KX_GC_WHITE0;
  g->empty_string.gc_type = KX_ISTR;
  g->prng = prng;
  if (arena) kx_alloc_setprng(arena, &g->prng);
  g->intern.mask = ~0u;
  setnilV(&g->registry);
  setnilV(&g->nil_node.val);
  setnilV(&g->nil_node.key);
  g->nil_node.free_top = &g->nil_node;
  g->upvalue_ring.ring.prev = g->upvalue_ring.ring.next = &g->upvalue_ring;
  g->gc.sweep = &g->gc.root;
  g->main_thread = L;
  g->gc.phase = KX_GC_PAUSE;
  g->gc.root = obj2gco(L);
  g->gc.total = sizeof(StateBlock);
  g->gc.step_mul = 200;
  g->gc.pause = 200;
  g->vm_state = KX_VMST_C;
  kx_vm_init_dispatch(g);
  kx_jit_init(kx_jit(g));
  L->status = KX_STATUS_CREATING;
  if (kx_vm_cpcall(L, nullptr, nullptr, state_open) != LUA_OK) {
    state_free_all(L);
    return nullptr;
  }
  L->status = LUA_OK;
  return L;
}

// ---- Closing an instance ---------------------------------------------------------------------------------

// Frees every object, the instance's arrays and the block itself.
static void state_free_all(lua_State* L) {
  GlobalState* g = G(L);
  kx_func_closeuv(L, L->stack);
  g->gc.current_white = KX_GC_WHITES | KX_GC_SFIXED;
  kx_gc_freeall(g);
  if (g->intern.slots) kx_mem_freevec(g, g->intern.slots, g->intern.mask + 1);
  kx_buf_free(g, &g->temp_buf);
  if (L->stack) kx_mem_freevec(g, L->stack, L->stack_size);
  lua_Alloc f = g->alloc_fn;
  void* ud = g->alloc_ud;
  f(ud, L, sizeof(StateBlock), 0);
  if (f == kx_alloc_f) kx_alloc_destroy(static_cast<KxArena*>(ud));
}

static Value* cp_finalize(lua_State* L, lua_CFunction, void*) {
  kx_gc_finalize_cdata(L);
  kx_gc_finalize_udata(L);
  return nullptr;
}

// Runs every pending finalizer, in up to ten passes: finalizers may leave new objects with
// finalizers behind. A pass that a finalizer aborts with an error starts again.
static void close_finalize(lua_State* L) {
  GlobalState* g = G(L);
  kx_gc_separateudata(g, 1);
  for (int pass = 0;;) {
    g->hook_mask |= KX_HOOK_ACTIVE;
    L->status = LUA_OK;
    L->c_frame = nullptr;
    L->base = L->top = L->stack + 1;
    if (kx_vm_cpcall(L, nullptr, nullptr, cp_finalize) != LUA_OK) continue;
    if (++pass >= 10) break;
    kx_gc_separateudata(g, 1);
    if (g->gc.finalize_list == nullptr) break;
  }
}

extern "C" void lua_close(lua_State* L) {
  GlobalState* g = G(L);
  L = mainthread(g);
  g->current_thread = nullptr;
  kx_func_closeuv(L, L->stack);
  close_finalize(L);
  state_free_all(L);
}
