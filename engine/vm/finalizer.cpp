// Finalizer calls for the collector: each runs under a protected call, and its error is reported
// through the error-in-finalizer event instead of propagating.
#include <cstdio>

#include "core/gc.h"
#include "core/state.h"
#include "vm/vm.h"

namespace {

// Looks up the error-in-finalizer handler; leaves it and a copy of the error object (the value
// below the entry's top) on the stack, or nil when there is none.
Value* cp_errfin_handler(lua_State* L, lua_CFunction, void*) {
  int err = lua_gettop(L);
  lua_getfield(L, LUA_REGISTRYINDEX, "_VMEVENTS");
  if (lua_istable(L, -1)) lua_rawgeti(L, -1, KX_VMEVENT_KEY_ERRFIN);
  else lua_pushnil(L);
  lua_remove(L, -2);
  if (lua_isfunction(L, -1)) lua_pushvalue(L, err);
  return nullptr;
}

// Reports the error a finalizer raised (on top of fL) through the error-in-finalizer event and
// pops it.
void report_finalizer_error(GlobalState* g, lua_State* fL) {
  int32_t errtop = savestack(fL, fL->top);
  if (g->event_mask & KX_EVENT_ERRFIN) {
    if (kx_vm_cpcall(fL, nullptr, nullptr, cp_errfin_handler) == LUA_OK) {
      Value* handler = restorestack(fL, errtop);
      if (tv_isfunc(handler)) {
        uint8_t oldh = g->hook_mask, olde = g->event_mask;
        g->event_mask = 0;
        g->hook_mask |= KX_HOOK_ACTIVE | KX_HOOK_VMEVENT;
        if (kx_vm_pcall(fL, handler + 1, 1, 0) != LUA_OK) {
          const Value* msg = fL->top - 1;
          fprintf(stderr, "VM handler failed: %s\n", tv_isstr(msg) ? strdata(strV(msg)) : "?");
          fflush(stderr);
        }
        g->hook_mask = static_cast<uint8_t>((g->hook_mask & 0x0f) | (oldh & 0xf0));
        if (g->event_mask != 0xff) g->event_mask = olde;
      } else {
        g->event_mask &= static_cast<uint8_t>(~KX_EVENT_ERRFIN);
      }
    }
  }
  fL->top = restorestack(fL, errtop) - 1;
}

}  // namespace

void kx_vm_finalize(lua_State* L, const Value* fn, GcObj* o) {
  GlobalState* g = G(L);
  lua_State* fL = g->finalizer_thread;
  uint8_t oldh = g->hook_mask;
  uint32_t oldt = g->gc.threshold;
  int32_t ostate = g->vm_state;
  g->hook_mask = static_cast<uint8_t>((oldh & ~KX_HOOK_PROFILE) | KX_HOOK_GC | KX_HOOK_ACTIVE);
  g->gc.threshold = KX_GC_NEVER;
  Value* top = fL->top;  // the stack's headroom always holds these two slots
  copyV(top, fn);
  setgcV(top + 1, o, ~static_cast<uint32_t>(o->gc_type));
  fL->top = top + 2;
  int status = kx_vm_pcall(fL, top + 1, 1, -1);
  g->current_thread = L;
  g->hook_mask = oldh;
  // Still no steps while the error is reported: its handler may allocate.
  if (status != LUA_OK) report_finalizer_error(g, fL);
  g->gc.threshold = oldt;
  g->vm_state = ostate;
}
