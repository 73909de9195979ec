// The metatable of C data objects: indexing, calls, arithmetic, comparisons and text.
#pragma once

#include "core/state.h"

// Builds the metatable of all C data objects and leaves it on the stack.
void kx_cmeta_register(lua_State* L);
