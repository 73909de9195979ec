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
