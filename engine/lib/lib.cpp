// Library registration and the argument checkers.
#include "lib/lib.h"

#include "bytecode/bcdump.h"
#include "bytecode/bcread.h"
#include "core/cdata.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "core/table.h"
#include "vm/debug.h"
#include "vm/ffid.h"
#include "vm/vm.h"

// ---- Registration -----------------------------------------------------------------------------------------

static void lib_rawset_str(lua_State* L, GcTable* t, const char* name, uint32_t len, const Value* v) {
  copyV(kx_tab_setstr(L, t, kx_str_new(L, name, len)), v);
  kx_gc_barriert(G(L), t, v);
}

// Pushes the library table: a fresh one, or the module recorded (or created) under libname.
static void lib_table(lua_State* L, const char* libname, int hint) {
  if (libname == nullptr) lua_createtable(L, 0, hint);
  else luaL_pushmodule(L, libname, hint);
}

// A function of the stream written in the engine's own bytecode; returns the position after it.
static const uint8_t* lib_luafunc(lua_State* L, GcTable* t, const uint8_t* p) {
  uint32_t len = *p++;
  GcString* name = kx_str_new(L, reinterpret_cast<const char*>(p), len);
  p += len;
  BcProtoReader r;
  r.L = L;
  r.p = p;
  r.pe = p + 0x10000;  // the body ends where the prototype does
  r.flags = KX_BCDUMP_F_STRIP;
  r.chunk_name = name;
  r.level = savestack(L, L->top);
  r.trusted = true;
  r.given_name = "=builtin";
  GcProto* pt = kx_bcread_proto(&r);
  pt->first_line = ~0u;  // marks a built-in for debug information
  GcFunc* fn = kx_func_newL_empty(L, pt, L->env);
  Value v;
  setfuncV(&v, fn);
  lib_rawset_str(L, t, strdata(name), len, &v);
  return r.p;
}

void kx_lib_register(lua_State* L, const char* libname, const uint8_t* p, const lua_CFunction* handlers) {
  GlobalState* g = G(L);
  uint32_t ffid = *p++;
  uint32_t fentry = *p++;
  int hint = *p++;
  lib_table(L, libname, hint);
  int32_t tab_off = savestack(L, L->top - 1);
  GcTable* t = tabV(L->top - 1);
  kx_gc_barrierback(g, t);
  t->nomm = 0;
  GcTable* env = L->env;
  GcFunc* last = nullptr;
  for (;;) {
    uint8_t tag = *p++;
    if (tag < KX_LIBTAG_STR) {
      uint32_t len = tag & 0x3f;
      Value* tab = restorestack(L, tab_off);
      uint32_t nup = static_cast<uint32_t>(L->top - (tab + 1));
      GcFunc* fn = kx_func_newC(L, nup, env);
      fn->c.cfunc = tag >= KX_LIBTAG_FASTSHARED ? last->c.cfunc : *handlers++;
      fn->ffid = static_cast<uint8_t>(ffid++);
      fn->pc = tag >= KX_LIBTAG_FASTFUNC ? &kx_dispatch(g)->fast_entries[fentry++] : &g->cfunc_entry_internal;
      L->top -= nup;
      for (uint32_t i = 0; i < nup; i++) copyV(&fn->c.upvalue[i], L->top + i);
      if (len) {
        Value v;
        setfuncV(&v, fn);
        lib_rawset_str(L, t, reinterpret_cast<const char*>(p), len, &v);
      }
      last = fn;
      p += len;
    } else if (tag < KX_LIBTAG_LUAFUNC) {
      uint32_t len = tag & 0x3f;
      lua_pushlstring(L, reinterpret_cast<const char*>(p), len);
      p += len;
    } else {
      switch (tag) {
        case KX_LIBTAG_LUAFUNC:
          p = lib_luafunc(L, t, p);
          break;
        case KX_LIBTAG_SET:
          if (tv_isstr(L->top - 1) && strV(L->top - 1)->len == 0) {
            env = tabV(L->top - 2);
          } else {
            copyV(kx_tab_set(L, t, L->top - 1), L->top - 2);
            kx_gc_barriert(g, t, L->top - 2);
          }
          L->top -= 2;
          break;
        case KX_LIBTAG_NUM: {
          double n;
          memcpy(&n, p, 8);
          p += 8;
          lua_pushnumber(L, n);
          break;
        }
        case KX_LIBTAG_COPY:
          lua_pushvalue(L, -static_cast<int>(*p++));
          break;
        case KX_LIBTAG_LAST:
          setfuncV(L->top, last);
          kx_state_incr_top(L);
          break;
        case KX_LIBTAG_RESERVE:
          ffid++;
          break;
        case KX_LIBTAG_END:
          return;
      }
    }
  }
}

GcFunc* kx_lib_pushcc(lua_State* L, lua_CFunction handler, uint32_t ffid, uint32_t nup) {
  GlobalState* g = G(L);
  lua_pushcclosure(L, handler, static_cast<int>(nup));
  GcFunc* fn = funcV(L->top - 1);
  fn->ffid = static_cast<uint8_t>(ffid);
  fn->pc = ffid == KX_FFID_wrap_aux ? &kx_dispatch(g)->fast_entries[KX_FE_wrap_aux] : &g->cfunc_entry_internal;
  return fn;
}

void kx_lib_prereg(lua_State* L, const char* name, lua_CFunction openf, GcTable* env) {
  luaL_findtable(L, LUA_REGISTRYINDEX, "_PRELOAD", 4);
  lua_pushcfunction(L, openf);
  funcV(L->top - 1)->env = env;
  lua_setfield(L, -2, name);
  lua_pop(L, 1);
}

GcFunc* kx_lib_postreg(lua_State* L, lua_CFunction handler, uint32_t ffid, const char* name) {
  GcFunc* fn = kx_lib_pushcc(L, handler, ffid, 0);
  GcTable* env = funcV(L->base - 1)->env;
  lib_rawset_str(L, env, name, static_cast<uint32_t>(strlen(name)), L->top - 1);
  return fn;
}

int kx_lib_notbuilt(lua_State* L) {
  const char* name = "?";
  kx_debug_funcname(L, L->base - 1, &name);
  return luaL_error(L, "'%s' is not available yet", name);
}

// ---- Argument checkers ------------------------------------------------------------------------------------

static inline Value* arg_slot(lua_State* L, int n) { return L->base + n - 1; }
static inline bool arg_present(lua_State* L, int n) { return arg_slot(L, n) < L->top; }
static inline bool arg_isnil(lua_State* L, int n) { return !arg_present(L, n) || tv_isnil(arg_slot(L, n)); }

void kx_lib_checkany(lua_State* L, int n) {
  if (!arg_present(L, n)) kx_err_arg(L, n, KX_ERR_ValueExpected);
}

GcString* kx_lib_checkstr(lua_State* L, int n) {
  Value* o = arg_slot(L, n);
  if (o < L->top) {
    if (tv_isstr(o)) return strV(o);
    if (tv_isnum(o)) {
      GcString* s = kx_strfmt_num(L, numV(o));
      setstrV(arg_slot(L, n), s);
      return s;
    }
  }
  kx_err_argt(L, n, LUA_TSTRING);
}

GcString* kx_lib_optstr(lua_State* L, int n) { return arg_isnil(L, n) ? nullptr : kx_lib_checkstr(L, n); }

double kx_lib_checknum(lua_State* L, int n) {
  Value* o = arg_slot(L, n);
  if (o < L->top) {
    if (tv_isnum(o)) return numV(o);
    Value tmp;
    if (tv_isstr(o) && kx_strscan_num(strV(o), &tmp)) {
      copyV(o, &tmp);
      return numV(&tmp);
    }
  }
  kx_err_argt(L, n, LUA_TNUMBER);
}

int32_t kx_lib_checkint(lua_State* L, int n) { return kx_lib_num2int(kx_lib_checknum(L, n)); }

int32_t kx_lib_optint(lua_State* L, int n, int32_t def) { return arg_isnil(L, n) ? def : kx_lib_checkint(L, n); }

int32_t kx_lib_checkintrange(lua_State* L, int n) {
  Value* o = arg_slot(L, n);
  uint64_t v;
  if (o < L->top && tv_iscdata(o) && kx_cdata_int64(G(L), cdataV(o), &v) >= KX_CINT_I64) {
    if (v > KX_MAX_STR) kx_err_arg(L, n, KX_ERR_NumberOutOfRange);
    return static_cast<int32_t>(v);
  }
  int32_t i = kx_lib_checkint(L, n);
  if (static_cast<uint32_t>(i) > KX_MAX_STR) kx_err_arg(L, n, KX_ERR_NumberOutOfRange);
  return i;
}

GcTable* kx_lib_checktab(lua_State* L, int n) {
  Value* o = arg_slot(L, n);
  if (o >= L->top || !tv_istab(o)) kx_err_argt(L, n, LUA_TTABLE);
  return tabV(o);
}

GcTable* kx_lib_checktabornil(lua_State* L, int n) {
  if (arg_isnil(L, n)) return nullptr;
  Value* o = arg_slot(L, n);
  if (!tv_istab(o)) kx_err_arg(L, n, KX_ERR_NilOrTableExpected);
  return tabV(o);
}

GcFunc* kx_lib_checkfunc(lua_State* L, int n) {
  Value* o = arg_slot(L, n);
  if (o >= L->top || !tv_isfunc(o)) kx_err_argt(L, n, LUA_TFUNCTION);
  return funcV(o);
}

GcProto* kx_lib_checkLproto(lua_State* L, int n, bool nolua) {
  Value* o = arg_slot(L, n);
  if (o < L->top) {
    if (tv_isproto(o)) return protoV(o);
    if (tv_isfunc(o)) {
      if (isluafunc(funcV(o))) return funcproto(funcV(o));
      if (nolua) return nullptr;
    }
  }
  kx_err_argt(L, n, LUA_TFUNCTION);
}

bool kx_lib_stackroom(lua_State* L, uint32_t n) {
  if (n > KX_STACK_MAX - static_cast<uint32_t>(L->top - L->stack)) return false;
  kx_state_checkstack(L, n);
  return true;
}

int kx_lib_checkopt(lua_State* L, int n, int def, const char* words) {
  if (def >= 0 && arg_isnil(L, n)) return def;
  GcString* s = kx_lib_checkstr(L, n);
  int i = 0;
  for (const char* w = words; *w; w += 1 + static_cast<uint8_t>(*w), i++)
    if (static_cast<uint8_t>(*w) == s->len && memcmp(w + 1, strdata(s), s->len) == 0) return i;
  kx_err_argv(L, n, KX_ERR_InvalidOptionNamed, strdata(s));
}
