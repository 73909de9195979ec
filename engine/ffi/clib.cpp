// Library namespaces.
//
// A name resolves once and is cached: a constant as its number, a function as a C data object
// holding its address, a variable as a reference to it (read and written through the namespace).
#include "ffi/clib.h"

#include <cerrno>
#include <cstdio>

#include <dlfcn.h>

#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"
#include "lib/lib.h"
#include "lib/libdef.h"

namespace {

// The payload of a namespace userdata; its environment table caches resolved names.
struct CLibrary {
  void* handle;  // a loaded library, or the default namespace's handle
  bool owned;    // closed when the namespace is collected
};

constexpr uint32_t SYMBOL_KINDS = (1u << CT_FUNC) | (1u << CT_CONSTVAL) | (1u << CT_EXTERN);

GcUdata* clib_check(lua_State* L) {
  const Value* o = L->base;
  if (o >= L->top || !tv_isudata(o) || udataV(o)->udtype != KX_UDTYPE_FFI_CLIB) kx_err_argtype(L, 1, "userdata");
  return udataV(o);
}

// The symbol name of a declaration: its asm redirect, else its name.
GcString* symbol_name(CTypeTable* tab, CTypeEntry* ct) {
  for (CTypeEntry* a = ct; a->sib;) {
    a = ctype_get(tab, a->sib);
    if (ctype_isattrib(a->info) && ctype_attrib(a->info) == CTA_REDIR) return a->name;
  }
  return ct->name;
}

void* clib_symbol(lua_State* L, CLibrary* lib, GcString* sym) {
  int saved = errno;
  dlerror();
  void* p = dlsym(lib->handle, strdata(sym));
  if (p == nullptr) {
    const char* why = dlerror();
    errno = saved;
    kx_err_callermsg(L, kx_strfmt_pushf(L, "cannot resolve symbol '%s': %s", strdata(sym), why ? why : "not found"));
  }
  errno = saved;
  return p;
}

// Resolves a declared name: a constant, or a C data object for a function or variable.
void clib_resolve(lua_State* L, CTypeTable* tab, CLibrary* lib, GcString* name, Value* out) {
  CTypeEntry* ct;
  CTypeID id = kx_ctype_getname(tab, &ct, name, SYMBOL_KINDS);
  if (id == 0) kx_err_callerv(L, KX_ERR_FfiMissingSymbol, strdata(name));
  if (ctype_isconstval(ct->info)) {
    uint32_t size;
    uint32_t info = kx_ctype_info(tab, ctype_cid(ct->info), &size);
    setnumV(out, info & CTF_UNSIGNED ? double(ct->size) : double(static_cast<int32_t>(ct->size)));
    return;
  }
  void* p = clib_symbol(L, lib, symbol_name(tab, ct));
  CTypeID tid = id;
  if (ctype_isextern(ct->info)) {
    tid = kx_ctype_intern(tab, ctinfo(CT_PTR, CTF_REF | ctype_alignflag(KX_CTALIGN_PTR) | ctype_cid(ct->info)), KX_CTSIZE_PTR);
  }
  GcCdata* cd = kx_cdata_new(tab, tid, KX_CTSIZE_PTR);
  memcpy(cdataptr(cd), &p, sizeof(p));
  setcdataV(out, cd);
}

// A cached variable reference reads as the variable's value.
void clib_value(CTypeTable* tab, const Value* cached, Value* out) {
  if (tv_iscdata(cached)) {
    GcCdata* cd = cdataV(cached);
    CTypeEntry* ct = ctype_get(tab, cd->ctype_id);
    if (ctype_isref(ct->info)) {
      uint8_t* p;
      memcpy(&p, cdataptr(cd), sizeof(p));
      CTypeID vid = ctype_cid(ct->info);
      kx_cconv_tv_ct(tab, ctype_raw(tab, vid), vid, out, p);
      return;
    }
  }
  copyV(out, cached);
}

const Value* clib_lookup(lua_State* L, CTypeTable* tab, GcUdata* ud, GcString* name) {
  GcTable* cache = ud->env;
  const Value* v = kx_tab_getstr(cache, name);
  if (v && !tv_isnil(v)) return v;
  Value r;
  clib_resolve(L, tab, static_cast<CLibrary*>(uddata(ud)), name, &r);
  Value* slot = kx_tab_setstr(L, cache, name);
  copyV(slot, &r);
  kx_gc_barriert(G(L), cache, &r);
  return slot;
}

int kx_cf_ffi_clib___index(lua_State* L) {
  GcUdata* ud = clib_check(L);
  GcString* name = kx_lib_checkstr(L, 2);
  CTypeTable* tab = kx_ctype_cts(L);
  const Value* v = clib_lookup(L, tab, ud, name);
  Value out;
  clib_value(tab, v, &out);
  copyV(L->top, &out);
  kx_state_incr_top(L);
  kx_gc_check(L);
  return 1;
}

int kx_cf_ffi_clib___newindex(lua_State* L) {
  GcUdata* ud = clib_check(L);
  GcString* name = kx_lib_checkstr(L, 2);
  kx_lib_checkany(L, 3);
  CTypeTable* tab = kx_ctype_cts(L);
  const Value* v = clib_lookup(L, tab, ud, name);
  if (tv_iscdata(v)) {
    GcCdata* cd = cdataV(v);
    CTypeEntry* ct = ctype_get(tab, cd->ctype_id);
    if (ctype_isref(ct->info)) {
      CTypeID vid = ctype_cid(ct->info);
      uint32_t size;
      if (kx_ctype_info(tab, vid, &size) & CTF_CONST) kx_err_caller(L, KX_ERR_FfiWriteConstant);
      uint8_t* p;
      memcpy(&p, cdataptr(cd), sizeof(p));
      kx_cconv_ct_tv(tab, ctype_raw(tab, vid), p, L->base + 2, 0);
      return 0;
    }
  }
  kx_err_caller(L, KX_ERR_FfiWriteConstant);
}

int kx_cf_ffi_clib___gc(lua_State* L) {
  GcUdata* ud = clib_check(L);
  CLibrary* lib = static_cast<CLibrary*>(uddata(ud));
  if (lib->owned && lib->handle) dlclose(lib->handle);
  lib->handle = nullptr;
  return 0;
}

KX_LIBDEF(kx_lib_init_ffi_clib, "ffi_clib");

const lua_CFunction kx_lib_cf_ffi_clib[] = {kx_cf_ffi_clib___index, kx_cf_ffi_clib___newindex, kx_cf_ffi_clib___gc};

CLibrary* push_namespace(lua_State* L, int mt, void* handle, bool owned) {
  GcTable* cache = kx_tab_new(L, 0, 0);
  GcUdata* ud = kx_udata_new(L, sizeof(CLibrary), cache);
  ud->udtype = KX_UDTYPE_FFI_CLIB;
  CLibrary* lib = static_cast<CLibrary*>(uddata(ud));
  lib->handle = handle;
  lib->owned = owned;
  setudataV(L->top, ud);
  kx_state_incr_top(L);
  lua_pushvalue(L, mt);
  lua_setmetatable(L, -2);
  return lib;
}

// A linker script (as libc.so and libm.so are on some systems) names the real library in GROUP (...).
// The loader's message for it starts with the script's path.
void* open_linker_script(const char* why, int mode) {
  const char* end = why ? strstr(why, ": invalid ELF header") : nullptr;
  if (end == nullptr || end - why >= 512) return nullptr;
  char path[512];
  memcpy(path, why, static_cast<size_t>(end - why));
  path[end - why] = 0;
  FILE* f = fopen(path, "r");
  if (f == nullptr) return nullptr;
  char text[1024];
  size_t n = fread(text, 1, sizeof(text) - 1, f);
  fclose(f);
  text[n] = 0;
  const char* g = strstr(text, "GROUP");
  if (g == nullptr) return nullptr;
  g = strchr(g, '(');
  if (g == nullptr) return nullptr;
  char lib[512];
  if (sscanf(g + 1, " %511s", lib) != 1) return nullptr;
  return dlopen(lib, mode);
}

}  // namespace

void kx_clib_register(lua_State* L) { kx_lib_register(L, nullptr, kx_lib_init_ffi_clib.data(), kx_lib_cf_ffi_clib); }

void kx_clib_pushdefault(lua_State* L, int mt) {
  mt = mt < 0 ? lua_gettop(L) + mt + 1 : mt;
  push_namespace(L, mt, dlopen(nullptr, RTLD_NOW), false);
}

void kx_clib_load(lua_State* L, GcString* name, bool global, int mt) {
  mt = mt < 0 ? lua_gettop(L) + mt + 1 : mt;
  const char* s = strdata(name);
  bool bare = strchr(s, '/') == nullptr && strchr(s, '.') == nullptr;
  // The namespace is made before the library is opened: an open handle is never held where a
  // failed allocation could lose it, and the namespace's finalizer closes it.
  CLibrary* lib = push_namespace(L, mt, nullptr, true);
  const char* path = bare ? kx_strfmt_pushf(L, "lib%s.so", s) : s;
  int mode = RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL);
  void* h = dlopen(path, mode);
  if (h == nullptr) {
    const char* why = dlerror();
    why = kx_strfmt_pushf(L, "%s", why ? why : "not found");
    if (bare) h = open_linker_script(why, mode);
    if (h == nullptr) kx_err_callermsg(L, kx_strfmt_pushf(L, "cannot load module '%s': %s", s, why));
    lua_pop(L, 1);
  }
  if (bare) lua_pop(L, 1);
  lib->handle = h;
}
