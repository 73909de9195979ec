// Library namespaces: ffi.C and the namespaces of ffi.load, which resolve declared names to
// constants, functions and variables.
#pragma once

#include "core/state.h"

// Builds the metatable of namespaces and leaves it on the stack.
void kx_clib_register(lua_State* L);
// Loads a native library and pushes its namespace; a bare name (no "/" nor ".") becomes lib<name>.so.
// global makes its symbols available to libraries loaded later. mt is the namespace metatable's index.
void kx_clib_load(lua_State* L, GcString* name, bool global, int mt);
// Pushes the default namespace (the program and the libraries it was linked with); mt is the stack
// index of the namespace metatable.
void kx_clib_pushdefault(lua_State* L, int mt);
