// Hooks and the dispatch tables: which interceptors the dynamic table holds, what they do, and how
// the hook is called. The public lua_sethook family is implemented here as well.
#pragma once

#include "core/state.h"

// Dispatch modes: the interceptions that the hook mask asks for.
enum : uint8_t {
  KX_DISPATCH_CALL = 0x01,  // function entries and fast built-ins go through the call interceptor
  KX_DISPATCH_RET = 0x02,   // return instructions go through the return interceptor
  KX_DISPATCH_INS = 0x04,   // every ordinary instruction goes through the instruction interceptor
};

// Recomputes the dispatch mode from the hook mask and rewrites the dynamic entries that change.
void kx_dispatch_update(GlobalState* g);

// Called by the interceptors before the instruction ending just before pc runs, in the frame at
// L->base; pending is the interpreter's count of values left by the last open-ended instruction
// plus one. Calls the count, line and return hooks that are due.
void kx_dispatch_ins(lua_State* L, const Instr* pc, uint32_t pending);
// Called at the entry of the function in L->base - 1 (pc: after its entry instruction) with
// pending - 1 arguments: makes room for the callee and calls the call hook.
void kx_dispatch_call(lua_State* L, const Instr* pc, uint32_t pending);

// Whether a C hook runs directly on the thread's current entry, so that lua_yield yields from it.
bool kx_dispatch_inhook(lua_State* L);
// Yields from inside a line, count or return hook: the interrupted instruction runs when the
// coroutine is resumed.
[[noreturn]] void kx_dispatch_yield(lua_State* L);
