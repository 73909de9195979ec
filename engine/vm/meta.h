// Metamethods: lookup with the absence cache, and the slow paths of the instructions.
//
// A slow path either finishes the operation itself or places a continuation and a metamethod call at
// the top of the current frame and returns the new base of that call; the interpreter then links the
// frame and calls the metamethod like any function.
#pragma once

#include "core/meta.h"
#include "core/state.h"

// The metatable of any value (own metatable or the base metatable of its type).
GcTable* kx_meta_getmt(GlobalState* g, const Value* o);
// Metamethod n of any value; nil when absent.
const Value* kx_meta_lookup(lua_State* L, const Value* o, MetaMethod mm);

// Where a metamethod call is built: the end of the current Lua frame, or the top for a C frame.
Value* kx_meta_calltop(lua_State* L);

const Value* kx_meta_tget(lua_State* L, const Value* o, const Value* k);
Value* kx_meta_tset(lua_State* L, const Value* o, const Value* k);
Value* kx_meta_arith(lua_State* L, Value* ra, const Value* rb, const Value* rc, uint32_t op);
Value* kx_meta_cat(lua_State* L, Value* top, int32_t left);
Value* kx_meta_len(lua_State* L, const Value* o);
// Results below 2 are the final outcome of the comparison, anything else is the new base of a call.
uintptr_t kx_meta_comp(lua_State* L, const Value* a, const Value* b, uint32_t op);
uintptr_t kx_meta_equal(lua_State* L, const Value* a, const Value* b, bool negate);
// Equality where either operand is C data: the __eq of the C data metatable decides.
uintptr_t kx_meta_equal_cdata(lua_State* L, const Value* a, const Value* b, bool negate);
// Inserts the __call metamethod in place of a called value that is not a function (the arguments
// move up one slot) and installs the frame link; raises the call error when there is none.
void kx_meta_call(lua_State* L, Value* func, Value* top, uint32_t link);
void kx_meta_for(lua_State* L, Value* slots);
void kx_meta_istype(lua_State* L, uint32_t slot, uint32_t type);
void kx_meta_bitop(lua_State* L, Value* ra, const Value* rb, const Value* rc, uint32_t op);

// Whether a value joins a concatenation directly (strings, numbers and string buffers).
bool kx_meta_isstrlike(const Value* o);
