// The core C API.
#include "core/gc.h"
#include "core/state.h"
#include "core/str.h"
#include "core/table.h"
#include "lua.h"
#include "vm/err.h"

// The slot that a stack index or pseudo-index names; the shared nil for an absent one.
static Value* index2adr(lua_State* L, int idx) {
  GlobalState* g = G(L);
  if (idx > 0) {
    Value* o = L->base + (idx - 1);
    return o < L->top ? o : niltv(g);
  }
  if (idx > LUA_REGISTRYINDEX) return L->top + idx;
  if (idx == LUA_GLOBALSINDEX) {
    settabV(&g->temp_value, L->env);
    return &g->temp_value;
  }
  if (idx == LUA_REGISTRYINDEX) return &g->registry;
  return niltv(g);
}

static inline void api_push(lua_State* L) { kx_state_incr_top(L); }

extern "C" int lua_gettop(lua_State* L) { return static_cast<int>(L->top - L->base); }

extern "C" void lua_settop(lua_State* L, int idx) {
  if (idx >= 0) {
    Value* newtop = L->base + idx;
    if (newtop > L->stack_limit) kx_state_growstack(L, static_cast<uint32_t>(newtop - L->top));
    newtop = L->base + idx;
    while (L->top < newtop) setnilV(L->top++);
    L->top = newtop;
  } else {
    L->top += idx + 1;
  }
}

extern "C" int lua_type(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (o == niltv(G(L))) return LUA_TNONE;
  return kx_obj_publictype[tv_itype(o)];
}

extern "C" const char* lua_typename(lua_State* L, int t) { return kx_obj_typename[t + 1]; }

extern "C" int lua_isstring(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_isstr(o) || tv_isnum(o);
}

extern "C" const char* lua_tolstring(lua_State* L, int idx, size_t* len) {
  Value* o = index2adr(L, idx);
  if (!tv_isstr(o)) {
    if (len) *len = 0;
    return nullptr;
  }
  GcString* s = strV(o);
  if (len) *len = s->len;
  return strdata(s);
}

extern "C" void lua_pushnil(lua_State* L) {
  setnilV(L->top);
  api_push(L);
}

extern "C" void lua_pushlstring(lua_State* L, const char* str, size_t len) {
  kx_gc_check(L);
  setstrV(L->top, kx_str_new(L, str, len));
  api_push(L);
}

extern "C" void lua_pushstring(lua_State* L, const char* str) {
  if (str) lua_pushlstring(L, str, strlen(str));
  else lua_pushnil(L);
}

extern "C" void lua_createtable(lua_State* L, int narr, int nrec) {
  kx_gc_check(L);
  settabV(L->top, kx_tab_new_ah(L, narr, nrec));
  api_push(L);
}

extern "C" void lua_rawseti(lua_State* L, int idx, int n) {
  GcTable* t = tabV(index2adr(L, idx));
  Value* dst = kx_tab_setint(L, t, n);
  copyV(dst, L->top - 1);
  kx_gc_barriert(G(L), t, L->top - 1);
  L->top--;
}

extern "C" void lua_setfield(lua_State* L, int idx, const char* k) {
  Value* t = index2adr(L, idx);
  GcTable* tab = tabV(t);
  Value* dst = kx_tab_setstr(L, tab, kx_str_newz(L, k));
  copyV(dst, L->top - 1);
  kx_gc_barriert(G(L), tab, L->top - 1);
  L->top--;
}

extern "C" lua_CFunction lua_atpanic(lua_State* L, lua_CFunction panicf) {
  GlobalState* g = G(L);
  lua_CFunction old = g->panic_fn;
  g->panic_fn = panicf;
  return old;
}
