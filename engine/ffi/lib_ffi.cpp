// The ffi module: opening the interface, type arguments and the module's functions.
#include "ffi/lib_ffi.h"

#include "core/gc.h"
#include "core/str.h"
#include "core/table.h"
#include "ffi/cdata.h"
#include "ffi/clib.h"
#include "ffi/cmeta.h"
#include "ffi/cparse.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/err.h"

CTypeTable* kx_ffi_open(lua_State* L) {
  GlobalState* g = G(L);
  if (g->ctype_state) return kx_ctype_cts(L);
  CTypeTable* tab = kx_ctype_init(L);
  kx_cmeta_register(L);
  g->roots[KX_ROOT_BASEMT + uint32_t(KX_ICDATA)] = gcV(L->top - 1);
  L->top--;
  return tab;
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

KX_LIBDEF(kx_lib_init_ffi, R"(191 57 22
  copy 2 str "" set
  C cdef C new C cast C typeof C typeinfo C istype C sizeof C alignof C offsetof C errno C string C copy
  C fill C abi C metatype C gc C load
)");

const lua_CFunction kx_lib_cf_ffi[] = {
    kx_cf_ffi_cdef, kx_lib_notbuilt, kx_lib_notbuilt, kx_cf_ffi_typeof, kx_cf_ffi_typeinfo, kx_lib_notbuilt,
    kx_cf_ffi_sizeof, kx_cf_ffi_alignof, kx_cf_ffi_offsetof, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_cf_ffi_abi, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
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
