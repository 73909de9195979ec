// The core C API.
#include <cstring>
#include <limits>

#include "core/err.h"
#include "core/frame.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "core/table.h"
#include "lua.h"
#include "vm/debug.h"
#include "vm/dispatch.h"
#include "vm/meta.h"
#include "vm/vm.h"

// ---- Indices ----------------------------------------------------------------------------------------------

// The slot that a stack index or pseudo-index names; the shared nil (the none sentinel) for an
// absent one.
static Value* index2adr(lua_State* L, int idx) {
  GlobalState* g = G(L);
  if (idx > 0) {
    Value* o = L->base + (idx - 1);
    return o < L->top ? o : niltv(g);
  }
  if (idx > LUA_REGISTRYINDEX) return L->top + idx;
  if (idx == LUA_REGISTRYINDEX) return &g->registry;
  GcFunc* fn = funcV(L->base - 1);
  if (idx == LUA_GLOBALSINDEX) {
    settabV(&g->temp_value, L->env);
    return &g->temp_value;
  }
  if (idx == LUA_ENVIRONINDEX) {
    settabV(&g->temp_value, fn->env);
    return &g->temp_value;
  }
  uint32_t n = static_cast<uint32_t>(LUA_GLOBALSINDEX - idx);
  return n <= fn->upvalue_count ? &fn->c.upvalue[n - 1] : niltv(g);
}

static inline bool isnone(lua_State* L, const Value* o) { return o == niltv(G(L)); }

static inline void api_incr_top(lua_State* L) { kx_state_incr_top(L); }

// Whether a function runs in the current frame (its slot holds the function and the frame link;
// a dummy frame holds the thread itself).
static inline bool running_is_func(lua_State* L) {
  Value* frame = L->base - 1;
  return frame > L->stack && funcV(frame) != reinterpret_cast<GcFunc*>(L);
}

// The environment of new C functions and userdata: the running function's, or the thread's globals.
static GcTable* current_env(lua_State* L) { return running_is_func(L) ? funcV(L->base - 1)->env : L->env; }

// ---- Stack manipulation -------------------------------------------------------------------------------------

extern "C" int lua_gettop(lua_State* L) { return static_cast<int>(L->top - L->base); }

extern "C" void lua_settop(lua_State* L, int idx) {
  if (idx >= 0) {
    if (L->base + idx > L->stack_limit) kx_state_growstack(L, static_cast<uint32_t>(L->base + idx - L->top));
    Value* newtop = L->base + idx;
    while (L->top < newtop) setnilV(L->top++);
    L->top = newtop;
  } else {
    L->top += idx + 1;
  }
}

extern "C" void lua_remove(lua_State* L, int idx) {
  Value* p = index2adr(L, idx);
  while (++p < L->top) copyV(p - 1, p);
  L->top--;
}

extern "C" void lua_insert(lua_State* L, int idx) {
  Value* p = index2adr(L, idx);
  for (Value* q = L->top; q > p; q--) copyV(q, q - 1);
  copyV(p, L->top);
}

// Stores src into the slot an index names, with the rules of the pseudo-indices.
static void copy_to(lua_State* L, const Value* src, int idx) {
  GlobalState* g = G(L);
  if (idx == LUA_GLOBALSINDEX) {
    L->env = tabV(src);
    kx_gc_objbarrier(g, obj2gco(L), gcV(src));
    return;
  }
  if (idx == LUA_ENVIRONINDEX) {
    if (!running_is_func(L)) kx_err_msg(L, KX_ERR_NoCallingEnvironment);
    GcFunc* fn = funcV(L->base - 1);
    fn->env = tabV(src);
    kx_gc_objbarrier(g, obj2gco(fn), gcV(src));
    return;
  }
  Value* dst = index2adr(L, idx);
  copyV(dst, src);
  if (idx < LUA_GLOBALSINDEX && tv_isgc(src)) kx_gc_objbarrier(g, obj2gco(funcV(L->base - 1)), gcV(src));
}

extern "C" void lua_replace(lua_State* L, int idx) {
  copy_to(L, L->top - 1, idx);
  L->top--;
}

extern "C" void lua_copy(lua_State* L, int fromidx, int toidx) { copy_to(L, index2adr(L, fromidx), toidx); }

extern "C" void lua_pushvalue(lua_State* L, int idx) {
  copyV(L->top, index2adr(L, idx));
  api_incr_top(L);
}

static Value* cp_growstack(lua_State* L, lua_CFunction, void* ud) {
  kx_state_growstack(L, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ud)));
  return nullptr;
}

extern "C" int lua_checkstack(lua_State* L, int n) {
  if (n > LUAI_MAXCSTACK || (L->top - L->base) + n > LUAI_MAXCSTACK) return 0;
  if (n <= 0 || L->stack_limit - L->top >= n) return 1;
  // Growing runs under a protected entry, for which runaway nesting of entries may leave no room.
  if (G(L)->c_entries >= KX_MAX_CENTRIES) return 0;
  if (kx_vm_cpcall(L, nullptr, reinterpret_cast<void*>(static_cast<uintptr_t>(n)), cp_growstack) != LUA_OK) {
    L->top--;
    return 0;
  }
  return 1;
}

extern "C" void lua_xmove(lua_State* from, lua_State* to, int n) {
  if (from == to) return;
  Value* f = from->top - n;
  for (int i = 0; i < n; i++) {
    copyV(to->top, f + i);
    api_incr_top(to);
  }
  from->top = f;
}

// ---- Access -----------------------------------------------------------------------------------------------------

extern "C" int lua_type(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (isnone(L, o)) return LUA_TNONE;
  return kx_obj_publictype[tv_itype(o)];
}

extern "C" const char* lua_typename(lua_State* L, int t) { return kx_obj_typename[t + 1]; }

extern "C" int lua_isnumber(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  Value tmp;
  return tv_isnum(o) || (tv_isstr(o) && kx_strscan_num(strV(o), &tmp));
}

extern "C" int lua_isstring(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_isstr(o) || tv_isnum(o);
}

extern "C" int lua_iscfunction(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_isfunc(o) && !isluafunc(funcV(o));
}

extern "C" int lua_isuserdata(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_isudata(o) || tv_islightud(o);
}

extern "C" int lua_rawequal(lua_State* L, int idx1, int idx2) {
  Value* a = index2adr(L, idx1);
  Value* b = index2adr(L, idx2);
  if (isnone(L, a) || isnone(L, b)) return 0;
  return kx_obj_equal(a, b);
}

// Runs a metamethod call that a slow path placed above oldtop; returns its first result.
static const Value* api_mmcall(lua_State* L, Value* oldtop, Value* nbase, int nargs) {
  int32_t top_off = savestack(L, oldtop);
  L->top = nbase + nargs;
  kx_vm_call(L, nbase, 1 + 1);
  copyV(&G(L)->temp_value2, L->top - 1);
  L->top = restorestack(L, top_off);
  return &G(L)->temp_value2;
}

extern "C" int lua_equal(lua_State* L, int idx1, int idx2) {
  Value* a = index2adr(L, idx1);
  Value* b = index2adr(L, idx2);
  if (isnone(L, a) || isnone(L, b)) return 0;
  if (kx_obj_equal(a, b)) return 1;
  if (kx_tag(a) != kx_tag(b) || !(tv_istab(a) || tv_isudata(a))) return 0;
  uintptr_t r = kx_meta_equal(L, a, b, false);
  if (r < 2) return static_cast<int>(r);
  return tv_istruecond(api_mmcall(L, L->top, reinterpret_cast<Value*>(r), 2));
}

extern "C" int lua_lessthan(lua_State* L, int idx1, int idx2) {
  Value* a = index2adr(L, idx1);
  Value* b = index2adr(L, idx2);
  if (isnone(L, a) || isnone(L, b)) return 0;
  if (tv_isnum(a) && tv_isnum(b)) return numV(a) < numV(b);
  uintptr_t r = kx_meta_comp(L, a, b, BC_ISLT);
  if (r < 2) return static_cast<int>(r);
  // The call's continuation says whether a true result means "less" or "not less".
  bool direct = reinterpret_cast<Value*>(r)[-2].w.lo == KX_CONT_CONDT;
  bool res = tv_istruecond(api_mmcall(L, L->top, reinterpret_cast<Value*>(r), 2));
  return res == direct;
}

// A number, or a string the scanner accepts; false otherwise.
static bool tonum(const Value* o, double* n) {
  if (tv_isnum(o)) {
    *n = numV(o);
    return true;
  }
  Value tmp;
  if (tv_isstr(o) && kx_strscan_num(strV(o), &tmp)) {
    *n = numV(&tmp);
    return true;
  }
  return false;
}

extern "C" lua_Number lua_tonumberx(lua_State* L, int idx, int* isnum) {
  double n = 0;
  bool ok = tonum(index2adr(L, idx), &n);
  if (isnum) *isnum = ok;
  return ok ? n : 0;
}

extern "C" lua_Number lua_tonumber(lua_State* L, int idx) { return lua_tonumberx(L, idx, nullptr); }

// Truncation toward zero to the width of lua_Integer, the width of a pointer: 32 bits on i386, 64 on
// x86-64, where native modules pass file sizes, offsets and times beyond 2^31 as integers. Values
// outside that range and NaN give the smallest lua_Integer (0x80000000 on i386).
static lua_Integer num2int_trunc(double n) {
  constexpr double limit = sizeof(lua_Integer) == 8 ? 9223372036854775808.0 : 2147483648.0;
  if (n >= -limit && n < limit) return static_cast<lua_Integer>(n);
  return std::numeric_limits<lua_Integer>::min();
}

extern "C" lua_Integer lua_tointegerx(lua_State* L, int idx, int* isnum) {
  double n = 0;
  bool ok = tonum(index2adr(L, idx), &n);
  if (isnum) *isnum = ok;
  return ok ? num2int_trunc(n) : 0;
}

extern "C" lua_Integer lua_tointeger(lua_State* L, int idx) { return lua_tointegerx(L, idx, nullptr); }

extern "C" int lua_toboolean(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_istruecond(o);
}

extern "C" const char* lua_tolstring(lua_State* L, int idx, size_t* len) {
  Value* o = index2adr(L, idx);
  GcString* s;
  if (tv_isstr(o)) {
    s = strV(o);
  } else if (tv_isnum(o)) {
    kx_gc_check(L);
    o = index2adr(L, idx);  // the step may have moved the stack
    s = kx_strfmt_num(L, numV(o));
    setstrV(o, s);
  } else {
    if (len) *len = 0;
    return nullptr;
  }
  if (len) *len = s->len;
  return strdata(s);
}

extern "C" size_t lua_objlen(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (tv_isstr(o)) return strV(o)->len;
  if (tv_istab(o)) return kx_tab_len(tabV(o));
  if (tv_isudata(o)) return udataV(o)->len;
  if (tv_isnum(o)) {
    size_t len;
    lua_tolstring(L, idx, &len);
    return len;
  }
  return 0;
}

extern "C" lua_CFunction lua_tocfunction(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (!tv_isfunc(o)) return nullptr;
  GcFunc* fn = funcV(o);
  GlobalState* g = G(L);
  if (fn->pc == &g->cfunc_entry_internal || fn->pc == &g->cfunc_entry_external) return fn->c.cfunc;
  return nullptr;
}

extern "C" void* lua_touserdata(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (tv_isudata(o)) return uddata(udataV(o));
  if (tv_islightud(o)) return lightudV(o);
  return nullptr;
}

extern "C" lua_State* lua_tothread(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  return tv_isthread(o) ? threadV(o) : nullptr;
}

extern "C" const void* lua_topointer(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (tv_isudata(o)) return uddata(udataV(o));
  if (tv_islightud(o)) return lightudV(o);
  if (tv_iscdata(o)) return reinterpret_cast<const char*>(gcV(o)) + 8;
  if (tv_isgc(o)) return gcV(o);
  return nullptr;
}

// ---- Push ---------------------------------------------------------------------------------------------------------

extern "C" void lua_pushnil(lua_State* L) {
  setnilV(L->top);
  api_incr_top(L);
}

extern "C" void lua_pushnumber(lua_State* L, lua_Number n) {
  setnumV_canon(L->top, n);
  api_incr_top(L);
}

extern "C" void lua_pushinteger(lua_State* L, lua_Integer n) {
  setnumV(L->top, static_cast<double>(n));
  api_incr_top(L);
}

extern "C" void lua_pushlstring(lua_State* L, const char* str, size_t len) {
  kx_gc_check(L);
  setstrV(L->top, kx_str_new(L, str, len));
  api_incr_top(L);
}

extern "C" void lua_pushstring(lua_State* L, const char* str) {
  if (str) lua_pushlstring(L, str, strlen(str));
  else lua_pushnil(L);
}

extern "C" const char* lua_pushvfstring(lua_State* L, const char* fmt, va_list argp) {
  kx_gc_check(L);
  return kx_strfmt_pushvf(L, fmt, argp);
}

extern "C" const char* lua_pushfstring(lua_State* L, const char* fmt, ...) {
  kx_gc_check(L);
  va_list argp;
  va_start(argp, fmt);
  const char* s = kx_strfmt_pushvf(L, fmt, argp);
  va_end(argp);
  return s;
}

extern "C" void lua_pushcclosure(lua_State* L, lua_CFunction f, int n) {
  kx_gc_check(L);
  GcFunc* fn = kx_func_newC(L, static_cast<uint32_t>(n), current_env(L));
  fn->c.cfunc = f;
  L->top -= n;
  for (int i = 0; i < n; i++) copyV(&fn->c.upvalue[i], L->top + i);
  setfuncV(L->top, fn);
  api_incr_top(L);
}

extern "C" void lua_pushboolean(lua_State* L, int b) {
  setboolV(L->top, b != 0);
  api_incr_top(L);
}

extern "C" void lua_pushlightuserdata(lua_State* L, void* p) {
  setlightudV(L->top, p);
  api_incr_top(L);
}

extern "C" int lua_pushthread(lua_State* L) {
  setthreadV(L->top, L);
  api_incr_top(L);
  return mainthread(G(L)) == L;
}

extern "C" void lua_createtable(lua_State* L, int narr, int nrec) {
  kx_gc_check(L);
  settabV(L->top, kx_tab_new_ah(L, narr, nrec));
  api_incr_top(L);
}

extern "C" void* lua_newuserdata(lua_State* L, size_t size) {
  kx_gc_check(L);
  if (size > KX_MAX_STR) kx_err_msg(L, KX_ERR_UserdataLengthOverflow);
  GcUdata* ud = kx_udata_new(L, static_cast<uint32_t>(size), current_env(L));
  setudataV(L->top, ud);
  api_incr_top(L);
  return uddata(ud);
}

// ---- Get ---------------------------------------------------------------------------------------------------------

// Indexing with __index, the result pushed.
static void api_gettable(lua_State* L, const Value* o, const Value* key) {
  Value* oldtop = L->top;
  const Value* v = kx_meta_tget(L, o, key);
  if (v == nullptr) v = api_mmcall(L, oldtop, L->top, 2);
  copyV(L->top, v);
  api_incr_top(L);
}

extern "C" void lua_gettable(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  Value key;
  copyV(&key, L->top - 1);
  L->top--;
  Value obj;
  copyV(&obj, o);
  api_gettable(L, &obj, &key);
}

extern "C" void lua_getfield(lua_State* L, int idx, const char* k) {
  Value obj;
  copyV(&obj, index2adr(L, idx));
  Value key;
  setstrV(&key, kx_str_newz(L, k));
  api_gettable(L, &obj, &key);
}

extern "C" void lua_rawget(lua_State* L, int idx) {
  GcTable* t = tabV(index2adr(L, idx));
  copyV(L->top - 1, kx_tab_get(L, t, L->top - 1));
}

extern "C" void lua_rawgeti(lua_State* L, int idx, int n) {
  GcTable* t = tabV(index2adr(L, idx));
  const Value* v = kx_tab_getint(t, n);
  if (v) copyV(L->top, v);
  else setnilV(L->top);
  api_incr_top(L);
}

extern "C" int lua_getmetatable(lua_State* L, int idx) {
  GcTable* mt = kx_meta_getmt(G(L), index2adr(L, idx));
  if (mt == nullptr) return 0;
  settabV(L->top, mt);
  api_incr_top(L);
  return 1;
}

extern "C" void lua_getfenv(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  if (tv_isfunc(o)) settabV(L->top, funcV(o)->env);
  else if (tv_isudata(o)) settabV(L->top, udataV(o)->env);
  else if (tv_isthread(o)) settabV(L->top, threadV(o)->env);
  else setnilV(L->top);
  api_incr_top(L);
}

extern "C" int lua_next(lua_State* L, int idx) {
  GcTable* t = tabV(index2adr(L, idx));
  int more = kx_tab_next(t, L->top - 1, L->top - 1);
  if (more < 0) kx_err_msg(L, KX_ERR_InvalidNextKey);
  if (more) api_incr_top(L);
  else L->top--;
  return more;
}

// ---- Set ---------------------------------------------------------------------------------------------------------

// Assignment with __newindex; the value is on top, the key in *key.
static void api_settable(lua_State* L, const Value* o, const Value* key) {
  Value* val = L->top - 1;
  Value* slot = kx_meta_tset(L, o, key);
  if (slot) {
    copyV(slot, val);
    if (tv_istab(o)) kx_gc_barriert(G(L), tabV(o), val);
    L->top = val;
    return;
  }
  Value* nbase = L->top;  // the __newindex call was placed above the value
  copyV(nbase + 2, val);
  int32_t val_off = savestack(L, val);
  L->top = nbase + 3;
  kx_vm_call(L, nbase, 0 + 1);
  L->top = restorestack(L, val_off);
}

extern "C" void lua_settable(lua_State* L, int idx) {
  Value obj, key;
  copyV(&obj, index2adr(L, idx));
  copyV(&key, L->top - 2);
  copyV(L->top - 2, L->top - 1);  // the value moves down over the key
  L->top--;
  api_settable(L, &obj, &key);
}

extern "C" void lua_setfield(lua_State* L, int idx, const char* k) {
  Value obj, key;
  copyV(&obj, index2adr(L, idx));
  setstrV(&key, kx_str_newz(L, k));
  api_settable(L, &obj, &key);
}

extern "C" void lua_rawset(lua_State* L, int idx) {
  GcTable* t = tabV(index2adr(L, idx));
  copyV(kx_tab_set(L, t, L->top - 2), L->top - 1);
  kx_gc_barriert(G(L), t, L->top - 1);
  L->top -= 2;
}

extern "C" void lua_rawseti(lua_State* L, int idx, int n) {
  GcTable* t = tabV(index2adr(L, idx));
  copyV(kx_tab_setint(L, t, n), L->top - 1);
  kx_gc_barriert(G(L), t, L->top - 1);
  L->top--;
}

extern "C" int lua_setmetatable(lua_State* L, int idx) {
  GlobalState* g = G(L);
  Value* o = index2adr(L, idx);
  GcTable* mt = tv_isnil(L->top - 1) ? nullptr : tabV(L->top - 1);
  if (tv_istab(o)) {
    tabV(o)->metatable = mt;
    if (mt) kx_gc_barrierback(g, tabV(o));
  } else if (tv_isudata(o)) {
    udataV(o)->metatable = mt;
    if (mt) kx_gc_objbarrier(g, gcV(o), obj2gco(mt));
  } else {
    if ((g->hook_mask & KX_HOOK_GC)) kx_err_caller(L, KX_ERR_BadActionInGc);
    uint32_t it = tv_itype(o);
    if (tv_isbool(o)) {
      g->roots[KX_ROOT_BASEMT + uint32_t(KX_IFALSE)] = obj2gco(mt);
      g->roots[KX_ROOT_BASEMT + uint32_t(KX_ITRUE)] = obj2gco(mt);
    } else {
      g->roots[KX_ROOT_BASEMT + it] = obj2gco(mt);
    }
  }
  L->top--;
  return 1;
}

extern "C" int lua_setfenv(lua_State* L, int idx) {
  Value* o = index2adr(L, idx);
  GcTable* t = tabV(L->top - 1);
  GcObj* target;
  if (tv_isfunc(o)) funcV(o)->env = t, target = gcV(o);
  else if (tv_isudata(o)) udataV(o)->env = t, target = gcV(o);
  else if (tv_isthread(o)) threadV(o)->env = t, target = gcV(o);
  else target = nullptr;
  if (target) kx_gc_objbarrier(G(L), target, obj2gco(t));
  L->top--;
  return target != nullptr;
}

// ---- Calls ----------------------------------------------------------------------------------------------------------

extern "C" void lua_call(lua_State* L, int nargs, int nresults) {
  kx_vm_call(L, L->top - nargs, nresults + 1);
}

extern "C" int lua_pcall(lua_State* L, int nargs, int nresults, int errfunc) {
  GlobalState* g = G(L);
  uint8_t hookmask = g->hook_mask;
  int32_t ef = 0;
  if (errfunc) ef = savestack(L, index2adr(L, errfunc));
  int status = kx_vm_pcall(L, L->top - nargs, nresults + 1, ef);
  if (status) g->hook_mask = static_cast<uint8_t>((g->hook_mask & 0x0f) | (hookmask & 0xf0));
  return status;
}

struct CPCallArgs {
  lua_CFunction func;
  void* ud;
};

// Pushes the C function and its light userdata argument, to be called with no results.
static Value* cp_cpcall(lua_State* L, lua_CFunction func, void* ud) {
  GcFunc* fn = kx_func_newC(L, 0, current_env(L));
  fn->c.cfunc = func;
  setfuncV(L->top++, fn);
  setlightudV(L->top++, ud);
  cframe_raw(L->c_frame)->wanted = 1;  // no results
  return L->top - 1;
}

extern "C" int lua_cpcall(lua_State* L, lua_CFunction func, void* ud) {
  GlobalState* g = G(L);
  uint8_t hookmask = g->hook_mask;
  int status = kx_vm_cpcall(L, func, ud, cp_cpcall);
  if (status) g->hook_mask = static_cast<uint8_t>((g->hook_mask & 0x0f) | (hookmask & 0xf0));
  return status;
}

extern "C" int lua_error(lua_State* L) { kx_err_run(L); }

// ---- Miscellaneous ----------------------------------------------------------------------------------------------

extern "C" void lua_concat(lua_State* L, int n) {
  if (n == 1) return;
  if (n == 0) {
    setstrV(L->top, &G(L)->empty_string);
    api_incr_top(L);
    return;
  }
  kx_gc_check(L);
  int32_t first_off = savestack(L, L->top - n);
  Value* top = L->top - 1;
  int32_t left = n - 1;
  for (;;) {
    Value* nbase = kx_meta_cat(L, top, left);
    if (nbase == nullptr) break;
    // A __concat call was placed over the pair: run it and continue with its result.
    int32_t pair_off = savestack(L, nbase - 2);
    L->top = nbase + 2;
    kx_vm_call(L, nbase, 1 + 1);
    Value* pairleft = restorestack(L, pair_off);
    copyV(pairleft, L->top - 1);
    top = pairleft;
    left = static_cast<int32_t>(top - restorestack(L, first_off));
    if (left < 1) break;
  }
  L->top = restorestack(L, first_off) + 1;
}

extern "C" lua_CFunction lua_atpanic(lua_State* L, lua_CFunction panicf) {
  GlobalState* g = G(L);
  lua_CFunction old = g->panic_fn;
  g->panic_fn = panicf;
  return old;
}

extern "C" lua_Alloc lua_getallocf(lua_State* L, void** ud) {
  GlobalState* g = G(L);
  if (ud) *ud = g->alloc_ud;
  return g->alloc_fn;
}

extern "C" void lua_setallocf(lua_State* L, lua_Alloc f, void* ud) {
  GlobalState* g = G(L);
  g->alloc_fn = f;
  g->alloc_ud = ud;
}

extern "C" const lua_Number* lua_version(lua_State* L) {
  static const lua_Number version = LUA_VERSION_NUM;
  (void)L;
  return &version;
}

extern "C" int lua_status(lua_State* L) { return L->status; }

extern "C" int lua_gc(lua_State* L, int what, int data) {
  GlobalState* g = G(L);
  switch (what) {
    case LUA_GCSTOP:
      g->gc.threshold = KX_GC_NEVER;
      return 0;
    case LUA_GCRESTART:
      g->gc.threshold = data == -1 ? kx_gc_pausethreshold(g, g->gc.total) : g->gc.total;
      return 0;
    case LUA_GCCOLLECT:
      kx_gc_fullgc(L);
      g->gc.threshold = kx_gc_pausethreshold(g, g->gc.estimate);
      return 0;
    case LUA_GCCOUNT:
      return static_cast<int>(g->gc.total >> 10);
    case LUA_GCCOUNTB:
      return static_cast<int>(g->gc.total & 0x3ff);
    case LUA_GCSTEP: {
      // data kilobytes in 64 bits: neither the product nor the difference may wrap.
      int64_t t = static_cast<int64_t>(g->gc.total) - static_cast<int64_t>(data) * 1024;
      g->gc.threshold = t < 0 ? 0 : t < KX_GC_NEVER ? static_cast<uint32_t>(t) : KX_GC_NEVER - 1;
      while (g->gc.total >= g->gc.threshold)
        if (kx_gc_step(L) > 0) return 1;
      return 0;
    }
    case LUA_GCSETPAUSE: {
      int old = static_cast<int>(g->gc.pause);
      g->gc.pause = static_cast<uint32_t>(data);
      return old;
    }
    case LUA_GCSETSTEPMUL: {
      int old = static_cast<int>(g->gc.step_mul);
      g->gc.step_mul = static_cast<uint32_t>(data);
      return old;
    }
    case LUA_GCISRUNNING:
      return g->gc.threshold != KX_GC_NEVER;
    default:
      return -1;
  }
}

// ---- Upvalues ------------------------------------------------------------------------------------------------------

// The slot and name of upvalue n of the function at idx, or null.
static const char* upvalue_slot(lua_State* L, int idx, int n, Value** slot, GcObj** owner) {
  Value* o = index2adr(L, idx);
  if (!tv_isfunc(o)) return nullptr;
  GcFunc* fn = funcV(o);
  if (n < 1 || static_cast<uint32_t>(n) > fn->upvalue_count) return nullptr;
  if (isluafunc(fn)) {
    GcUpval* uv = fn->l.uvptr[n - 1];
    *slot = uv->v;
    *owner = obj2gco(uv);
    return kx_debug_uvname(funcproto(fn), static_cast<uint32_t>(n - 1));
  }
  *slot = &fn->c.upvalue[n - 1];
  *owner = obj2gco(fn);
  return "";
}

extern "C" const char* lua_getupvalue(lua_State* L, int idx, int n) {
  Value* slot;
  GcObj* owner;
  const char* name = upvalue_slot(L, idx, n, &slot, &owner);
  if (name) {
    copyV(L->top, slot);
    api_incr_top(L);
  }
  return name;
}

extern "C" const char* lua_setupvalue(lua_State* L, int idx, int n) {
  Value* slot;
  GcObj* owner;
  const char* name = upvalue_slot(L, idx, n, &slot, &owner);
  if (name) {
    L->top--;
    copyV(slot, L->top);
    if (tv_isgc(L->top)) kx_gc_objbarrier(G(L), owner, gcV(L->top));
  }
  return name;
}

extern "C" void* lua_upvalueid(lua_State* L, int idx, int n) {
  GcFunc* fn = funcV(index2adr(L, idx));
  if (isluafunc(fn)) return fn->l.uvptr[n - 1];
  return &fn->c.upvalue[n - 1];
}

extern "C" void lua_upvaluejoin(lua_State* L, int idx1, int n1, int idx2, int n2) {
  GcFunc* f1 = funcV(index2adr(L, idx1));
  GcFunc* f2 = funcV(index2adr(L, idx2));
  f1->l.uvptr[n1 - 1] = f2->l.uvptr[n2 - 1];
  kx_gc_objbarrier(G(L), obj2gco(f1), obj2gco(f1->l.uvptr[n1 - 1]));
}

extern "C" void KESTRIX_VERSION_SYM(void) {}

// ---- Compiler controls -------------------------------------------------------------------------------------

// The prototype a per-function request names: idx 0 is the Lua function that called the running C
// function; a C function or any other value names none.
static GcProto* mode_proto(lua_State* L, int idx) {
  if (idx == 0) {
    int size;
    Value* frame = kx_debug_frame(L, 1, &size);
    return frame && isluafunc(frame_func(frame)) ? funcproto(frame_func(frame)) : nullptr;
  }
  const Value* o = index2adr(L, idx);
  if (tv_isproto(o)) return protoV(o);
  if (tv_isfunc(o) && isluafunc(funcV(o))) return funcproto(funcV(o));
  return nullptr;
}

// Grants (on) or withdraws the permission to compile, on the prototype itself and/or the prototypes
// nested in it (found among its constants).
static void mode_setproto(GcProto* pt, bool on, bool self, bool nested) {
  if (self) pt->flags = static_cast<uint8_t>(on ? pt->flags & ~KX_PROTO_NOJIT : pt->flags | KX_PROTO_NOJIT);
  if (!nested) return;
  for (uint32_t i = 1; i <= pt->gc_const_count; i++) {
    GcObj* k = proto_kgc(pt, -static_cast<int32_t>(i));
    if (k->gc_type == KX_IPROTO) mode_setproto(reinterpret_cast<GcProto*>(k), on, true, true);
  }
}

// There is no trace compiler: requests change the recorded controls, and flushing has nothing to
// discard.
extern "C" int kestrix_setmode(lua_State* L, int idx, int mode) {
  GlobalState* g = G(L);
  if (g->hook_mask & KX_HOOK_GC) kx_err_caller(L, KX_ERR_BadActionInGc);
  bool on = (mode & KESTRIX_MODE_ON) != 0, flush = (mode & KESTRIX_MODE_FLUSH) != 0;
  switch (mode & KESTRIX_MODE_MASK) {
    case KESTRIX_MODE_ENGINE: {
      JitState* js = kx_jit(g);
      if (!flush) js->flags = on ? js->flags | KX_JIT_F_ON : js->flags & ~uint32_t(KX_JIT_F_ON);
      return 1;
    }
    case KESTRIX_MODE_FUNC:
    case KESTRIX_MODE_ALLFUNC:
    case KESTRIX_MODE_ALLSUBFUNC: {
      GcProto* pt = mode_proto(L, idx);
      if (pt == nullptr) return 0;
      uint32_t target = static_cast<uint32_t>(mode & KESTRIX_MODE_MASK);
      if (!flush) mode_setproto(pt, on, target != KESTRIX_MODE_ALLSUBFUNC, target != KESTRIX_MODE_FUNC);
      return 1;
    }
    case KESTRIX_MODE_TRACE:
      return flush ? 1 : 0;
    case KESTRIX_MODE_WRAPCFUNC:
      if (on) {
        const Value* o = index2adr(L, idx);
        if (!tv_islightud(o)) return 0;
        g->wrap_fn = reinterpret_cast<int (*)(lua_State*, lua_CFunction)>(lightudV(o));
        g->cfunc_entry_external = bcins_ad(BC_FUNCCW, LUA_MINSTACK, 0);
      } else {
        g->cfunc_entry_external = bcins_ad(BC_FUNCC, LUA_MINSTACK, 0);
      }
      return 1;
    default:
      return 0;
  }
}

// ---- Coroutines ------------------------------------------------------------------------------------------

extern "C" int lua_resume(lua_State* L, int nargs) {
  if (L->c_frame == nullptr && (L->status == LUA_OK || L->status == LUA_YIELD))
    return kx_vm_resume(L, L->top - nargs);
  L->top = L->base;
  setstrV(L->top, kx_err_str(L, KX_ERR_ResumeNotSuspended));
  api_incr_top(L);
  return LUA_ERRRUN;
}

extern "C" int lua_yield(lua_State* L, int nresults) {
  if (!(reinterpret_cast<uintptr_t>(L->c_frame) & KX_CFRAME_RESUME)) kx_err_msg(L, KX_ERR_YieldAcrossCBoundary);
  if (kx_dispatch_inhook(L)) kx_dispatch_yield(L);
  Value* src = L->top - nresults;
  for (int i = 0; i < nresults; i++) copyV(L->base + i, src + i);
  L->top = L->base + nresults;
  L->status = LUA_YIELD;
  L->c_frame = nullptr;
  return -1;
}

extern "C" int lua_isyieldable(lua_State* L) {
  return (reinterpret_cast<uintptr_t>(L->c_frame) & KX_CFRAME_RESUME) != 0;
}
