// The metatable of C data objects.
//
// An operation the interface itself does not handle goes to the metatable that ffi.metatype bound to
// the type (of a ctype object: to the type it holds), and fails when there is none.
#include "ffi/cmeta.h"

#include <cmath>

#include "core/buf.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "ffi/carith.h"
#include "ffi/ccall.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"
#include "ffi/lib_ffi.h"
#include "lib/lib.h"
#include "lib/libdef.h"

namespace {

GcCdata* meta_checkcdata(lua_State* L, int narg) {
  const Value* o = L->base + narg - 1;
  if (o >= L->top || !tv_iscdata(o)) kx_err_argtype(L, narg, "cdata");
  return cdataV(o);
}

// The type whose bound metatable applies: a ctype object's held type, a pointer's struct, else the
// object's own type.
CTypeID meta_typeid(CTypeTable* tab, const GcCdata* cd) {
  if (cd->ctype_id == CTID_CTYPEID) return *static_cast<const uint32_t*>(cdataptr(cd));
  CTypeEntry* ct = ctype_raw(tab, cd->ctype_id);
  if (ctype_isptr(ct->info) && !ctype_isref(ct->info)) {
    CTypeEntry* target = ctype_child(tab, ct);
    if (ctype_isstruct(target->info)) return ctype_typeid(tab, target);
  }
  return cd->ctype_id;
}

const Value* meta_bound(CTypeTable* tab, const Value* o, MetaMethod mm) {
  return tv_iscdata(o) ? kx_ctype_meta(tab, meta_typeid(tab, cdataV(o)), mm) : nullptr;
}

// Calls mo with the first nargs arguments; returns the number of its results.
int meta_call(lua_State* L, const Value* mo, int nargs) {
  int top = lua_gettop(L);
  copyV(L->top, mo);
  kx_state_incr_top(L);
  for (int i = 1; i <= nargs; i++) lua_pushvalue(L, i);
  lua_call(L, nargs, LUA_MULTRET);
  return lua_gettop(L) - top;
}

// The text that messages give an operand: its C type, or its Lua type.
const char* operand_text(lua_State* L, const Value* o) {
  if (tv_iscdata(o)) return strdata(kx_ctype_repr(L, cdataV(o)->ctype_id, nullptr));
  return kx_obj_typename_of(o);
}

inline const Value* arg_or_nil(lua_State* L, int n) { return L->base + n - 1 < L->top ? L->base + n - 1 : niltv(G(L)); }

// Pushes what an index operation reads: a constant, a bit field, or a value by the C-to-Lua rule.
void push_result(lua_State* L, CTypeTable* tab, CTypeEntry* ct, const uint8_t* p) {
  Value v;
  bool created;
  if (ctype_isconstval(ct->info)) {
    uint32_t size;
    uint32_t info = kx_ctype_info(tab, ctype_cid(ct->info), &size);
    setnumV(&v, info & CTF_UNSIGNED ? double(ct->size) : double(static_cast<int32_t>(ct->size)));
    created = false;
  } else if (ctype_isbitfield(ct->info)) {
    kx_cconv_tv_bf(tab, ct, &v, p);
    created = false;
  } else {
    CTypeID sid = ctype_isfield(ct->info) ? ctype_cid(ct->info) : ctype_typeid(tab, ct);
    created = kx_cconv_tv_ct(tab, ctype_raw(tab, sid), sid, &v, p);
  }
  copyV(L->top, &v);
  kx_state_incr_top(L);
  if (created) kx_gc_check(L);
}

[[noreturn]] void index_err(lua_State* L, CTypeTable* tab, GcCdata* cd, const Value* key) {
  const char* type = operand_text(L, L->base);
  CTypeEntry* ct = ctype_raw(tab, meta_typeid(tab, cd));
  if (ctype_isref(ct->info) || ctype_isptr(ct->info)) ct = ctype_child(tab, ct);
  if (tv_isstr(key) && ctype_isstruct(ct->info)) kx_err_callerv(L, KX_ERR_FfiNoMember, type, strdata(strV(key)));
  if (tv_isstr(key) || tv_isnum(key) || tv_iscdata(key)) kx_err_callerv(L, KX_ERR_FfiBadIndexType, type, operand_text(L, key));
  kx_err_callerv(L, KX_ERR_FfiNotIndexable, type);
}

int kx_cf_ffi_meta___index(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  GcCdata* cd = meta_checkcdata(L, 1);
  const Value* key = arg_or_nil(L, 2);
  uint8_t* p;
  uint32_t qual = 0;
  if (CTypeEntry* ct = kx_cdata_index(tab, cd, key, &p, &qual)) {
    push_result(L, tab, ct, p);
    return 1;
  }
  if (const Value* mo = meta_bound(tab, L->base, MM_index)) {
    if (tv_isfunc(mo)) return meta_call(L, mo, 2);
    copyV(L->top, mo);
    kx_state_incr_top(L);
    lua_pushvalue(L, 2);
    lua_gettable(L, -2);
    return 1;
  }
  index_err(L, tab, cd, key);
}

int kx_cf_ffi_meta___newindex(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  GcCdata* cd = meta_checkcdata(L, 1);
  const Value* key = arg_or_nil(L, 2);
  const Value* value = arg_or_nil(L, 3);
  uint8_t* p;
  uint32_t qual = 0;
  if (CTypeEntry* ct = kx_cdata_index(tab, cd, key, &p, &qual)) {
    if (ctype_isconstval(ct->info)) kx_err_caller(L, KX_ERR_FfiWriteConstant);
    if (ctype_isbitfield(ct->info)) {
      if ((qual | ct->info) & CTF_CONST) kx_err_caller(L, KX_ERR_FfiWriteConstant);
      kx_cconv_bf_tv(tab, ct, p, value);
      return 0;
    }
    CTypeID sid = ctype_isfield(ct->info) ? ctype_cid(ct->info) : ctype_typeid(tab, ct);
    uint32_t size;
    if ((qual | kx_ctype_info(tab, sid, &size)) & CTF_CONST) kx_err_caller(L, KX_ERR_FfiWriteConstant);
    kx_cconv_ct_tv(tab, ctype_raw(tab, sid), p, value, 0);
    return 0;
  }
  if (const Value* mo = meta_bound(tab, L->base, MM_newindex)) {
    if (tv_isfunc(mo)) {
      meta_call(L, mo, 3);
      return 0;
    }
    copyV(L->top, mo);
    kx_state_incr_top(L);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    lua_settable(L, -3);
    return 0;
  }
  index_err(L, tab, cd, key);
}

int kx_cf_ffi_meta___call(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  GcCdata* cd = meta_checkcdata(L, 1);
  if (cd->ctype_id == CTID_CTYPEID) {
    CTypeID id = meta_typeid(tab, cd);
    if (const Value* mo = kx_ctype_meta(tab, id, MM_new)) return meta_call(L, mo, lua_gettop(L));
    return kx_ffi_new(L, tab, id, 2);
  }
  CTypeEntry* ct = ctype_raw(tab, cd->ctype_id);
  if (ctype_isfunc(ct->info) || (ctype_isptr(ct->info) && ctype_isfunc(ctype_child(tab, ct)->info)))
    return kx_ccall(L, tab, cd);
  if (const Value* mo = meta_bound(tab, L->base, MM_call)) return meta_call(L, mo, lua_gettop(L));
  kx_err_callerv(L, KX_ERR_FfiNotCallable, operand_text(L, L->base));
}

// Arithmetic and comparisons: the interface's own rules, then a bound metamethod of either operand.
const Value* bound_of_either(lua_State* L, CTypeTable* tab, MetaMethod mm) {
  const Value* mo = meta_bound(tab, L->base, mm);
  if (mo == nullptr && L->base + 1 < L->top) mo = meta_bound(tab, L->base + 1, mm);
  return mo;
}

int meta_arith(lua_State* L, MetaMethod mm) {
  CTypeTable* tab = kx_ctype_cts(L);
  if (int n = kx_carith_op(L, tab, mm)) return n;
  if (const Value* mo = bound_of_either(L, tab, mm)) return meta_call(L, mo, 2);
  const Value* b = arg_or_nil(L, 2);
  switch (mm) {
    case MM_eq:
      lua_pushboolean(L, L->base + 1 < L->top && kx_obj_equal(L->base, b));
      return 1;
    case MM_lt:
    case MM_le:
      kx_err_callerv(L, KX_ERR_FfiCompare, operand_text(L, L->base), operand_text(L, b));
    default:
      kx_err_callerv(L, KX_ERR_FfiArith, operand_text(L, L->base), operand_text(L, b));
  }
}

#define KX_META_ARITH(name, mm) \
  int kx_cf_ffi_meta___##name(lua_State* L) { return meta_arith(L, mm); }
KX_META_ARITH(eq, MM_eq)
KX_META_ARITH(lt, MM_lt)
KX_META_ARITH(le, MM_le)
KX_META_ARITH(add, MM_add)
KX_META_ARITH(sub, MM_sub)
KX_META_ARITH(mul, MM_mul)
KX_META_ARITH(div, MM_div)
KX_META_ARITH(mod, MM_mod)
KX_META_ARITH(pow, MM_pow)
KX_META_ARITH(unm, MM_unm)
#undef KX_META_ARITH

int kx_cf_ffi_meta___concat(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  if (const Value* mo = bound_of_either(L, tab, MM_concat)) return meta_call(L, mo, 2);
  kx_err_callerv(L, KX_ERR_FfiConcat, operand_text(L, L->base), operand_text(L, arg_or_nil(L, 2)));
}

int kx_cf_ffi_meta___len(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  meta_checkcdata(L, 1);
  if (const Value* mo = meta_bound(tab, L->base, MM_len)) return meta_call(L, mo, 1);
  kx_err_callerv(L, KX_ERR_FfiLength, operand_text(L, L->base));
}

int meta_iter(lua_State* L, MetaMethod mm) {
  CTypeTable* tab = kx_ctype_cts(L);
  meta_checkcdata(L, 1);
  if (const Value* mo = meta_bound(tab, L->base, mm)) return meta_call(L, mo, 1);
  kx_err_callerv(L, KX_ERR_FfiNoMetamethod, operand_text(L, L->base), strdata(mmname(G(L), mm)));
}

int kx_cf_ffi_meta___pairs(lua_State* L) { return meta_iter(L, MM_pairs); }
int kx_cf_ffi_meta___ipairs(lua_State* L) { return meta_iter(L, MM_ipairs); }

// ---- Text ---------------------------------------------------------------------------------------------

// An address as "0x" and at least eight hexadecimal digits, or "NULL".
void put_address(StrBuf* sb, uint64_t a) {
  if (a == 0) {
    kx_buf_putcstr(sb, "NULL");
    return;
  }
  char buf[18];
  int n = 0;
  do buf[n++] = "0123456789abcdef"[a & 15];
  while ((a >>= 4) != 0 || n < 8);
  kx_buf_putmem(sb, "0x", 2);
  while (n) kx_buf_putchar(sb, buf[--n]);
}

void put_uint64(StrBuf* sb, uint64_t v) {
  char buf[20];
  int n = 0;
  do buf[n++] = static_cast<char>('0' + v % 10);
  while ((v /= 10) != 0);
  while (n) kx_buf_putchar(sb, buf[--n]);
}

// A complex number: its parts in the standard number format, the imaginary one with its sign.
void put_complex(StrBuf* sb, CTypeTable* tab, CTypeEntry* ct, const uint8_t* p) {
  double re, im;
  CTypeEntry* elem = ctype_child(tab, ct);
  CTypeEntry* dbl = ctype_get(tab, CTID_DOUBLE);
  kx_cconv_ct_ct(tab, dbl, elem, reinterpret_cast<uint8_t*>(&re), p, 0);
  kx_cconv_ct_ct(tab, dbl, elem, reinterpret_cast<uint8_t*>(&im), p + elem->size, 0);
  kx_strfmt_putnum(sb, re);
  if (!std::signbit(im)) kx_buf_putchar(sb, '+');
  kx_strfmt_putnum(sb, im);
  kx_buf_putchar(sb, 'i');
}

int kx_cf_ffi_meta___tostring(lua_State* L) {
  GcCdata* cd = meta_checkcdata(L, 1);
  CTypeTable* tab = kx_ctype_cts(L);
  CTypeID id = cd->ctype_id;
  const uint8_t* p = static_cast<const uint8_t*>(cdataptr(cd));
  if (id == CTID_CTYPEID) {
    GcString* s = kx_ctype_repr(L, meta_typeid(tab, cd), nullptr);
    kx_strfmt_pushf(L, "ctype<%s>", strdata(s));
    return 1;
  }
  CTypeEntry* ct = ctype_raw(tab, id);
  CTypeEntry* target = ctype_isptr(ct->info) ? ctype_child(tab, ct) : ct;
  if (ctype_isstruct(target->info)) {
    if (const Value* mo = meta_bound(tab, L->base, MM_tostring)) return meta_call(L, mo, 1);
  }
  GcString* type = kx_ctype_repr(L, id, nullptr);
  StrBuf* sb = kx_buf_tmp(L);
  if (ctype_iscomplex(ct->info)) {
    put_complex(sb, tab, ct, p);
  } else if (ctype_isinteger(ct->info) && ct->size == 8) {
    uint64_t v;
    memcpy(&v, p, 8);
    bool uns = (ct->info & CTF_UNSIGNED) != 0;
    if (!uns && static_cast<int64_t>(v) < 0) {
      kx_buf_putchar(sb, '-');
      v = 0 - v;
    }
    put_uint64(sb, v);
    kx_buf_putcstr(sb, uns ? "ULL" : "LL");
  } else if (ctype_isenum(ct->info)) {
    int32_t v;
    memcpy(&v, p, 4);
    kx_buf_putcstr(sb, "cdata<");
    kx_buf_putstr(sb, type);
    kx_buf_putcstr(sb, ">: ");
    kx_strfmt_putint(sb, v);
  } else {
    kx_buf_putcstr(sb, "cdata<");
    kx_buf_putstr(sb, type);
    kx_buf_putcstr(sb, ">: ");
    const void* a = p;
    if (ctype_isptr(ct->info) || ctype_isfunc(ct->info)) memcpy(&a, p, sizeof(a));
    put_address(sb, reinterpret_cast<uintptr_t>(a));
  }
  setstrV(L->top, kx_buf_tostr(sb));
  kx_state_incr_top(L);
  return 1;
}

KX_LIBDEF(kx_lib_init_ffi_meta, "ffi_meta");

const lua_CFunction kx_lib_cf_ffi_meta[] = {
    kx_cf_ffi_meta___index, kx_cf_ffi_meta___newindex, kx_cf_ffi_meta___eq, kx_cf_ffi_meta___len,
    kx_cf_ffi_meta___lt, kx_cf_ffi_meta___le, kx_cf_ffi_meta___concat, kx_cf_ffi_meta___call,
    kx_cf_ffi_meta___add, kx_cf_ffi_meta___sub, kx_cf_ffi_meta___mul, kx_cf_ffi_meta___div,
    kx_cf_ffi_meta___mod, kx_cf_ffi_meta___pow, kx_cf_ffi_meta___unm, kx_cf_ffi_meta___tostring,
    kx_cf_ffi_meta___pairs, kx_cf_ffi_meta___ipairs,
};

}  // namespace

void kx_cmeta_register(lua_State* L) { kx_lib_register(L, nullptr, kx_lib_init_ffi_meta.data(), kx_lib_cf_ffi_meta); }
