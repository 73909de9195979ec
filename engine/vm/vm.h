// The interpreter's C-level entries.
#pragma once

#include "bytecode/bc.h"
#include "core/entry.h"
#include "core/jit.h"
#include "core/state.h"
#include "vm/ffid.h"

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

// The interpreter's dispatch tables and the entry instructions of the built-in fast functions.
// Entries below BC_FUNCF are the ordinary instructions; from BC_FUNCF on, the function entries and
// then the fast built-ins.
struct DispatchArea {
  uint16_t hot_counters[64];
  const void* dynamic[BC__DISPATCH];  // used by every instruction fetch; hooks redirect entries
  const void* plain[BC__DISPATCH];    // the plain handlers
  Instr fast_entries[KX_FF_COUNT];    // entry i is an instruction with opcode BC__MAX + i
  // The interceptors that hooks place in the dynamic table, in this order; each ends in the plain
  // handler.
  const void* hook_ins;   // any instruction, for line and count hooks
  const void* hook_ret;   // return instructions, for return hooks
  const void* hook_call;  // function entries and fast built-ins, for call hooks
};

// The main thread, the GlobalState, the dispatch area and the compiler controls are one allocation.
struct StateBlock {
  lua_State L;
  GlobalState g;
  DispatchArea dispatch;
  JitState jit;
};

inline DispatchArea* kx_dispatch(GlobalState* g) {
  return &reinterpret_cast<StateBlock*>(reinterpret_cast<char*>(g) - offsetof(StateBlock, g))->dispatch;
}
inline JitState* kx_jit(GlobalState* g) {
  return &reinterpret_cast<StateBlock*>(reinterpret_cast<char*>(g) - offsetof(StateBlock, g))->jit;
}

// Fills the dispatch area and the GlobalState's C-function entries.
void kx_vm_init_dispatch(GlobalState* g);
