// The ffi module.
#pragma once

#include "ffi/ctype.h"

// Opens the interface when it is not open yet: the type table and the metatable of C data objects.
// Returns the table, with L as its thread.
CTypeTable* kx_ffi_open(lua_State* L);
// ffi.new for type id with the running C function's arguments from narg on: the element count of a
// variable-length type, then the initialisers. Pushes the new object; returns 1.
int kx_ffi_new(lua_State* L, CTypeTable* tab, CTypeID id, int narg);
