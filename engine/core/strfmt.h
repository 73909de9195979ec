// Formatting numbers and values as text, exactly and without the C library or the locale.
#pragma once

#include <cstdarg>

#include "core/buf.h"
#include "core/value.h"

// A parsed % conversion: kind, variant, flags, width and precision in one word.
using StrFormat = uint32_t;

// Kinds (bits 0-3). Plain constants rather than enums, so that kinds, variants and flags combine freely.
constexpr uint32_t KX_STRFMT_EOF = 0, KX_STRFMT_ERR = 1, KX_STRFMT_LIT = 2, KX_STRFMT_INT = 3, KX_STRFMT_UINT = 4,
                   KX_STRFMT_NUM = 5, KX_STRFMT_STR = 6, KX_STRFMT_CHAR = 7, KX_STRFMT_PTR = 8;
// Variants (bits 4-7).
constexpr uint32_t KX_STRFMT_VDEC = 0x00, KX_STRFMT_VHEX = 0x10, KX_STRFMT_VOCT = 0x20;  // unsigned integers
constexpr uint32_t KX_STRFMT_VFMT_A = 0x00, KX_STRFMT_VFMT_E = 0x10, KX_STRFMT_VFMT_F = 0x20,
                   KX_STRFMT_VFMT_G = 0x30;
constexpr uint32_t KX_STRFMT_VQUOTED = 0x10;  // strings
// Flags.
constexpr uint32_t KX_STRFMT_F_LEFT = 0x0100, KX_STRFMT_F_PLUS = 0x0200, KX_STRFMT_F_ZERO = 0x0400,
                   KX_STRFMT_F_SPACE = 0x0800, KX_STRFMT_F_ALT = 0x1000, KX_STRFMT_F_UPPER = 0x2000;

inline uint32_t kx_strfmt_type(StrFormat sf) { return sf & 0x0f; }
inline uint32_t kx_strfmt_variant(StrFormat sf) { return sf & 0xf0; }
inline uint32_t kx_strfmt_width(StrFormat sf) { return (sf >> 16) & 0xff; }
inline uint32_t kx_strfmt_prec(StrFormat sf) { return (sf >> 24) - 1; }  // ~0u: no precision

// The default number format of tostring: general, precision 14.
constexpr StrFormat KX_STRFMT_G14 = 0x0f000035;

// Parser state over a format string.
struct FormatState {
  const uint8_t* p;     // current position
  const uint8_t* e;     // end
  const char* str;      // the last literal
  uint32_t len;         // its length
};

inline void kx_strfmt_init(FormatState* fs, const char* p, size_t len) {
  fs->p = reinterpret_cast<const uint8_t*>(p);
  fs->e = fs->p + len;
  fs->str = nullptr;
  fs->len = 0;
}
StrFormat kx_strfmt_parse(FormatState* fs);

// Writers. The w-functions write to memory and return the end; the put-functions append to a buffer.
char* kx_strfmt_wint(char* p, int32_t i);
StrBuf* kx_strfmt_putint(StrBuf* sb, int32_t i);
StrBuf* kx_strfmt_putfxint(StrBuf* sb, StrFormat sf, uint64_t k);
StrBuf* kx_strfmt_putfnum_int(StrBuf* sb, StrFormat sf, double x);
StrBuf* kx_strfmt_putfnum_uint(StrBuf* sb, StrFormat sf, double x);
// Into sb, or into p when sb is null (p must have room for the result: KX_STRFMT_MAXBUF_NUM bytes for
// any descriptor, KX_STRFMT_MAXBUF_G14 for the default number text).
char* kx_strfmt_wfnum(StrBuf* sb, StrFormat sf, double x, char* p);
constexpr uint32_t KX_STRFMT_MAXBUF_NUM = 416;  // "%.99f" of the largest double: 309 + 1 + 99 bytes, and a sign
constexpr uint32_t KX_STRFMT_MAXBUF_G14 = 24;   // "-1.2345678901234e-308"
StrBuf* kx_strfmt_putfnum(StrBuf* sb, StrFormat sf, double x);
StrBuf* kx_strfmt_putnum(StrBuf* sb, double x);
StrBuf* kx_strfmt_putfchar(StrBuf* sb, StrFormat sf, int32_t c);
StrBuf* kx_strfmt_putfstr(StrBuf* sb, StrFormat sf, const GcString* s);
StrBuf* kx_strfmt_putquoted(StrBuf* sb, const GcString* s);
StrBuf* kx_strfmt_putptr(StrBuf* sb, const void* v);

// Interned results.
GcString* kx_strfmt_num(lua_State* L, double x);
GcString* kx_strfmt_int(lua_State* L, int32_t i);
GcString* kx_strfmt_char(lua_State* L, int32_t c);
GcString* kx_strfmt_obj(lua_State* L, const Value* v);
inline GcString* kx_strfmt_number(lua_State* L, const Value* v) { return kx_strfmt_num(L, v->n); }

// The engine of lua_pushfstring: formats, interns, pushes and returns the bytes.
const char* kx_strfmt_pushvf(lua_State* L, const char* fmt, va_list args);
const char* kx_strfmt_pushf(lua_State* L, const char* fmt, ...);
