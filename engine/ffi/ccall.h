// Native calls through libffi: call interfaces built from function types, argument and result
// conversion, errno around the call.
#pragma once

#include <ffi.h>

#include "ffi/ctype.h"

// A prepared call interface of a function type's fixed parameters.
struct CallSignature {
  ffi_cif cif;
  ffi_type** atypes;
  uint32_t nargs;
};

// Memory of the call interfaces and the interfaces of function types, kept until the table closes.
struct CallState;

// The prepared interface of function type fid (cached), or null when libffi cannot describe it.
const CallSignature* kx_ccall_signature(CTypeTable* tab, CTypeID fid);
// Calls the function (or function pointer) cd with the running C function's arguments from 2 on;
// pushes the result and returns the number of results.
int kx_ccall(lua_State* L, CTypeTable* tab, GcCdata* cd);
// Frees the call state at lua_close.
void kx_ccall_freestate(GlobalState* g, CTypeTable* tab);
