// Tagged values and the common header of collectable objects.
//
// A Value is eight bytes: an IEEE double, or a type tag in the high word with a 32-bit payload in the
// low word. Tags are the bitwise complement of a small type index and all lie at or above 0xfffffff3,
// so "is a number" is one unsigned comparison of the high word. Every NaN entering from outside the
// engine's own arithmetic is made canonical (high word 0xfff80000) so that no number can be mistaken
// for a tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "core/ref.h"


struct lua_State;
struct GlobalState;
struct GcObj;
struct GcString;
struct GcTable;
struct GcFunc;
struct GcProto;
struct GcUpval;
struct GcUdata;

// A bytecode instruction word.
using Instr = uint32_t;

// Type index: the complement of a tag; also the type byte of every GcHeader.
enum TypeIndex : uint8_t {
  KX_INIL = 0, KX_IFALSE, KX_ITRUE, KX_ILIGHTUD, KX_ISTR, KX_IUPVAL, KX_ITHREAD, KX_IPROTO,
  KX_IFUNC, KX_ITRACE, KX_ICDATA, KX_ITAB, KX_IUDATA, KX_INUM
};

// Type tags, the high word of a tagged Value.
enum TypeTag : uint32_t {
  KX_TNIL = ~0u, KX_TFALSE = ~1u, KX_TTRUE = ~2u, KX_TLIGHTUD = ~3u, KX_TSTR = ~4u,
  KX_TUPVAL = ~5u, KX_TTHREAD = ~6u, KX_TPROTO = ~7u, KX_TFUNC = ~8u, KX_TTRACE = ~9u,
  KX_TCDATA = ~10u, KX_TTAB = ~11u, KX_TUDATA = ~12u,
  KX_TNUMX = ~13u  // never stored
};

// Light userdata whose address does not fit 32 bits: the high word is KX_TLUDHI plus address bits
// 32-46. Such high words lie in the NaN range, which no stored number uses (every NaN is canonical),
// so numbers are the high words below KX_TLUDHI.
constexpr uint32_t KX_TLUDHI = 0xffff0000u;
constexpr uint32_t KX_LUDHI_BITS = 15;

union alignas(8) Value {
  uint64_t u64;
  double n;
  struct {
    uint32_t lo;  // payload: object reference, pointer, or low half of a double
    uint32_t hi;  // type tag, or high half of a double
  } w;
};
static_assert(sizeof(Value) == 8 && alignof(Value) == 8);
static_assert(offsetof(Value, w.lo) == 0 && offsetof(Value, w.hi) == 4);

constexpr uint64_t KX_CANONICAL_NAN = 0xfff8000000000000ull;

// Every collectable object starts with these fields. The two bytes that follow belong to the object
// kind, so the common prefix is eight bytes.
#define KX_GC_HEADER \
  Ref<GcObj> gc_next; \
  uint8_t gc_marks;  \
  uint8_t gc_type

struct GcObj {
  KX_GC_HEADER;
};

// gc_marks bits.
enum : uint8_t {
  KX_GC_WHITE0 = 0x01,
  KX_GC_WHITE1 = 0x02,
  KX_GC_BLACK = 0x04,
  KX_GC_WEAKKEY = 0x08,   // table with weak keys; userdata whose finalizer was scheduled
  KX_GC_FINALIZED = 0x08,
  KX_GC_WEAKVAL = 0x10,   // table with weak values
  KX_GC_CDATA_FIN = 0x10, // C data with a registered finalizer
  KX_GC_FIXED = 0x20,     // never collected while the state lives
  KX_GC_SFIXED = 0x40,    // survives even the final sweep (the main thread)
  KX_GC_WHITES = KX_GC_WHITE0 | KX_GC_WHITE1,
};

// ---- Type tests on the high word -------------------------------------------------------------------

inline uint32_t kx_tag(const Value* v) { return v->w.hi; }
inline bool tv_isnum(const Value* v) { return v->w.hi < KX_TLUDHI; }
inline bool tv_isgc(const Value* v) { return v->w.hi - KX_TUDATA < 9u; }
inline bool tv_isprim(const Value* v) { return v->w.hi > KX_TLIGHTUD; }
inline bool tv_istruecond(const Value* v) { return v->w.hi <= KX_TTRUE; }
inline bool tv_isnil(const Value* v) { return v->w.hi == KX_TNIL; }
inline bool tv_isfalse(const Value* v) { return v->w.hi == KX_TFALSE; }
inline bool tv_istrue(const Value* v) { return v->w.hi == KX_TTRUE; }
inline bool tv_isbool(const Value* v) { return kx_tag(v) == KX_TFALSE || kx_tag(v) == KX_TTRUE; }
inline bool tv_isstr(const Value* v) { return kx_tag(v) == KX_TSTR; }
inline bool tv_istab(const Value* v) { return kx_tag(v) == KX_TTAB; }
inline bool tv_isfunc(const Value* v) { return kx_tag(v) == KX_TFUNC; }
inline bool tv_isthread(const Value* v) { return kx_tag(v) == KX_TTHREAD; }
inline bool tv_isudata(const Value* v) { return kx_tag(v) == KX_TUDATA; }
inline bool tv_islightud(const Value* v) {
  return kx_tag(v) == KX_TLIGHTUD || (kx_tag(v) >> KX_LUDHI_BITS) == (KX_TLUDHI >> KX_LUDHI_BITS);
}
inline bool tv_isproto(const Value* v) { return kx_tag(v) == KX_TPROTO; }
inline bool tv_iscdata(const Value* v) { return kx_tag(v) == KX_TCDATA; }

// Type index of a value: numbers give KX_INUM.
inline uint32_t tv_itype(const Value* v) {
  if (tv_isnum(v)) return KX_INUM;
  return kx_tag(v) < KX_TUDATA ? uint32_t(KX_ILIGHTUD) : ~kx_tag(v);
}

// ---- Reading -----------------------------------------------------------------------------------------

inline double numV(const Value* v) { return v->n; }
inline GcObj* gcV(const Value* v) { return reinterpret_cast<GcObj*>(static_cast<uintptr_t>(v->w.lo)); }
inline GcString* strV(const Value* v) { return reinterpret_cast<GcString*>(gcV(v)); }
inline GcTable* tabV(const Value* v) { return reinterpret_cast<GcTable*>(gcV(v)); }
inline GcFunc* funcV(const Value* v) { return reinterpret_cast<GcFunc*>(gcV(v)); }
inline GcProto* protoV(const Value* v) { return reinterpret_cast<GcProto*>(gcV(v)); }
inline GcUdata* udataV(const Value* v) { return reinterpret_cast<GcUdata*>(gcV(v)); }
inline lua_State* threadV(const Value* v) { return reinterpret_cast<lua_State*>(gcV(v)); }
inline void* lightudV(const Value* v) {
  uintptr_t hi = kx_tag(v) == KX_TLIGHTUD ? 0 : kx_tag(v) - KX_TLUDHI;
  return reinterpret_cast<void*>((uint64_t(hi) << 32) | v->w.lo);
}

// ---- Writing -----------------------------------------------------------------------------------------
// Values are written whole, so that a 64-bit read that follows (a copy) takes the stored bytes from one
// store. Primitive values have all ones in their low word, like nil.

inline uint64_t kx_tagged(uint32_t tag, uint32_t lo) { return (uint64_t(tag) << 32) | lo; }
inline void setnilV(Value* v) { v->u64 = ~0ull; }
inline void setpriV(Value* v, uint32_t tag) { v->u64 = kx_tagged(tag, ~0u); }
inline void setboolV(Value* v, bool b) { setpriV(v, b ? KX_TTRUE : KX_TFALSE); }
inline void setnumV(Value* v, double n) { v->n = n; }
// For numbers that may be a foreign NaN.
inline void setnumV_canon(Value* v, double n) {
  if (n != n) v->u64 = KX_CANONICAL_NAN;
  else v->n = n;
}
inline void setgcV(Value* v, const void* o, uint32_t tag) {
  v->u64 = kx_tagged(tag, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(o)));
}
inline void setstrV(Value* v, const GcString* s) { setgcV(v, s, KX_TSTR); }
inline void settabV(Value* v, const GcTable* t) { setgcV(v, t, KX_TTAB); }
inline void setfuncV(Value* v, const GcFunc* f) { setgcV(v, f, KX_TFUNC); }
inline void setprotoV(Value* v, const GcProto* p) { setgcV(v, p, KX_TPROTO); }
inline void setudataV(Value* v, const GcUdata* u) { setgcV(v, u, KX_TUDATA); }
inline void setthreadV(Value* v, const lua_State* t) { setgcV(v, t, KX_TTHREAD); }
inline void setlightudV(Value* v, const void* p) {
  uint64_t a = reinterpret_cast<uintptr_t>(p);
  uint32_t hi = static_cast<uint32_t>(a >> 32) & ((1u << KX_LUDHI_BITS) - 1);
  v->u64 = kx_tagged(hi ? KX_TLUDHI + hi : KX_TLIGHTUD, static_cast<uint32_t>(a));
}
inline void copyV(Value* dst, const Value* src) { dst->u64 = src->u64; }

// ---- Objects -----------------------------------------------------------------------------------------

inline uint8_t kx_gc_type(const GcObj* o) { return o->gc_type; }
inline bool kx_gc_iswhite(const GcObj* o) { return (o->gc_marks & KX_GC_WHITES) != 0; }
inline bool kx_gc_isblack(const GcObj* o) { return (o->gc_marks & KX_GC_BLACK) != 0; }
inline bool kx_gc_isgrey(const GcObj* o) { return (o->gc_marks & (KX_GC_WHITES | KX_GC_BLACK)) == 0; }

template <typename T>
inline GcObj* obj2gco(T* p) { return reinterpret_cast<GcObj*>(p); }
template <typename T>
inline GcObj* obj2gco(Ref<T> p) { return reinterpret_cast<GcObj*>(p.get()); }

// ---- Type names, truth and raw equality ---------------------------------------------------------------

// Indexed by public type + 1 ("no value" for LUA_TNONE).
extern const char* const kx_obj_typename[12];
// Indexed by type index (numbers at KX_INUM).
extern const char* const kx_obj_itypename[14];
// Public type (LUA_T*) of each type index.
extern const int8_t kx_obj_publictype[14];

inline const char* kx_obj_typename_of(const Value* v) { return kx_obj_itypename[tv_itype(v)]; }

bool kx_obj_equal(const Value* a, const Value* b);

// ---- Number conversions ------------------------------------------------------------------------------

// The low 32 bits of the integer nearest to n (defined for every double): adding 2^52 + 2^51 moves
// the integer part into the low word of the mantissa.
inline int32_t kx_num2bit(double n) {
  Value v;
  v.n = n + 6755399441055744.0;
  return static_cast<int32_t>(v.w.lo);
}
// Whether n is exactly a 32-bit integer; the integer in *k. The processor's truncating conversion
// gives 0x80000000 for NaN and out-of-range values, which then fail the comparison.
inline bool kx_num2int_exact(double n, int32_t* k) {
  *k = _mm_cvttsd_si32(_mm_set_sd(n));
  return static_cast<double>(*k) == n;
}
