// Callbacks: Lua functions called from C through function pointers. Each callback takes one slot,
// holding a native entry (a libffi closure) and the Lua function it calls.
#pragma once

#include "ffi/ctype.h"

constexpr uint32_t KX_CALLBACK_SLOTS = 928;

// A callback for fn with function-pointer type fptr; returns the native entry to store.
void* kx_ccallback_new(CTypeTable* tab, CTypeID fptr, const Value* fn);
// Builds the metatable of callbacks (methods free and set) and leaves it on the stack.
void kx_ccallback_register(lua_State* L);
// The table of the slots' Lua functions, which the collector marks; null before the first callback.
GcTable* kx_ccallback_funcs(CTypeTable* tab);
// Frees the slots at lua_close.
void kx_ccallback_freestate(GlobalState* g, CTypeTable* tab);
