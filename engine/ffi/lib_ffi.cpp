// The ffi module: opening the interface, type arguments and the module's functions.
#include "ffi/lib_ffi.h"

#include "core/gc.h"
#include "core/str.h"
#include "core/table.h"
#include <cerrno>

#include "core/err.h"
#include "ffi/ccallback.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"
#include "ffi/clib.h"
#include "ffi/cmeta.h"
#include "ffi/cparse.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"

CTypeTable* kx_ffi_open(lua_State* L) {
  GlobalState* g = G(L);
  if (g->ctype_state) return kx_ctype_cts(L);
  CTypeTable* tab = kx_ctype_init(L);
  kx_cmeta_register(L);
  g->roots[KX_ROOT_BASEMT + uint32_t(KX_ICDATA)] = gcV(L->top - 1);
  kx_ccallback_register(L);
  copyV(kx_tab_setstr(L, tab->misc_map, &g->empty_string), L->top - 1);
  kx_gc_barriert(g, tab->misc_map, L->top - 1);
  L->top -= 2;
  return tab;
}

int kx_ffi_new(lua_State* L, CTypeTable* tab, CTypeID id, int narg) {
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, id, &size);
  CTypeEntry* ct = ctype_raw(tab, id);
  if (ctype_isvla(info)) {
    int32_t n = kx_lib_checkint(L, narg++);
    size = n < 0 ? KX_CTSIZE_INVALID : kx_ctype_vlsize(tab, ct, static_cast<uint32_t>(n));
  }
  if (size == KX_CTSIZE_INVALID || ctype_isfunc(info) || ctype_isvoid(info)) kx_err_arg(L, 1, KX_ERR_FfiTypeSize);
  const Value* init = L->base + narg - 1;
  uint32_t ninit = init < L->top ? static_cast<uint32_t>(L->top - init) : 0;
  kx_gc_check(L);
  GcCdata* cd = kx_cdata_newx(tab, id, size, info);
  memset(cdataptr(cd), 0, size);
  setcdataV(L->top, cd);
  kx_state_incr_top(L);
  init = L->base + narg - 1;
  kx_cconv_ct_init(tab, ct, size, static_cast<uint8_t*>(cdataptr(cd)), init, ninit);
  if (ctype_isstruct(ct->info)) {
    if (const Value* gc = kx_ctype_meta(tab, id, MM_gc)) kx_cdata_setfin(L, cd, gc);
  }
  return 1;
}

namespace {

inline Value* arg(lua_State* L, int n) { return L->base + n - 1; }

// The type of a type argument: a string is parsed as one type declaration, taking its $ substitutions
// from the following arguments; a ctype object stands for the type it holds and any other C data
// object for its own type. *next is the argument after those taken.
CTypeID ffi_checkctype(lua_State* L, int narg, int* next) {
  const Value* o = arg(L, narg);
  if (o < L->top) {
    if (tv_isstr(o)) {
      CParser cp;
      kx_cparse_init(&cp, L, strdata(strV(o)), strV(o)->len, CPARSE_ABSTRACT | CPARSE_DIRECT | CPARSE_NOIMPLICIT,
                     narg + 1);
      kx_cparse(&cp);
      *next = cp.param_next;
      return cp.result;
    }
    if (tv_iscdata(o)) {
      GcCdata* cd = cdataV(o);
      *next = narg + 1;
      return cd->ctype_id == CTID_CTYPEID ? *static_cast<uint32_t*>(cdataptr(cd)) : cd->ctype_id;
    }
  }
  kx_err_argtype(L, narg, "C type");
}

void push_ctype(lua_State* L, CTypeTable* tab, CTypeID id) {
  setcdataV(L->top, kx_cdata_newctype(tab, id));
  kx_state_incr_top(L);
}

int kx_cf_ffi_cdef(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  kx_ctype_cts(L);
  CParser cp;
  kx_cparse_init(&cp, L, strdata(s), s->len, CPARSE_MULTI | CPARSE_DIRECT, 2);
  kx_cparse(&cp);
  kx_gc_check(L);
  return 0;
}

int kx_cf_ffi_typeof(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  if (tv_iscdata(arg(L, 1)) && arg(L, 2) < L->top) kx_err_arg(L, 2, KX_ERR_FfiTypeParamCount);
  kx_gc_check(L);
  push_ctype(L, tab, id);
  return 1;
}

int kx_cf_ffi_typeinfo(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int32_t id = kx_lib_checkint(L, 1);
  if (id < 0 || static_cast<uint32_t>(id) >= tab->used) return 0;
  const CTypeEntry ct = *ctype_get(tab, static_cast<CTypeID>(id));
  lua_createtable(L, 0, 4);
  lua_pushnumber(L, ct.info);
  lua_setfield(L, -2, "info");
  if (ct.size != KX_CTSIZE_INVALID) {
    lua_pushnumber(L, ct.size);
    lua_setfield(L, -2, "size");
  }
  if (ct.sib) {
    lua_pushnumber(L, ct.sib);
    lua_setfield(L, -2, "sib");
  }
  if (GcString* name = ct.name) {
    setstrV(L->top, name);
    kx_state_incr_top(L);
    lua_setfield(L, -2, "name");
  }
  return 1;
}

int kx_cf_ffi_sizeof(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  const Value* o = arg(L, 1);
  uint32_t size;
  if (tv_iscdata(o) && cdata_isvar(cdataV(o))) {
    size = cdata_varlen(cdataV(o));
  } else {
    uint32_t info = kx_ctype_info(tab, id, &size);
    if (ctype_isvla(info)) {
      int32_t n = kx_lib_checkint(L, next);
      size = n < 0 ? KX_CTSIZE_INVALID : kx_ctype_vlsize(tab, ctype_raw(tab, id), static_cast<uint32_t>(n));
    }
  }
  if (size == KX_CTSIZE_INVALID) return 0;
  lua_pushnumber(L, size);
  return 1;
}

int kx_cf_ffi_alignof(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, id, &size);
  if (ctype_isref(info)) info = kx_ctype_info(tab, ctype_cid(info), &size);
  lua_pushnumber(L, static_cast<double>(1u << ctype_align(info)));
  return 1;
}

int kx_cf_ffi_offsetof(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  GcString* name = kx_lib_checkstr(L, 2);
  CTypeEntry* ct = ctype_raw(tab, id);
  if (!ctype_isstruct(ct->info) || ct->size == KX_CTSIZE_INVALID) return 0;
  uint32_t ofs;
  CTypeEntry* f = kx_ctype_getfield(tab, ct, name, &ofs);
  if (f == nullptr) return 0;
  lua_pushnumber(L, ofs);
  if (ctype_isfield(f->info)) return 1;
  if (!ctype_isbitfield(f->info)) {
    lua_pop(L, 1);
    return 0;
  }
  lua_pushnumber(L, ctype_bitpos(f->info));
  lua_pushnumber(L, ctype_bitbsz(f->info));
  return 3;
}

int kx_cf_ffi_abi(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  static const char* const yes[] = {KX_64 ? "64bit" : "32bit", "le", "fpu", "hardfp"};
  bool r = false;
  for (const char* w : yes) r = r || (s->len == strlen(w) && memcmp(strdata(s), w, s->len) == 0);
  lua_pushboolean(L, r);
  return 1;
}

int kx_cf_ffi_new(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  return kx_ffi_new(L, tab, id, next);
}

int kx_cf_ffi_cast(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, id, &size);
  CTypeEntry* ct = ctype_raw(tab, id);
  if (!ctype_isnum(info) && !ctype_isptr(info) && !ctype_isenum(ct->info)) kx_err_arg(L, 1, KX_ERR_FfiInvalidCType);
  kx_lib_checkany(L, next);
  const Value* o = arg(L, next);
  if (tv_iscdata(o) && cdataV(o)->ctype_id == id) {
    copyV(L->top, o);
    kx_state_incr_top(L);
    return 1;
  }
  kx_gc_check(L);
  GcCdata* cd = kx_cdata_newx(tab, id, size, info);
  setcdataV(L->top, cd);
  kx_state_incr_top(L);
  kx_cconv_ct_tv(tab, ct, static_cast<uint8_t*>(cdataptr(cd)), arg(L, next), CCF_CAST);
  return 1;
}

// The type of a value for ffi.istype, after attributes and references.
CTypeEntry* istype_entry(CTypeTable* tab, CTypeID id) {
  CTypeEntry* ct = ctype_raw(tab, id);
  return ctype_isref(ct->info) ? ctype_child(tab, ct) : ct;
}

int kx_cf_ffi_istype(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  const Value* o = arg(L, next);
  bool r = false;
  if (o < L->top && tv_iscdata(o)) {
    GcCdata* cd = cdataV(o);
    CTypeID oid = cd->ctype_id == CTID_CTYPEID ? *static_cast<uint32_t*>(cdataptr(cd)) : cd->ctype_id;
    CTypeEntry* d = istype_entry(tab, id);
    CTypeEntry* s = istype_entry(tab, oid);
    if (d == s) {
      r = true;
    } else if (ctype_isptr(d->info) && ctype_isptr(s->info)) {
      r = kx_cconv_same_target(tab, ctype_cid(d->info), ctype_cid(s->info));
    } else if (ctype_isnum(d->info) && ctype_isnum(s->info)) {
      r = d->size == s->size && ((d->info ^ s->info) & ~(CTF_QUAL | CTF_LONG)) == 0;
    } else if (ctype_isstruct(d->info) && ctype_isptr(s->info)) {
      r = ctype_child(tab, s) == d;
    }
  }
  lua_pushboolean(L, r);
  return 1;
}

int kx_cf_ffi_errno(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int32_t e = tab->saved_errno;
  if (arg(L, 1) < L->top) {
    tab->saved_errno = kx_lib_checkint(L, 1);
    errno = tab->saved_errno;
  }
  lua_pushnumber(L, e);
  return 1;
}

// An argument converted to a pointer type (argument errors name it).
void* ffi_pointer(lua_State* L, CTypeTable* tab, int narg, CTypeID ptype) {
  kx_lib_checkany(L, narg);
  void* p;
  kx_cconv_ct_tv(tab, ctype_get(tab, ptype), reinterpret_cast<uint8_t*>(&p), arg(L, narg), ccf_arg(narg));
  return p;
}

int kx_cf_ffi_string(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  const Value* len = arg(L, 2);
  if (len >= L->top || tv_isnil(len)) {
    const char* p = static_cast<const char*>(ffi_pointer(L, tab, 1, CTID_P_CCHAR));
    lua_pushstring(L, p);
  } else {
    const char* p = static_cast<const char*>(ffi_pointer(L, tab, 1, CTID_P_CVOID));
    lua_pushlstring(L, p, static_cast<uint32_t>(kx_lib_checkintrange(L, 2)));
  }
  return 1;
}

int kx_cf_ffi_copy(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  void* dst = ffi_pointer(L, tab, 1, CTID_P_VOID);
  const Value* src = arg(L, 2);
  if (src < L->top && tv_isstr(src) && arg(L, 3) >= L->top) {
    memcpy(dst, strdata(strV(src)), strV(src)->len + 1);
    return 0;
  }
  const void* p = ffi_pointer(L, tab, 2, CTID_P_CVOID);
  memcpy(dst, p, static_cast<uint32_t>(kx_lib_checkintrange(L, 3)));
  return 0;
}

int kx_cf_ffi_fill(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  void* dst = ffi_pointer(L, tab, 1, CTID_P_VOID);
  int32_t len = kx_lib_checkintrange(L, 2);
  int32_t c = kx_lib_optint(L, 3, 0);
  memset(dst, c & 0xff, static_cast<uint32_t>(len));
  return 0;
}

int kx_cf_ffi_metatype(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int next;
  CTypeID id = ffi_checkctype(L, 1, &next);
  GcTable* mt = kx_lib_checktab(L, 2);
  CTypeEntry* ct = ctype_raw(tab, id);
  if (!ctype_isstruct(ct->info) && !ctype_iscomplex(ct->info) && !ctype_isvector(ct->info))
    kx_err_arg(L, 1, KX_ERR_FfiInvalidCType);
  id = ctype_typeid(tab, ct);
  Value key;
  setnumV(&key, -static_cast<double>(id));
  const Value* old = kx_tab_get(L, tab->misc_map, &key);
  if (!tv_isnil(old)) kx_err_caller(L, KX_ERR_ProtectedMetatable);
  Value v;
  settabV(&v, mt);
  copyV(kx_tab_set(L, tab->misc_map, &key), &v);
  kx_gc_barriert(G(L), tab->misc_map, &v);
  push_ctype(L, tab, id);
  return 1;
}

int kx_cf_ffi_gc(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  const Value* o = arg(L, 1);
  if (o >= L->top || !tv_iscdata(o)) kx_err_argtype(L, 1, "cdata");
  GcCdata* cd = cdataV(o);
  CTypeEntry* ct = ctype_raw(tab, cd->ctype_id);
  bool plain_array = ctype_isarray(ct->info) && !(ct->info & (CTF_COMPLEX | CTF_VECTOR));
  if (!ctype_isptr(ct->info) && !ctype_isstruct(ct->info) && !plain_array) kx_err_arg(L, 1, KX_ERR_FfiInvalidCType);
  kx_lib_checkany(L, 2);
  kx_cdata_setfin(L, cd, arg(L, 2));
  lua_settop(L, 1);
  return 1;
}

int kx_cf_ffi_load(lua_State* L) {
  kx_ctype_cts(L);
  GcString* name = kx_lib_checkstr(L, 1);
  bool global = arg(L, 2) < L->top && tv_istruecond(arg(L, 2));
  settabV(L->top, funcV(L->base - 1)->env);  // the namespace metatable
  kx_state_incr_top(L);
  kx_clib_load(L, name, global, -1);
  return 1;
}

KX_LIBDEF(kx_lib_init_ffi, "ffi");

const lua_CFunction kx_lib_cf_ffi[] = {
    kx_cf_ffi_cdef, kx_cf_ffi_new, kx_cf_ffi_cast, kx_cf_ffi_typeof, kx_cf_ffi_typeinfo, kx_cf_ffi_istype,
    kx_cf_ffi_sizeof, kx_cf_ffi_alignof, kx_cf_ffi_offsetof, kx_cf_ffi_errno, kx_cf_ffi_string,
    kx_cf_ffi_copy, kx_cf_ffi_fill, kx_cf_ffi_abi, kx_cf_ffi_metatype, kx_cf_ffi_gc, kx_cf_ffi_load,
};

}  // namespace

extern "C" int luaopen_ffi(lua_State* L) {
  kx_ffi_open(L);
  kx_clib_register(L);
  kx_lib_register(L, nullptr, kx_lib_init_ffi.data(), kx_lib_cf_ffi);
  kx_clib_pushdefault(L, -2);
  lua_setfield(L, -2, "C");
  lua_pushliteral(L, "Linux");
  lua_setfield(L, -2, "os");
  lua_pushstring(L, KX_64 ? "x64" : "x86");
  lua_setfield(L, -2, "arch");
  lua_remove(L, -2);
  return 1;
}
