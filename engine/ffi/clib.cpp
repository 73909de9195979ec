// Library namespaces.
#include "ffi/clib.h"

#include "core/gc.h"
#include "core/table.h"
#include "ffi/cdata.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "vm/err.h"

namespace {

// The payload of a namespace userdata; its environment table caches resolved names.
struct CLibrary {
  void* handle;  // null for the default namespace
};

constexpr uint32_t SYMBOL_KINDS = (1u << CT_FUNC) | (1u << CT_CONSTVAL) | (1u << CT_EXTERN);

GcUdata* clib_check(lua_State* L) {
  const Value* o = L->base;
  if (o >= L->top || !tv_isudata(o) || udataV(o)->udtype != KX_UDTYPE_FFI_CLIB) kx_err_argtype(L, 1, "userdata");
  return udataV(o);
}

// The value of a declared constant: a number, unsigned when its type is.
void clib_constant(CTypeTable* tab, const CTypeEntry* ct, Value* out) {
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, ctype_cid(ct->info), &size);
  if (info & CTF_UNSIGNED) setnumV(out, static_cast<double>(ct->size));
  else setnumV(out, static_cast<double>(static_cast<int32_t>(ct->size)));
}

int kx_cf_ffi_clib___index(lua_State* L) {
  GcUdata* ud = clib_check(L);
  GcString* name = kx_lib_checkstr(L, 2);
  GcTable* cache = ud->env;
  if (const Value* v = kx_tab_getstr(cache, name); v && !tv_isnil(v)) {
    copyV(L->top, v);
    kx_state_incr_top(L);
    return 1;
  }
  CTypeTable* tab = kx_ctype_cts(L);
  CTypeEntry* ct;
  if (!kx_ctype_getname(tab, &ct, name, SYMBOL_KINDS)) kx_err_callerv(L, KX_ERR_FfiMissingSymbol, strdata(name));
  Value v;
  if (!ctype_isconstval(ct->info)) kx_lib_notbuilt(L);
  clib_constant(tab, ct, &v);
  copyV(kx_tab_setstr(L, cache, name), &v);
  copyV(L->top, &v);
  kx_state_incr_top(L);
  return 1;
}

int kx_cf_ffi_clib___gc(lua_State*) { return 0; }

KX_LIBDEF(kx_lib_init_ffi_clib, R"(186 57 3
  C __index C __newindex C __gc
)");

const lua_CFunction kx_lib_cf_ffi_clib[] = {kx_cf_ffi_clib___index, kx_lib_notbuilt, kx_cf_ffi_clib___gc};

}  // namespace

void kx_clib_register(lua_State* L) { kx_lib_register(L, nullptr, kx_lib_init_ffi_clib.data(), kx_lib_cf_ffi_clib); }

void kx_clib_pushdefault(lua_State* L, int mt) {
  mt = mt < 0 ? lua_gettop(L) + mt + 1 : mt;
  GcTable* cache = kx_tab_new(L, 0, 0);
  GcUdata* ud = kx_udata_new(L, sizeof(CLibrary), cache);
  ud->udtype = KX_UDTYPE_FFI_CLIB;
  static_cast<CLibrary*>(uddata(ud))->handle = nullptr;
  setudataV(L->top, ud);
  kx_state_incr_top(L);
  lua_pushvalue(L, mt);
  lua_setmetatable(L, -2);
}
