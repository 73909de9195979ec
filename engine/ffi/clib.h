// Library namespaces: ffi.C and the namespaces of ffi.load, which resolve declared names to
// constants, functions and variables.
#pragma once

#include "core/state.h"

// Builds the metatable of namespaces and leaves it on the stack.
void kx_clib_register(lua_State* L);
// Pushes the default namespace (the program and the libraries it was linked with); mt is the stack
// index of the namespace metatable.
void kx_clib_pushdefault(lua_State* L, int mt);
