// Arithmetic and comparisons of C data: pointer arithmetic and 64-bit integer arithmetic.
#pragma once

#include "ffi/ctype.h"

// Carries out metamethod mm (arithmetic, __eq, __lt, __le) on the running function's arguments 1 and
// 2 (C data objects or numbers; nil counts as a null pointer in comparisons) and pushes the result.
// Returns the number of results, or 0 when the operands are not handled.
int kx_carith_op(lua_State* L, CTypeTable* tab, MetaMethod mm);
