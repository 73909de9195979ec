// Protected C entry.
#include "vm/entry.h"

#include "core/func.h"
#include "core/state.h"

int kx_vm_cpcall(lua_State* L, lua_CFunction func, void* ud, kx_CPFunction cp) {
  EntryRecord rec;
  rec.prev = static_cast<EntryRecord*>(L->c_frame);
  rec.wanted = L->stack ? -savestack(L, L->top) : 0;
  rec.handler = 0;
  rec.L = L;
  rec.saved_pc = nullptr;
  L->c_frame = &rec;
  int status = _setjmp(rec.exit);
  if (status == 0) {
    cp(L, func, ud);
    L->c_frame = rec.prev;
    return LUA_OK;
  }
  // Landed after an error: cut the stack back to where this entry began, error object on top.
  L->c_frame = rec.prev;
  if (L->stack && L->status != KX_STATUS_CREATING) {
    Value* level = restorestack(L, -rec.wanted);
    kx_func_closeuv(L, level);
    copyV(level, L->top - 1);
    L->top = level + 1;
  }
  return status;
}
