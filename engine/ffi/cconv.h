// Conversions between C types, and between C values and Lua values. Every operation that reads or
// writes C memory goes through them: field and element access, call arguments and results,
// initialisers and casts.
#pragma once

#include "ffi/ctype.h"

// Flags of a conversion; bits 8 and up carry the argument number of a call for messages.
constexpr uint32_t CCF_CAST = 0x01;    // an explicit cast
constexpr uint32_t CCF_FROMTV = 0x02;  // the source came from a Lua value
constexpr uint32_t CCF_ARG = 0x04;     // an argument of a call
constexpr uint32_t ccf_arg(uint32_t narg) { return CCF_ARG | (narg << 8); }

// Conversion classes of C types.
enum CConvClass : uint32_t { CCX_BOOL, CCX_INT, CCX_FLOAT, CCX_COMPLEX, CCX_VECTOR, CCX_PTR, CCX_ARRAY, CCX_STRUCT, CCX_NONE };

// C to C: the value at sp of type s stored at dp as type d (both entries after attributes).
void kx_cconv_ct_ct(CTypeTable* tab, CTypeEntry* d, CTypeEntry* s, uint8_t* dp, const uint8_t* sp, uint32_t flags);
// Lua to C: the value o stored at dp as type d.
void kx_cconv_ct_tv(CTypeTable* tab, CTypeEntry* d, uint8_t* dp, const Value* o, uint32_t flags);
// C to Lua: the value at sp of type sid (s is its entry after attributes) into *o. Returns whether an
// object was created (the caller then runs a collector check).
bool kx_cconv_tv_ct(CTypeTable* tab, CTypeEntry* s, CTypeID sid, Value* o, const uint8_t* sp);
// Bit fields: loading into *o, and storing o into the container at dp.
void kx_cconv_tv_bf(CTypeTable* tab, const CTypeEntry* f, Value* o, const uint8_t* sp);
void kx_cconv_bf_tv(CTypeTable* tab, const CTypeEntry* f, uint8_t* dp, const Value* o);
// Whether one value initialises an array or struct element by element (several values always do).
bool kx_cconv_multi_init(CTypeTable* tab, CTypeEntry* d, const Value* o);
// Initialises size bytes at dp of type d from n values: element by element or field by field.
void kx_cconv_ct_init(CTypeTable* tab, CTypeEntry* d, uint32_t size, uint8_t* dp, const Value* o, uint32_t n);

// Whether pointers to dt and st have compatible targets with the same qualifiers.
bool kx_cconv_same_target(CTypeTable* tab, CTypeID dt, CTypeID st);

// Defined conversions of doubles to 64-bit integers: out-of-range values and NaN give 2^63.
int64_t kx_cconv_num2i64(double n);
uint64_t kx_cconv_num2u64(double n);
