// C data objects as the layers below the foreign function interface see them.
//
// Only the foreign function interface (engine/ffi) knows C types. It creates every C data object and
// defines the operations declared at the end of this file, which the collector, the lexer, the
// bytecode reader and writer, the interpreter and the libraries call. Apart from kx_cdata_open and
// kx_cdata_newconst, they are only reached once C data exist, that is once the interface is open.
#pragma once

#include "core/value.h"

struct GcCdata {
  KX_GC_HEADER;       // type byte 10
  uint16_t ctype_id;  // the type of the payload, which follows the object
};
static_assert(sizeof(GcCdata) == 8);

// gc_marks bit of an object in the variable-length layout (an extra header before the object).
constexpr uint8_t KX_GC_CDATA_VAR = 0x80;

inline GcCdata* cdataV(const Value* v) { return reinterpret_cast<GcCdata*>(gcV(v)); }
inline void setcdataV(Value* v, const GcCdata* cd) { setgcV(v, cd, KX_TCDATA); }
inline void* cdataptr(const GcCdata* cd) { return const_cast<GcCdata*>(cd + 1); }

// Types of the C data constants of the language: 64-bit integer and imaginary literals.
constexpr uint16_t KX_CTID_INT64 = 11, KX_CTID_UINT64 = 12, KX_CTID_COMPLEX = 18;

// How a C data object takes part in 64-bit integer operations: not at all, as another numeric
// value converted to 64 bits, or as a signed or unsigned 64-bit integer.
enum CdataIntKind : uint32_t { KX_CINT_NONE, KX_CINT_OTHER, KX_CINT_I64, KX_CINT_U64 };

// ---- Provided by the foreign function interface ---------------------------------------------------

// Opens the interface when it is not open yet. It may run collector steps: callers have every
// object they hold anchored.
void kx_cdata_open(lua_State* L);
// A new constant of type KX_CTID_INT64, KX_CTID_UINT64 (8 bytes) or KX_CTID_COMPLEX (16 bytes), holding
// the given payload; opens the interface first when it is not open yet.
GcCdata* kx_cdata_newconst(lua_State* L, uint16_t id, const void* payload);
// The collector's free function for C data.
void kx_cdata_free(GlobalState* g, GcCdata* cd);
// Marks what the type table keeps alive (names and metatables); the collector's atomic phase.
void kx_ctype_gcmark(GlobalState* g);
// A thread is freed: the type table stops using it as its working thread.
void kx_ctype_thread_freed(GlobalState* g, lua_State* L1);
// Frees the type table at lua_close, after every object has been freed.
void kx_ctype_freestate(GlobalState* g);
// The value of a numeric C data object for 64-bit integer operations (in *v unless NONE).
CdataIntKind kx_cdata_int64(GlobalState* g, const GcCdata* cd, uint64_t* v);
// The number value of an integer or floating C data object; false for other types.
bool kx_cdata_tonumber(GlobalState* g, const GcCdata* cd, double* n);
// The real and imaginary parts of a complex double; false for other types.
bool kx_cdata_complex(GlobalState* g, const GcCdata* cd, double parts[2]);
// Argument narg of the running C function converted to a pointer to constant bytes by the
// interface's rules (C data pointers, arrays, strings, ...); conversion errors name the argument.
const void* kx_cdata_topointer(lua_State* L, int narg);
// A new C data byte pointer (uint8_t *) holding p; opens the interface first when needed.
GcCdata* kx_cdata_newptr(lua_State* L, void* p);
