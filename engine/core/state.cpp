// Threads and their stacks; the metamethod names. An instance as a whole is created and closed by
// the interpreter (vm/instance.cpp), which runs the steps that may fail under its protected entry.
#include "core/state.h"

#include "core/cdata.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"

const char* const kx_meta_names[MM__MAX] = {
    "__index", "__newindex", "__gc", "__mode", "__eq", "__len", "__lt", "__le",
    "__concat", "__call", "__add", "__sub", "__mul", "__div", "__mod", "__pow",
    "__unm", "__metatable", "__tostring", "__new", "__pairs", "__ipairs",
};

// ---- Stacks --------------------------------------------------------------------------------------------

void kx_state_initstack(lua_State* L1, lua_State* L) {
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
  if (4 * used < L->stack_size && L->stack_size > 90)
    kx_state_resizestack(L, L->stack_size / 2);
}

// ---- Threads -------------------------------------------------------------------------------------------

lua_State* kx_state_newthread(lua_State* L) {
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
  kx_state_initstack(L1, L);
  return L1;
}

extern "C" lua_State* lua_newthread(lua_State* L) {
  kx_gc_check(L);
  lua_State* L1 = kx_state_newthread(L);
  setthreadV(L->top, L1);
  kx_state_incr_top(L);
  return L1;
}

void kx_state_free(GlobalState* g, lua_State* L1) {
  if (g->current_thread == L1) g->current_thread = nullptr;
  if (g->ctype_state) kx_ctype_thread_freed(g, L1);
  if (L1->open_upvalues) kx_func_closeuv(L1, L1->stack);
  kx_mem_freevec(g, L1->stack, L1->stack_size);
  kx_mem_free(g, L1, sizeof(lua_State));
}
