// Callbacks.
//
// A slot keeps its closure once allocated; freeing a callback only frees the slot for the next one.
// A callback runs its Lua function on the thread that made the native call it happens in; an error in
// it unwinds through the C code that called it, to the nearest protected call of the script.
#include "ffi/ccallback.h"

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/table.h"
#include "ffi/ccall.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"
#include "lib/lib.h"
#include "lib/libdef.h"

struct CallbackSlot {
  CTypeTable* tab;
  ffi_closure* closure;  // null until first used
  void* code;            // its native entry
  CTypeID ftype;         // function type of the callback
  bool live;
};

struct CallbackState {
  Ref<GcTable> funcs;  // slot i's Lua function at key i + 1
  uint32_t used;       // slots ever used
  CallbackSlot slots[KX_CALLBACK_SLOTS];
};

namespace {

CallbackState* callback_state(CTypeTable* tab) {
  if (tab->callbacks == nullptr) {
    lua_State* L = tab->thread;
    GcTable* funcs = kx_tab_new(L, 0, 0);
    CallbackState* cs = kx_mem_newobj<CallbackState>(L);
    memset(cs, 0, sizeof(CallbackState));
    cs->funcs = funcs;
    tab->callbacks = cs;
  }
  return tab->callbacks;
}

void set_func(CTypeTable* tab, uint32_t slot, const Value* fn) {
  GcTable* funcs = tab->callbacks->funcs;
  copyV(kx_tab_setint(tab->thread, funcs, static_cast<int32_t>(slot + 1)), fn);
  kx_gc_barriert(tab->global, funcs, fn);
}

// Stores a callback's Lua result as its C result; integers narrower than a register fill it.
void store_result(CTypeTable* tab, CTypeEntry* rt, void* ret, const Value* o) {
  if ((ctype_isnum(rt->info) || ctype_isenum(rt->info)) && !(rt->info & CTF_FP) && rt->size < sizeof(ffi_arg)) {
    alignas(8) uint8_t tmp[8];
    int64_t v;
    kx_cconv_ct_tv(tab, rt, tmp, o, 0);
    kx_cconv_ct_ct(tab, ctype_get(tab, CTID_INT64), rt, reinterpret_cast<uint8_t*>(&v), tmp, 0);
    ffi_arg r = static_cast<ffi_arg>(v);
    memcpy(ret, &r, sizeof(r));
    return;
  }
  kx_cconv_ct_tv(tab, rt, static_cast<uint8_t*>(ret), o, 0);
}

void callback_entry(ffi_cif*, void* ret, void** args, void* userdata) {
  CallbackSlot* slot = static_cast<CallbackSlot*>(userdata);
  CTypeTable* tab = slot->tab;
  lua_State* L = tab->thread;
  CTypeEntry* ft = ctype_get(tab, slot->ftype);
  int32_t base = savestack(L, L->top);
  lua_checkstack(L, 3);
  copyV(L->top, kx_tab_getint(tab->callbacks->funcs, static_cast<int32_t>(slot - tab->callbacks->slots) + 1));
  kx_state_incr_top(L);
  int n = 0;
  for (CTypeEntry* p = ft; p->sib && ctype_isfield(ctype_get(tab, p->sib)->info); n++) {
    p = ctype_get(tab, p->sib);
    CTypeID pid = ctype_cid(p->info);
    lua_checkstack(L, 2);
    Value v;
    kx_cconv_tv_ct(tab, ctype_raw(tab, pid), pid, &v, static_cast<const uint8_t*>(args[n]));
    copyV(L->top, &v);
    kx_state_incr_top(L);
  }
  lua_call(L, n, 1);
  tab->thread = L;
  CTypeEntry* rt = ctype_raw(tab, ctype_cid(ft->info));
  if (!ctype_isvoid(rt->info)) store_result(tab, rt, ret, L->top - 1);
  L->top = restorestack(L, base);
}

// The slot of a callback object (a function pointer holding a slot's entry), or -1.
int32_t slot_of(lua_State* L, CTypeTable* tab) {
  const Value* o = L->base;
  if (o >= L->top || !tv_iscdata(o) || tab->callbacks == nullptr) return -1;
  CTypeEntry* ct = ctype_raw(tab, cdataV(o)->ctype_id);
  if (!ctype_isptr(ct->info)) return -1;
  void* code;
  memcpy(&code, cdataptr(cdataV(o)), sizeof(code));
  CallbackState* cs = tab->callbacks;
  for (uint32_t i = 0; i < cs->used; i++)
    if (cs->slots[i].live && cs->slots[i].code == code) return static_cast<int32_t>(i);
  return -1;
}

int kx_cf_ffi_callback_free(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int32_t slot = slot_of(L, tab);
  if (slot < 0) kx_err_caller(L, KX_ERR_FfiBadCallback);
  tab->callbacks->slots[slot].live = false;
  set_func(tab, static_cast<uint32_t>(slot), niltv(G(L)));
  return 0;
}

int kx_cf_ffi_callback_set(lua_State* L) {
  CTypeTable* tab = kx_ctype_cts(L);
  int32_t slot = slot_of(L, tab);
  if (slot < 0) kx_err_caller(L, KX_ERR_FfiBadCallback);
  kx_lib_checkfunc(L, 2);
  set_func(tab, static_cast<uint32_t>(slot), L->base + 1);
  return 0;
}

KX_LIBDEF(kx_lib_init_ffi_callback, "ffi_callback");

const lua_CFunction kx_lib_cf_ffi_callback[] = {kx_cf_ffi_callback_free, kx_cf_ffi_callback_set};

}  // namespace

void* kx_ccallback_new(CTypeTable* tab, CTypeID fptr, const Value* fn) {
  lua_State* L = tab->thread;
  CTypeID ftype = ctype_typeid(tab, ctype_child(tab, ctype_raw(tab, fptr)));
  const CallSignature* sig = kx_ccall_signature(tab, ftype);
  if (sig == nullptr || (ctype_get(tab, ftype)->info & CTF_VARARG)) kx_err_callerv(L, KX_ERR_FfiCannotCall);
  CallbackState* cs = callback_state(tab);
  uint32_t i = 0;
  while (i < cs->used && cs->slots[i].live) i++;
  if (i == KX_CALLBACK_SLOTS) kx_err_callerv(L, KX_ERR_FfiTooManyCallbacks);
  CallbackSlot* slot = &cs->slots[i];
  if (slot->closure == nullptr) {
    slot->closure = static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &slot->code));
    if (slot->closure == nullptr) kx_err_mem(L);
  }
  if (ffi_prep_closure_loc(slot->closure, const_cast<ffi_cif*>(&sig->cif), callback_entry, slot, slot->code) != FFI_OK)
    kx_err_callerv(L, KX_ERR_FfiCannotCall);
  slot->tab = tab;
  slot->ftype = ftype;
  set_func(tab, i, fn);
  slot->live = true;
  if (i == cs->used) cs->used++;
  return slot->code;
}

void kx_ccallback_register(lua_State* L) {
  kx_lib_register(L, nullptr, kx_lib_init_ffi_callback.data(), kx_lib_cf_ffi_callback);
}

GcTable* kx_ccallback_funcs(CTypeTable* tab) { return tab->callbacks ? tab->callbacks->funcs.get() : nullptr; }

void kx_ccallback_freestate(GlobalState* g, CTypeTable* tab) {
  CallbackState* cs = tab->callbacks;
  if (cs == nullptr) return;
  for (uint32_t i = 0; i < cs->used; i++)
    if (cs->slots[i].closure) ffi_closure_free(cs->slots[i].closure);
  kx_mem_free(g, cs, sizeof(CallbackState));
  tab->callbacks = nullptr;
}
