// Unwinding at the interpreter's catch points; the raisers are declared in core/err.h.
#pragma once

#include "core/entry.h"
#include "core/err.h"

// Unwinding at a catch point after the non-local exit landed there.
Value* kx_err_unwind_pcall(lua_State* L, Value* frame);
void kx_err_unwind_entry(lua_State* L, EntryRecord* rec, int status);
