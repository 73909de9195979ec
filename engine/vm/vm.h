// The interpreter's C-level entries.
#pragma once

#include "core/state.h"
#include "vm/entry.h"

// Calls the function in base - 1 with the values base ... top - 1; wanted = results + 1 (0: all).
void kx_vm_call(lua_State* L, Value* base, int32_t wanted);
// The same as a catch point; handler is the byte offset of the error handler slot (0: none,
// -1: the next outer catch point's). Returns 0 or the error status with the error object on top.
int kx_vm_pcall(lua_State* L, Value* base, int32_t wanted, int32_t handler);

// Starts or resumes coroutine L: a fresh one calls the value below base with base ... top - 1; a
// suspended one gets those values as the results of its pending yield. Returns 0 when its main
// function returned, LUA_YIELD when it yielded, or an error status (the coroutine is then dead,
// unless C-level entries nest too deeply to run it at all).
int kx_vm_resume(lua_State* L, Value* base);

// Fills the GlobalState's dispatch tables and fast-function entries.
void kx_vm_init_dispatch(GlobalState* g);

// C-level entries made inside other entries are counted; beyond this many, "stack overflow", and
// beyond a few more for a running error handler, "error in error handling".
constexpr uint32_t KX_MAX_CENTRIES = 200;
constexpr uint32_t KX_HANDLER_CENTRIES = 10;
