// The base library and the coroutine table.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cdata.h"
#include "core/err.h"
#include "core/frame.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "core/table.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/debug.h"
#include "vm/ffid.h"
#include "vm/meta.h"
#include "vm/vm.h"

static inline GcFunc* curr_func(lua_State* L) { return funcV(L->base - 1); }
static inline uint32_t nargs_of(lua_State* L) { return static_cast<uint32_t>(L->top - L->base); }

// ---- Fast paths ------------------------------------------------------------------------------------------

int kx_ff_assert(lua_State* L, Value* base, uint32_t nargs) {
  return nargs >= 1 && tv_istruecond(base) ? static_cast<int>(nargs) : KX_FF_FALLBACK;
}

int kx_ff_type(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1) return KX_FF_FALLBACK;
  copyV(base, &funcV(base - 1)->c.upvalue[tv_itype(base)]);
  return 1;
}

int kx_ff_next(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !tv_istab(base)) return KX_FF_FALLBACK;
  if (nargs < 2) setnilV(base + 1);
  Value out[2];
  int more = kx_tab_next(tabV(base), base + 1, out);
  if (more < 0) return KX_FF_FALLBACK;
  if (more == 0) {
    setnilV(base);
    return 1;
  }
  copyV(base, &out[0]);
  copyV(base + 1, &out[1]);
  return 2;
}

// pairs and ipairs without a __pairs/__ipairs metamethod: iterator, table, initial control value.
static int ff_pairs_common(lua_State* L, Value* base, uint32_t nargs, MetaMethod mm, bool numeric) {
  if (nargs < 1 || !tv_istab(base)) return KX_FF_FALLBACK;
  if (tabV(base)->metatable && !tv_isnil(kx_meta_lookup(L, base, mm))) return KX_FF_FALLBACK;
  copyV(base + 1, base);
  copyV(base, &funcV(base - 1)->c.upvalue[0]);
  if (numeric) setnumV(base + 2, 0);
  else setnilV(base + 2);
  return 3;
}

int kx_ff_pairs(lua_State* L, Value* base, uint32_t nargs) { return ff_pairs_common(L, base, nargs, MM_pairs, false); }
int kx_ff_ipairs(lua_State* L, Value* base, uint32_t nargs) { return ff_pairs_common(L, base, nargs, MM_ipairs, true); }

int kx_ff_ipairs_aux(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 2 || !tv_istab(base) || !tv_isnum(base + 1)) return KX_FF_FALLBACK;
  // The successor in doubles: the largest 32-bit integer has one too.
  Value key;
  setnumV(&key, static_cast<double>(kx_lib_num2int(numV(base + 1))) + 1);
  const Value* v = kx_tab_get(L, tabV(base), &key);
  if (tv_isnil(v)) return 0;
  copyV(base, &key);
  copyV(base + 1, v);
  return 2;
}

int kx_ff_getmetatable(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1) return KX_FF_FALLBACK;
  GlobalState* g = G(L);
  GcTable* mt = kx_meta_getmt(g, base);
  if (mt == nullptr) {
    setnilV(base);
    return 1;
  }
  const Value* protect = kx_tab_getstr(mt, mmname(g, MM_metatable));
  if (protect && !tv_isnil(protect)) copyV(base, protect);
  else settabV(base, mt);
  return 1;
}

int kx_ff_setmetatable(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 2 || !tv_istab(base) || !(tv_istab(base + 1) || tv_isnil(base + 1))) return KX_FF_FALLBACK;
  GlobalState* g = G(L);
  GcTable* t = tabV(base);
  if (t->metatable) {
    const Value* protect = kx_tab_getstr(t->metatable, mmname(g, MM_metatable));
    if (protect && !tv_isnil(protect)) return KX_FF_FALLBACK;
  }
  t->metatable = tv_isnil(base + 1) ? nullptr : tabV(base + 1);
  if (t->metatable) kx_gc_barrierback(g, t);
  return 1;
}

int kx_ff_rawget(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 2 || !tv_istab(base)) return KX_FF_FALLBACK;
  copyV(base, kx_tab_get(L, tabV(base), base + 1));
  return 1;
}

int kx_ff_tonumber(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1) return KX_FF_FALLBACK;
  if (nargs >= 2 && !tv_isnil(base + 1) && !(tv_isnum(base + 1) && numV(base + 1) == 10)) return KX_FF_FALLBACK;
  if (tv_isnum(base)) return 1;
  if (tv_iscdata(base)) return KX_FF_FALLBACK;
  Value n;
  if (tv_isstr(base) && kx_strscan_num(strV(base), &n)) copyV(base, &n);
  else setnilV(base);
  return 1;
}

int kx_ff_tostring(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1) return KX_FF_FALLBACK;
  if (tv_isstr(base)) return 1;
  if (tv_isnum(base) && basemt(G(L), KX_INUM) == nullptr) {
    kx_gc_check(L);
    base = L->base;
    setstrV(base, kx_strfmt_num(L, numV(base)));
    return 1;
  }
  return KX_FF_FALLBACK;
}

// ---- Fallback handlers of the fast-path functions ----------------------------------------------------------

// Returns the n values on top as the built-in's results.
static inline int ffh_return(int n) { return kx_ffh_results(n); }

static int kx_ffh_assert(lua_State* L) {
  uint32_t n = nargs_of(L);
  kx_lib_checkany(L, 1);
  Value* base = L->base;
  if (tv_istruecond(base)) return ffh_return(static_cast<int>(n));
  if (n == 1) kx_err_caller(L, KX_ERR_AssertionFailed);
  if (tv_isstr(base + 1) || tv_isnum(base + 1)) kx_err_callermsg(L, strdata(kx_lib_checkstr(L, 2)));
  copyV(L->top, L->top - 1);
  L->top++;
  kx_err_run(L);
}

static int kx_ffh_next(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  lua_settop(L, 2);
  Value out[2];
  int more = kx_tab_next(t, L->base + 1, out);
  if (more < 0) kx_err_caller(L, KX_ERR_InvalidNextKey);
  if (more == 0) {
    lua_pushnil(L);
    return ffh_return(1);
  }
  copyV(L->top++, &out[0]);
  copyV(L->top++, &out[1]);
  return ffh_return(2);
}

// pairs / ipairs with a metamethod: a tail call of it with the argument.
static int ffh_pairs_common(lua_State* L, MetaMethod mm, bool numeric) {
  kx_lib_checkany(L, 1);
  const Value* mo = kx_meta_lookup(L, L->base, mm);
  if (!tv_isnil(mo)) {
    copyV(L->base - 1, mo);
    L->top = L->base + 1;
    return KX_FFH_TAILCALL;
  }
  kx_lib_checktab(L, 1);
  lua_settop(L, 1);
  copyV(L->top, &curr_func(L)->c.upvalue[0]);
  copyV(L->top + 1, L->base);
  if (numeric) setnumV(L->top + 2, 0);
  else setnilV(L->top + 2);
  L->top += 3;
  return ffh_return(3);
}

static int kx_ffh_pairs(lua_State* L) { return ffh_pairs_common(L, MM_pairs, false); }
static int kx_ffh_ipairs(lua_State* L) { return ffh_pairs_common(L, MM_ipairs, true); }

static int kx_ffh_ipairs_aux(lua_State* L) {
  kx_lib_checktab(L, 1);
  kx_lib_checknum(L, 2);
  return KX_FFH_RETRY;  // the arguments are converted now
}

static int kx_ffh_setmetatable(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  Value* mtv = L->base + 1;
  if (mtv >= L->top || !(tv_istab(mtv) || tv_isnil(mtv))) kx_err_arg(L, 2, KX_ERR_NilOrTableExpected);
  GlobalState* g = G(L);
  if (t->metatable) {
    const Value* protect = kx_tab_getstr(t->metatable, mmname(g, MM_metatable));
    if (protect && !tv_isnil(protect)) kx_err_caller(L, KX_ERR_ProtectedMetatable);
  }
  t->metatable = tv_isnil(mtv) ? nullptr : tabV(mtv);
  if (t->metatable) kx_gc_barrierback(g, t);
  lua_settop(L, 1);
  return ffh_return(1);
}

static int kx_ffh_rawget(lua_State* L) {
  kx_lib_checktab(L, 1);
  kx_lib_checkany(L, 2);
  return KX_FFH_RETRY;
}

static inline bool is_alnum(uint8_t c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
static inline bool is_space(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static inline uint32_t digit_of(uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// tonumber(v, base) for bases other than 10: an unsigned 64-bit conversion, saturating.
static bool scan_base(const char* p, const char* e, uint32_t base, double* out) {
  while (p < e && is_space(static_cast<uint8_t>(*p))) p++;
  bool neg = false;
  if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
  if (p >= e || !is_alnum(static_cast<uint8_t>(*p))) return false;
  if (base == 16 && e - p > 2 && p[0] == '0' && (p[1] | 0x20) == 'x' && is_alnum(static_cast<uint8_t>(p[2]))) p += 2;
  uint64_t v = 0;
  bool overflow = false, any = false;
  for (; p < e && is_alnum(static_cast<uint8_t>(*p)); p++) {
    uint32_t d = digit_of(static_cast<uint8_t>(*p));
    if (d >= base) break;
    any = true;
    if (v > (~0ull - d) / base) overflow = true;
    v = v * base + d;
  }
  if (!any) return false;
  while (p < e && is_space(static_cast<uint8_t>(*p))) p++;
  if (p != e) return false;
  double r = overflow ? 18446744073709551615.0 : static_cast<double>(v);
  *out = neg ? -r : r;
  return true;
}

static int kx_ffh_tonumber(lua_State* L) {
  kx_lib_checkany(L, 1);
  int32_t base = kx_lib_optint(L, 2, 10);
  if (base == 10) {
    lua_settop(L, 1);
    if (!tv_iscdata(L->base)) return KX_FFH_RETRY;
    double n;  // integer and floating C data convert to numbers, others give nil
    if (kx_cdata_tonumber(G(L), cdataV(L->base), &n)) lua_pushnumber(L, n);
    else lua_pushnil(L);
    return ffh_return(1);
  }
  if (base < 2 || base > 36) kx_err_arg(L, 2, KX_ERR_BaseOutOfRange);
  GcString* s = kx_lib_checkstr(L, 1);
  double n;
  if (scan_base(strdata(s), strdata(s) + s->len, static_cast<uint32_t>(base), &n)) lua_pushnumber(L, n);
  else lua_pushnil(L);
  return ffh_return(1);
}

static int kx_ffh_tostring(lua_State* L) {
  kx_lib_checkany(L, 1);
  lua_settop(L, 1);
  const Value* o = L->base;
  if (!tv_isstr(o)) {
    const Value* mo = kx_meta_lookup(L, o, MM_tostring);
    if (!tv_isnil(mo)) {
      copyV(L->base - 1, mo);
      return KX_FFH_TAILCALL;
    }
    kx_gc_check(L);
    setstrV(L->base, kx_strfmt_obj(L, L->base));
  }
  return ffh_return(1);
}

// The fallback of pcall and xpcall runs only when their arguments are wrong.
static int kx_ffh_pcall(lua_State* L) {
  kx_lib_checkany(L, 1);
  if (curr_func(L)->ffid == KX_FFID_xpcall) kx_lib_checkfunc(L, 2);
  return KX_FFH_RETRY;
}

// ---- C functions ---------------------------------------------------------------------------------------------

// The function that getfenv and setfenv name by level, or null for level 0.
static Value* env_level_func(lua_State* L, bool nil_is_one) {
  int32_t level = 1;
  if (!(nil_is_one && lua_isnoneornil(L, 1))) level = kx_lib_checkint(L, 1);
  if (level < 0) kx_err_arg(L, 1, KX_ERR_InvalidLevel);
  if (level == 0) return nullptr;
  int size;
  Value* frame = kx_debug_frame(L, level, &size);
  if (frame == nullptr) kx_err_arg(L, 1, KX_ERR_InvalidLevel);
  return frame;
}

static int kx_cf_getfenv(lua_State* L) {
  GcFunc* fn = nullptr;
  if (L->base < L->top && tv_isfunc(L->base)) {
    fn = funcV(L->base);
  } else {
    Value* frame = env_level_func(L, true);
    if (frame) fn = funcV(frame);
  }
  settabV(L->top, fn && isluafunc(fn) ? fn->env : L->env);
  kx_state_incr_top(L);
  return 1;
}

static int kx_cf_setfenv(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 2);
  GcFunc* fn;
  if (L->base < L->top && tv_isfunc(L->base)) {
    fn = funcV(L->base);
  } else {
    Value* frame = env_level_func(L, false);
    if (frame == nullptr) {
      L->env = t;
      kx_gc_objbarrier(G(L), obj2gco(L), obj2gco(t));
      return 0;
    }
    fn = funcV(frame);
  }
  if (!isluafunc(fn)) kx_err_caller(L, KX_ERR_SetfenvRefused);
  fn->env = t;
  kx_gc_objbarrier(G(L), obj2gco(fn), obj2gco(t));
  setfuncV(L->top, fn);
  kx_state_incr_top(L);
  return 1;
}

static int kx_cf_rawset(lua_State* L) {
  kx_lib_checktab(L, 1);
  kx_lib_checkany(L, 2);
  kx_lib_checkany(L, 3);
  lua_settop(L, 3);
  lua_rawset(L, 1);
  return 1;
}

static int kx_cf_rawequal(lua_State* L) {
  kx_lib_checkany(L, 1);
  kx_lib_checkany(L, 2);
  lua_pushboolean(L, kx_obj_equal(L->base, L->base + 1));
  return 1;
}

static int kx_cf_rawlen(lua_State* L) {
  Value* o = L->base;
  if (o < L->top && tv_isstr(o)) lua_pushinteger(L, static_cast<lua_Integer>(strV(o)->len));
  else lua_pushinteger(L, static_cast<lua_Integer>(kx_tab_len(kx_lib_checktab(L, 1))));
  return 1;
}

static int kx_cf_unpack(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  int32_t i = kx_lib_optint(L, 2, 1);
  int32_t e = lua_isnoneornil(L, 3) ? static_cast<int32_t>(kx_tab_len(t)) : kx_lib_checkint(L, 3);
  if (i > e) return 0;
  uint32_t n = static_cast<uint32_t>(e) - static_cast<uint32_t>(i);
  if (n >= LUAI_MAXCSTACK || !kx_lib_stackroom(L, n + 1)) kx_err_caller(L, KX_ERR_UnpackTooMany);
  t = tabV(L->base);
  for (uint32_t k = 0; k <= n; k++) {
    const Value* v = kx_tab_getint(t, static_cast<int32_t>(static_cast<uint32_t>(i) + k));
    if (v) copyV(L->top, v);
    else setnilV(L->top);
    L->top++;
  }
  return static_cast<int>(n + 1);
}

static int kx_cf_select(lua_State* L) {
  int32_t n = static_cast<int32_t>(nargs_of(L));
  if (n >= 1 && tv_isstr(L->base) && strV(L->base)->len > 0 && strdata(strV(L->base))[0] == '#') {
    lua_pushinteger(L, n - 1);
    return 1;
  }
  int32_t i = kx_lib_checkint(L, 1);
  if (i < 0) i += n;
  else if (i > n) i = n;
  if (i <= 0) kx_err_arg(L, 1, KX_ERR_IndexOutOfRange);
  return n - i;
}

static int kx_cf_error(lua_State* L) {
  int32_t level = kx_lib_optint(L, 2, 1);
  lua_settop(L, 1);
  if (lua_isstring(L, 1) && level > 0) {
    luaL_where(L, level);
    lua_pushvalue(L, 1);
    lua_concat(L, 2);
  }
  kx_err_run(L);
}

// The results of loadfile and load: the function (with env as its environment), or nil and the message.
static int load_result(lua_State* L, int status, int envarg) {
  if (status == 0) {
    if (L->base + envarg - 1 < L->top && tv_istab(L->base + envarg - 1)) {
      GcFunc* fn = funcV(L->top - 1);
      GcTable* t = tabV(L->base + envarg - 1);
      fn->env = t;
      kx_gc_objbarrier(G(L), obj2gco(fn), obj2gco(t));
    }
    return 1;
  }
  lua_pushnil(L);
  lua_insert(L, -2);
  return 2;
}

static int kx_cf_loadfile(lua_State* L) {
  GcString* fname = kx_lib_optstr(L, 1);
  GcString* mode = kx_lib_optstr(L, 2);
  int status = luaL_loadfilex(L, fname ? strdata(fname) : nullptr, mode ? strdata(mode) : nullptr);
  return load_result(L, status, 3);
}

// Reads the pieces of a chunk from the function in argument slot 1.
static const char* reader_func(lua_State* L, void* ud, size_t* size) {
  (void)ud;
  luaL_checkstack(L, 2, "too many nested functions");
  copyV(L->top++, L->base);
  lua_call(L, 0, 1);
  L->top--;
  if (tv_isnil(L->top)) {
    *size = 0;
    return nullptr;
  }
  if (tv_isnum(L->top)) setstrV(L->top, kx_strfmt_num(L, numV(L->top)));
  if (!tv_isstr(L->top)) kx_err_caller(L, KX_ERR_ReaderNotString);
  copyV(L->base + 4, L->top);  // anchored while the loader reads it
  *size = strV(L->top)->len;
  return strdata(strV(L->top));
}

static int kx_cf_load(lua_State* L) {
  GcString* name = kx_lib_optstr(L, 2);
  GcString* mode = kx_lib_optstr(L, 3);
  Value* chunk = L->base;
  int status;
  if (chunk < L->top && (tv_isstr(chunk) || tv_isnum(chunk))) {
    GcString* s = kx_lib_checkstr(L, 1);
    lua_settop(L, 4);
    status = luaL_loadbufferx(L, strdata(s), s->len, name ? strdata(name) : strdata(s), mode ? strdata(mode) : nullptr);
  } else if (chunk < L->top && tv_isudata(chunk) && udataV(chunk)->udtype == KX_UDTYPE_BUFFER) {
    // A string buffer object: its unread contents; it stays in slot 1 while they are read.
    const StrBufExt* sbx = static_cast<const StrBufExt*>(uddata(udataV(chunk)));
    lua_settop(L, 4);
    status = luaL_loadbufferx(L, sbx->r, static_cast<size_t>(sbx->sb.w - sbx->r), name ? strdata(name) : "",
                              mode ? strdata(mode) : nullptr);
  } else {
    kx_lib_checkfunc(L, 1);
    lua_settop(L, 5);  // slot 5 anchors the pieces the reader returns
    status = lua_loadx(L, reader_func, nullptr, name ? strdata(name) : "=(load)", mode ? strdata(mode) : nullptr);
  }
  return load_result(L, status, 4);
}

static int kx_cf_dofile(lua_State* L) {
  GcString* fname = kx_lib_optstr(L, 1);
  lua_settop(L, 1);
  if (luaL_loadfilex(L, fname ? strdata(fname) : nullptr, nullptr) != 0) kx_err_run(L);
  lua_call(L, 0, LUA_MULTRET);
  return static_cast<int>(L->top - L->base) - 1;
}

static int kx_cf_gcinfo(lua_State* L) {
  lua_pushinteger(L, static_cast<lua_Integer>(G(L)->gc.total >> 10));
  return 1;
}

static int kx_cf_collectgarbage(lua_State* L) {
  static const char words[] =
      "\4stop\7restart\7collect\5count\1\377\4step\10setpause\12setstepmul\1\377\11isrunning";
  int opt = kx_lib_checkopt(L, 1, LUA_GCCOLLECT, words);
  int32_t arg = kx_lib_optint(L, 2, 0);
  if (opt == LUA_GCCOUNT) {
    lua_pushnumber(L, static_cast<double>(G(L)->gc.total) * (1.0 / 1024.0));
    return 1;
  }
  int res = lua_gc(L, opt, arg);
  if (opt == LUA_GCSTEP || opt == LUA_GCISRUNNING) lua_pushboolean(L, res);
  else lua_pushinteger(L, res);
  return 1;
}

static int kx_cf_newproxy(lua_State* L) {
  lua_settop(L, 1);
  lua_newuserdata(L, 0);
  if (lua_toboolean(L, 1) == 0) return 1;
  if (lua_isboolean(L, 1)) {
    lua_createtable(L, 0, 0);
    lua_pushvalue(L, -1);
    lua_pushboolean(L, 1);
    lua_rawset(L, lua_upvalueindex(1));
  } else {
    bool valid = false;
    if (lua_getmetatable(L, 1)) {
      lua_rawget(L, lua_upvalueindex(1));
      valid = lua_toboolean(L, -1);
      lua_pop(L, 1);
    }
    if (!valid) kx_err_arg(L, 1, KX_ERR_BooleanOrProxyExpected);
    lua_getmetatable(L, 1);
  }
  lua_setmetatable(L, 2);
  return 1;
}

static int kx_cf_print(lua_State* L) {
  uint32_t n = nargs_of(L);
  GlobalState* g = G(L);
  GcString* name = strV(&curr_func(L)->c.upvalue[0]);
  const Value* tostr = kx_tab_getstr(L->env, name);
  if (tostr == nullptr || tv_isnil(tostr)) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_gettable(L, LUA_GLOBALSINDEX);
  } else {
    copyV(L->top++, tostr);
  }
  Value* fnslot = L->top - 1;
  bool shortcut = tv_isfunc(fnslot) && funcV(fnslot)->ffid == KX_FFID_tostring && basemt(g, KX_INUM) == nullptr;
  for (uint32_t i = 0; i < n; i++) {
    const Value* o = L->base + i;
    const char* s;
    size_t len;
    if (shortcut && tv_isstr(o)) {
      s = strdata(strV(o));
      len = strV(o)->len;
    } else if (shortcut && tv_isnum(o)) {
      char buf[64];
      len = static_cast<size_t>(kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, numV(o), buf) - buf);
      s = buf;
      fwrite(s, 1, len, stdout);
      if (i + 1 < n) putc('\t', stdout);
      continue;
    } else if (shortcut && tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_BUFFER) {
      const StrBufExt* sbx = static_cast<const StrBufExt*>(uddata(udataV(o)));
      s = sbx->r;
      len = static_cast<size_t>(sbx->sb.w - sbx->r);
    } else {
      copyV(L->top, L->top - 1);
      copyV(L->top + 1, L->base + i);
      L->top += 2;
      lua_call(L, 1, 1);
      s = lua_tolstring(L, -1, &len);
      if (s == nullptr) kx_err_caller(L, KX_ERR_TostringNotString);
      L->top--;
    }
    fwrite(s, 1, len, stdout);
    if (i + 1 < n) putc('\t', stdout);
  }
  putc('\n', stdout);
  return 0;
}

// ---- Registration ----------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_base, "base");

static const lua_CFunction kx_lib_cf_base[] = {
    kx_ffh_assert, kx_ffh_next, kx_ffh_pairs, kx_ffh_ipairs_aux, kx_ffh_ipairs, kx_ffh_setmetatable,
    kx_cf_getfenv, kx_cf_setfenv, kx_ffh_rawget, kx_cf_rawset, kx_cf_rawequal, kx_cf_rawlen,
    kx_cf_unpack, kx_cf_select, kx_ffh_tonumber, kx_ffh_tostring, kx_cf_error, kx_ffh_pcall,
    kx_cf_loadfile, kx_cf_load, kx_cf_load, kx_cf_dofile, kx_cf_gcinfo, kx_cf_collectgarbage,
    kx_cf_newproxy, kx_cf_print,
};

// ---- Coroutines ------------------------------------------------------------------------------------------

static lua_State* check_coroutine(lua_State* L, int n) {
  Value* o = L->base + n - 1;
  if (o >= L->top || !tv_isthread(o)) kx_err_arg(L, n, KX_ERR_CoroutineExpected);
  return threadV(o);
}

static int kx_cf_coroutine_status(lua_State* L) {
  lua_State* co = check_coroutine(L, 1);
  const char* s;
  if (co == L) s = "running";
  else if (co->status == LUA_YIELD) s = "suspended";
  else if (co->status != LUA_OK) s = "dead";
  else if (co->c_frame || co->base > co->stack + 1) s = "normal";
  else if (co->top == co->base) s = "dead";
  else s = "suspended";
  lua_pushstring(L, s);
  return 1;
}

static int kx_cf_coroutine_running(lua_State* L) {
  bool ismain = lua_pushthread(L);
  lua_pushboolean(L, ismain);
  return 2;
}

static int kx_cf_coroutine_isyieldable(lua_State* L) {
  lua_pushboolean(L, lua_isyieldable(L));
  return 1;
}

static lua_State* new_coroutine(lua_State* L) {
  kx_lib_checkfunc(L, 1);
  lua_State* co = lua_newthread(L);
  copyV(co->top, L->base);
  co->top++;
  return co;
}

static int kx_cf_coroutine_create(lua_State* L) {
  new_coroutine(L);
  return 1;
}

static int kx_ffh_coroutine_yield(lua_State* L) { kx_err_caller(L, KX_ERR_YieldAcrossCBoundary); }

// Why a coroutine cannot be resumed, or OK.
static ErrorCode resume_refusal(lua_State* co) {
  if (co->c_frame) return KX_ERR_ResumeRunning;
  if (co->status > LUA_YIELD || (co->status == LUA_OK && co->top == co->base)) return KX_ERR_ResumeDead;
  return static_cast<ErrorCode>(0);
}

// Moves the top n values of one stack onto the other, which has room for them.
static void move_values(lua_State* from, lua_State* to, uint32_t n) {
  Value* src = from->top - n;
  Value* dst = to->top;
  for (uint32_t i = 0; i < n; i++) copyV(dst + i, src + i);
  to->top = dst + n;
  from->top = src;
}

// Moves the top nargs values to co and resumes it; returns the status, with the results (or the
// error object) moved onto L's stack.
static int resume_with(lua_State* L, lua_State* co, int nargs) {
  bool room = co->stack_limit - co->top > nargs && (co->top - co->base) + nargs <= LUAI_MAXCSTACK;
  if (!room && !lua_checkstack(co, nargs))
    kx_err_callerv(L, KX_ERR_StackOverflowDetail, "too many arguments to resume");
  move_values(L, co, static_cast<uint32_t>(nargs));
  int status = kx_vm_resume(co, co->top - nargs);
  G(L)->current_thread = L;
  uint32_t nres = status <= LUA_YIELD ? static_cast<uint32_t>(co->top - co->base) : 1;
  if (!kx_lib_stackroom(L, nres + 1))
    kx_err_callerv(L, KX_ERR_StackOverflowDetail, "too many results to resume");
  move_values(co, L, nres);
  return status;
}

static int kx_ffh_coroutine_resume(lua_State* L) {
  lua_State* co = check_coroutine(L, 1);
  if (ErrorCode why = resume_refusal(co)) {
    lua_pushboolean(L, 0);
    setstrV(L->top, kx_err_str(L, why));
    L->top++;
    return kx_ffh_results(2);
  }
  int nargs = static_cast<int>(nargs_of(L)) - 1;
  int base_off = savestack(L, L->base + 1);
  int status = resume_with(L, co, nargs);
  // Results are on top: true or false in front of them.
  int nres = static_cast<int>(L->top - restorestack(L, base_off));
  lua_pushboolean(L, status <= LUA_YIELD);
  lua_insert(L, -nres - 1);
  return kx_ffh_results(nres + 1);
}

static int kx_ffh_coroutine_wrap_aux(lua_State* L) {
  lua_State* co = threadV(&curr_func(L)->c.upvalue[0]);
  if (ErrorCode why = resume_refusal(co)) kx_err_caller(L, why);
  int nargs = static_cast<int>(nargs_of(L));
  int status = resume_with(L, co, nargs);
  if (status > LUA_YIELD) {
    // The coroutine's error moves to the caller; a string gains the caller's position.
    if (tv_isstr(L->top - 1)) kx_err_callermsg(L, strdata(strV(L->top - 1)));
    kx_err_run(L);
  }
  return kx_ffh_results(static_cast<int>(L->top - L->base));  // the arguments went to the coroutine
}

static int kx_cf_coroutine_wrap(lua_State* L) {
  new_coroutine(L);
  kx_lib_pushcc(L, kx_ffh_coroutine_wrap_aux, KX_FFID_wrap_aux, 1);
  return 1;
}

KX_LIBDEF(kx_lib_init_coroutine, "coroutine");

static const lua_CFunction kx_lib_cf_coroutine[] = {
    kx_cf_coroutine_status, kx_cf_coroutine_running, kx_cf_coroutine_isyieldable, kx_cf_coroutine_create,
    kx_ffh_coroutine_yield, kx_ffh_coroutine_resume, kx_cf_coroutine_wrap,
};

extern "C" int luaopen_base(lua_State* L) {
  GlobalState* g = G(L);
  settabV(L->top, L->env);
  kx_state_incr_top(L);
  lua_setfield(L, LUA_GLOBALSINDEX, "_G");
  lua_pushliteral(L, LUA_VERSION);
  // The proxy registry of newproxy: weak keys and values, its own metatable.
  lua_createtable(L, 0, 1);
  GcTable* proxies = tabV(L->top - 1);
  proxies->metatable = proxies;
  lua_pushliteral(L, "kv");
  lua_setfield(L, -2, "__mode");
  proxies->nomm = static_cast<uint8_t>(~(1u << MM_mode));
  kx_lib_register(L, "_G", kx_lib_init_base.data(), kx_lib_cf_base);
  kx_lib_register(L, LUA_COLIBNAME, kx_lib_init_coroutine.data(), kx_lib_cf_coroutine);
  (void)g;
  return 2;
}
