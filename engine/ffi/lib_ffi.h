// The ffi module.
#pragma once

#include "ffi/ctype.h"

// Opens the interface when it is not open yet: the type table and the metatable of C data objects.
// Returns the table, with L as its thread.
CTypeTable* kx_ffi_open(lua_State* L);
