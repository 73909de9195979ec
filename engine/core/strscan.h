// Scanning numbers from text, exactly and without the C library or the locale.
#pragma once

#include "core/value.h"

// Options.
enum : uint32_t {
  KX_STRSCAN_OPT_TOINT = 0x01,  // a 32-bit integer result when the value is one
  KX_STRSCAN_OPT_TONUM = 0x02,  // always a double
  KX_STRSCAN_OPT_IMAG = 0x04,   // accept the imaginary suffix i
  KX_STRSCAN_OPT_LL = 0x08,     // accept the 64-bit suffixes LL, ULL, LLU
  KX_STRSCAN_OPT_C = 0x10,      // C syntax: leading 0 is octal, U and L suffixes
};

// Result kinds.
enum StrScanFmt : uint32_t {
  KX_STRSCAN_ERROR, KX_STRSCAN_NUM, KX_STRSCAN_IMAG, KX_STRSCAN_INT, KX_STRSCAN_U32,
  KX_STRSCAN_I64, KX_STRSCAN_U64,
};

// Scans exactly len bytes at p; the value goes to out (a double, or the integer in the low word(s)).
StrScanFmt kx_strscan_scan(const uint8_t* p, size_t len, Value* out, uint32_t options);
// A string's whole contents as a double.
bool kx_strscan_num(const GcString* s, Value* out);

// 5^q for KX_POW5_MIN <= q <= KX_POW5_MAX as its 128 leading bits (hi, lo): 5^q is about
// (hi:lo) * 2^(kx_pow5_log2(q) - 127). Truncated, except that -27 <= q <= -1 is rounded up. The scanner
// and the formatter both scale by powers of ten with it.
struct Pow5 {
  uint64_t hi, lo;
};
constexpr int32_t KX_POW5_MIN = -342, KX_POW5_MAX = 340;
struct Pow5Table {
  Pow5 e[KX_POW5_MAX - KX_POW5_MIN + 1];  // 5^q at e[q - KX_POW5_MIN]
};
extern const Pow5Table kx_strscan_pow5;
// floor(q * log2(5)) for every q of the table.
constexpr int32_t kx_pow5_log2(int32_t q) { return ((q * 217706) >> 16) - q; }

// The 128-bit product of two 64-bit numbers, from 32-bit halves.
inline void kx_strscan_mul64(uint64_t a, uint64_t b, uint64_t* hi, uint64_t* lo) {
  uint64_t a0 = uint32_t(a), a1 = a >> 32, b0 = uint32_t(b), b1 = b >> 32;
  uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  uint64_t mid = (p00 >> 32) + uint32_t(p01) + uint32_t(p10);
  *lo = (mid << 32) | uint32_t(p00);
  *hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}
