// Creating and closing an instance: the combined block of main thread, GlobalState and dispatch
// area, the steps of creation that may fail (run under a protected entry), and the finalizer passes
// and the freeing of everything at the end.
#include <cstring>

#include "compiler/lex.h"
#include "core/alloc.h"
#include "core/cdata.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"
#include "vm/vm.h"

// ---- Creating an instance --------------------------------------------------------------------------------

// The steps of creation that may allocate, run under a protected entry.
static Value* state_open(lua_State* L, lua_CFunction, void*) {
  GlobalState* g = G(L);
  kx_state_initstack(L, L);
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
  g->finalizer_thread = kx_state_newthread(L);
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
  kx_ctype_freestate(g);  // after the C data, whose sizes it knows
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
