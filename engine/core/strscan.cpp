// Scanning numbers from text.
//
// Decimal numbers are rounded correctly (ties to even) whatever their length: short literals take the
// exact double fast path, most others one 128-bit product with a power of five, and the few that land
// too close to a rounding boundary are settled by an exact big-integer comparison. Hexadecimal and
// binary numbers are rounded once from a 64-bit integer. Nothing here uses the C library's conversions
// or the locale.
#include "core/strscan.h"

#include <bit>

#include "core/str.h"

// ---- Powers of five --------------------------------------------------------------------------------

// Never defined: reaching it stops the compile-time evaluation of the table.
void pow5_table_fault();

namespace {

// A little-endian integer of 32-bit words, wide enough for 2^1024 and 5^340.
struct TabNum {
  uint32_t w[33];
  int32_t n;
};

constexpr int32_t tab_bitlen(const TabNum& a) { return 32 * a.n - std::countl_zero(a.w[a.n - 1]); }

constexpr void tab_mul5(TabNum& a) {
  uint64_t c = 0;
  for (int32_t i = 0; i < a.n; i++) {
    c += uint64_t(a.w[i]) * 5;
    a.w[i] = uint32_t(c);
    c >>= 32;
  }
  if (c) a.w[a.n++] = uint32_t(c);
}

constexpr void tab_div5(TabNum& a) {
  uint64_t r = 0;
  for (int32_t i = a.n - 1; i >= 0; i--) {
    uint64_t c = (r << 32) | a.w[i];
    a.w[i] = uint32_t(c / 5);
    r = c % 5;
  }
  while (a.n > 1 && a.w[a.n - 1] == 0) a.n--;
}

constexpr uint32_t tab_bit(const TabNum& a, int32_t i) {
  return i < 0 || i >= 32 * a.n ? 0 : (a.w[i >> 5] >> (i & 31)) & 1;
}

// Bits base ... base + 127 of a.
constexpr Pow5 tab_bits128(const TabNum& a, int32_t base) {
  Pow5 r{0, 0};
  for (int32_t i = 127; i >= 0; i--) {
    r.hi = (r.hi << 1) | (r.lo >> 63);
    r.lo = (r.lo << 1) | tab_bit(a, base + i);
  }
  return r;
}

// Positive powers are exact products cut to their leading 128 bits. Negative ones come from 2^1024
// divided by five again and again: each division adds an error below one unit and shrinks the earlier
// ones fivefold, so the quotient stays within 1.25 units of 2^1024 / 5^n, more than 100 bits below the
// bits kept. The build stops if such an error could still reach them.
constexpr Pow5Table pow5_build() {
  Pow5Table t{};
  TabNum p{};
  p.w[0] = 1;
  p.n = 1;
  for (int32_t q = 0; q <= KX_POW5_MAX; q++) {
    if (tab_bitlen(p) - 1 != kx_pow5_log2(q)) pow5_table_fault();
    t.e[q - KX_POW5_MIN] = tab_bits128(p, tab_bitlen(p) - 128);
    tab_mul5(p);
  }
  TabNum x{};
  x.w[32] = 1;
  x.n = 33;
  p = TabNum{};
  p.w[0] = 1;
  p.n = 1;
  for (int32_t n = 1; n <= -KX_POW5_MIN; n++) {
    tab_mul5(p);
    tab_div5(x);
    if (-tab_bitlen(p) != kx_pow5_log2(-n)) pow5_table_fault();
    int32_t base = 1024 - tab_bitlen(p) - 127;
    bool guard_all_ones = true;
    for (int32_t i = 2; i < base; i++) guard_all_ones = guard_all_ones && tab_bit(x, i);
    if (guard_all_ones) pow5_table_fault();
    Pow5 v = tab_bits128(x, base);
    // Small negative powers are rounded up: the fast decimal conversion relies on it.
    if (n <= 27 && ++v.lo == 0) v.hi++;
    t.e[-n - KX_POW5_MIN] = v;
  }
  return t;
}

}  // namespace

constinit const Pow5Table kx_strscan_pow5 = pow5_build();

// ---- Characters ------------------------------------------------------------------------------------

namespace {

constexpr uint64_t INF_BITS = 0x7ff0000000000000ull;
constexpr uint64_t MANT_MASK = 0x000fffffffffffffull;
constexpr uint64_t HIDDEN_BIT = 1ull << 52;

inline bool is_space(uint32_t c) { return c == ' ' || c - '\t' < 5u; }
inline bool is_letter(uint32_t c) { return (c | 0x20) - 'a' < 26u; }
inline bool is_digit(uint32_t c) { return c - '0' < 10u; }

// The value of a digit of any base up to 16; 16 for every other byte.
inline uint32_t digit_value(uint32_t c) {
  if (c - '0' < 10u) return c - '0';
  if ((c | 0x20) - 'a' < 6u) return (c | 0x20) - 'a' + 10;
  return 16;
}

inline double bits2num(uint64_t bits) {
  Value v;
  v.u64 = bits;
  return v.n;
}

inline uint64_t num2bits(double n) {
  Value v;
  v.n = n;
  return v.u64;
}

// The end of a case-insensitive match of the lower-case word w at p, or null.
const uint8_t* match_word(const uint8_t* p, const uint8_t* e, const char* w) {
  for (; *w; p++, w++)
    if (p >= e || (*p | 0x20) != uint8_t(*w)) return nullptr;
  return p;
}

StrScanFmt scan_special(const uint8_t* p, const uint8_t* e, bool neg, Value* out) {
  const uint8_t* q = match_word(p, e, "nan");
  if (q) {
    out->u64 = KX_CANONICAL_NAN;
  } else if ((q = match_word(p, e, "inf"))) {
    if (const uint8_t* r = match_word(q, e, "inity")) q = r;
    out->u64 = neg ? INF_BITS | (1ull << 63) : INF_BITS;
  } else {
    return KX_STRSCAN_ERROR;
  }
  while (q < e && is_space(*q)) q++;
  return q == e ? KX_STRSCAN_NUM : KX_STRSCAN_ERROR;
}

// The syntactic parts of a number, after the sign and the base prefix.
struct NumText {
  const uint8_t* digits;  // first digit (or point)
  const uint8_t* end;     // end of the digits and the point
  uint32_t base;
  bool has_dot;
  bool has_exp;
  int32_t exp;            // value of the exponent part
  bool imag;              // suffix i
  bool uns;               // suffix U (with LL or in C syntax)
  int32_t longs;          // 1 for the suffix L, 2 for LL
};

// The digits as an unsigned 64-bit integer (no point allowed); false when the value does not fit.
bool int_value(const NumText& t, uint64_t* v) {
  uint64_t x = 0;
  for (const uint8_t* p = t.digits; p < t.end; p++) {
    uint32_t d = digit_value(*p);
    if ((x >> 59) && x > (~0ull - d) / t.base) return false;  // below 2^59 nothing can overflow
    x = x * t.base + d;
  }
  *v = x;
  return true;
}

// ---- Binary scaling --------------------------------------------------------------------------------

// x * 2^e2 rounded once to the nearest double, ties to even, into the subnormal range when needed. A
// caller that dropped non-zero low bits sets the lowest bit of x, so that the rounding sees them.
double bin_round(uint64_t x, int64_t e2) {
  if (x == 0) return 0.0;
  int32_t lz = std::countl_zero(x);
  x <<= lz;
  int64_t top = 63 + e2 - lz;  // binary exponent of the leading bit
  if (top > 1023) return bits2num(INF_BITS);
  int64_t drop = 11;
  if (top < -1022) drop += -1022 - top;
  if (drop > 64) return 0.0;
  uint64_t kept;
  if (drop == 64) {
    kept = x > (1ull << 63);  // exactly half the smallest subnormal rounds to even: zero
  } else {
    kept = x >> drop;
    uint64_t rest = x & ((1ull << drop) - 1), half = 1ull << (drop - 1);
    if (rest > half || (rest == half && (kept & 1))) kept++;
  }
  if (top < -1022) return bits2num(kept);  // 2^52 after rounding is the smallest normal number
  if (kept == HIDDEN_BIT << 1) {
    kept = HIDDEN_BIT;
    top++;
    if (top > 1023) return bits2num(INF_BITS);
  }
  return bits2num((uint64_t(top + 1023) << 52) | (kept & MANT_MASK));
}

double hex_value(const NumText& t) {
  uint64_t x = 0;
  int64_t e2 = t.exp;
  int32_t taken = 0;
  bool frac = false;
  for (const uint8_t* p = t.digits; p < t.end; p++) {
    if (*p == '.') {
      frac = true;
      continue;
    }
    uint32_t d = digit_value(*p);
    if (frac) e2 -= 4;
    if (taken == 0 && d == 0) continue;
    if (taken < 16) {
      x = (x << 4) | d;
      taken++;
    } else {
      e2 += 4;
      if (d) x |= 1;
    }
  }
  return bin_round(x, e2);
}

// ---- Decimal: the 128-bit product ------------------------------------------------------------------

// w * 10^q rounded to a double (its bits in *bits), for w != 0 and q within the table. The leading 64
// bits of w * 5^q, extended by a second product when they end in ones, decide the rounding. Returns
// false when the product could be too close to a rounding boundary to be trusted; the bits are then
// still within one unit in the last place, a first guess for the exact comparison.
bool product_round(uint64_t w, int32_t q, uint64_t* bits) {
  int32_t lz = std::countl_zero(w);
  w <<= lz;
  const Pow5& t = kx_strscan_pow5.e[q - KX_POW5_MIN];
  uint64_t hi, lo;
  kx_strscan_mul64(w, t.hi, &hi, &lo);
  if ((hi & 0x1ff) == 0x1ff) {
    uint64_t hi2, lo2;
    kx_strscan_mul64(w, t.lo, &hi2, &lo2);
    lo += hi2;
    if (hi2 > lo) hi++;
  }
  // Within these exponents 5^q has an exact enough 128-bit form that all ones below is genuine.
  bool trusted = lo != ~0ull || (q >= -27 && q <= 55);
  int32_t upper = int32_t(hi >> 63);
  uint64_t mant = hi >> (upper + 9);
  int32_t pow2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;
  if (pow2 <= 0) {  // subnormal
    if (1 - pow2 >= 64) {
      *bits = 0;
      return trusted;
    }
    mant >>= 1 - pow2;
    mant += mant & 1;
    *bits = mant >> 1;  // 2^52 after rounding is the smallest normal number
    return trusted;
  }
  // An exact product halfway between two doubles must round to even, not up; only small q can be exact.
  if (lo <= 1 && q >= -4 && q <= 23 && (mant & 3) == 1 && (mant << (upper + 9)) == hi) mant &= ~1ull;
  mant += mant & 1;
  mant >>= 1;
  if (mant >= HIDDEN_BIT << 1) {
    mant = HIDDEN_BIT;
    pow2++;
  }
  if (pow2 >= 0x7ff) {
    *bits = INF_BITS;
    return trusted;
  }
  *bits = (uint64_t(pow2) << 52) | (mant & MANT_MASK);
  return trusted;
}

// ---- Decimal: exact comparison ---------------------------------------------------------------------

// The widest operand of a comparison is 84 words: 801 digits, or 5^1125 times a 55-bit number.
constexpr int32_t BIG_WORDS = 96;

// A non-negative integer of 32-bit words, least significant first.
struct BigNum {
  uint32_t w[BIG_WORDS];
  int32_t n;
};

void big_set(BigNum* a, uint64_t v) {
  a->w[0] = uint32_t(v);
  a->w[1] = uint32_t(v >> 32);
  a->n = a->w[1] ? 2 : 1;
}

// a = a * m + add.
void big_muladd(BigNum* a, uint32_t m, uint32_t add) {
  uint64_t c = add;
  for (int32_t i = 0; i < a->n; i++) {
    c += uint64_t(a->w[i]) * m;
    a->w[i] = uint32_t(c);
    c >>= 32;
  }
  if (c) a->w[a->n++] = uint32_t(c);
}

void big_mulpow5(BigNum* a, int64_t k) {
  for (; k >= 13; k -= 13) big_muladd(a, 1220703125, 0);  // 5^13
  uint32_t m = 1;
  while (k-- > 0) m *= 5;
  big_muladd(a, m, 0);
}

void big_shl(BigNum* a, int64_t k) {
  int32_t words = int32_t(k >> 5), bits = int32_t(k & 31);
  if (bits) {
    uint32_t c = 0;
    for (int32_t i = 0; i < a->n; i++) {
      uint32_t v = a->w[i];
      a->w[i] = (v << bits) | c;
      c = v >> (32 - bits);
    }
    if (c) a->w[a->n++] = c;
  }
  if (words) {
    for (int32_t i = a->n - 1; i >= 0; i--) a->w[i + words] = a->w[i];
    for (int32_t i = 0; i < words; i++) a->w[i] = 0;
    a->n += words;
  }
}

int32_t big_cmp(const BigNum* a, const BigNum* b) {
  if (a->n != b->n) return a->n > b->n ? 1 : -1;
  for (int32_t i = a->n - 1; i >= 0; i--)
    if (a->w[i] != b->w[i]) return a->w[i] > b->w[i] ? 1 : -1;
  return 0;
}

// The significant digits as an integer: at most 800 of them, then a 1 standing for any non-zero digits
// beyond (no halfway point between two doubles has that many digits, so this rounds like the whole
// text). Returns the decimal exponent: the text's value is a * 10^result.
int64_t big_digits(BigNum* a, const NumText& t) {
  big_set(a, 0);
  int64_t exp10 = t.exp, count = 0;
  uint32_t chunk = 0, chunk_len = 0, scale = 1;
  bool frac = false, sticky = false;
  for (const uint8_t* p = t.digits; p < t.end; p++) {
    if (*p == '.') {
      frac = true;
      continue;
    }
    uint32_t d = *p - '0';
    if (frac) exp10--;
    if (count == 0 && d == 0) continue;
    if (count == 800) {
      exp10++;
      sticky |= d != 0;
      continue;
    }
    count++;
    chunk = chunk * 10 + d;
    scale *= 10;
    if (++chunk_len == 9) {
      big_muladd(a, scale, chunk);
      chunk = chunk_len = 0;
      scale = 1;
    }
  }
  if (sticky) {
    chunk = chunk * 10 + 1;
    scale *= 10;
    exp10--;
  }
  big_muladd(a, scale, chunk);
  return exp10;
}

// Compares digits * 10^exp10 with the point halfway between the double b and its neighbour above
// (dir > 0) or below (dir < 0).
int32_t cmp_halfway(const BigNum* digits, int64_t exp10, uint64_t b, int32_t dir) {
  uint64_t frac = b & MANT_MASK;
  int32_t biased = int32_t(b >> 52);
  uint64_t m = biased ? frac | HIDDEN_BIT : frac;
  int32_t e2 = biased ? biased - 1075 : -1074;
  uint64_t h;
  int32_t hexp;
  if (dir > 0) {
    h = 2 * m + 1, hexp = e2 - 1;
  } else if (frac == 0 && biased > 1) {  // the gap below a power of two is half as wide
    h = 4 * m - 1, hexp = e2 - 2;
  } else {
    h = 2 * m - 1, hexp = e2 - 1;
  }
  BigNum a = *digits, c;
  big_set(&c, h);
  if (exp10 >= 0) big_mulpow5(&a, exp10);
  else big_mulpow5(&c, -exp10);
  int64_t shift = exp10 - hexp;
  if (shift >= 0) big_shl(&a, shift);
  else big_shl(&c, -shift);
  return big_cmp(&a, &c);
}

// The correctly rounded bits, starting from a guess within a unit or two.
uint64_t dec_exact(const NumText& t, uint64_t b) {
  BigNum digits;
  int64_t exp10 = big_digits(&digits, t);
  for (;;) {
    if (b < INF_BITS) {
      int32_t c = cmp_halfway(&digits, exp10, b, 1);
      if (c > 0 || (c == 0 && (b & 1))) {
        b++;
        continue;
      }
    }
    if (b > 0) {
      int32_t c = cmp_halfway(&digits, exp10, b, -1);
      if (c < 0 || (c == 0 && (b & 1))) {
        b--;
        continue;
      }
    }
    return b;
  }
}

constexpr double EXACT_POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

double dec_value(const NumText& t) {
  uint64_t w = 0;
  int64_t q = t.exp;
  int32_t taken = 0;
  bool frac = false, truncated = false;
  for (const uint8_t* p = t.digits; p < t.end; p++) {
    if (*p == '.') {
      frac = true;
      continue;
    }
    uint32_t d = *p - '0';
    if (frac) q--;
    if (taken == 0 && d == 0) continue;
    if (taken < 19) {
      w = w * 10 + d;
      taken++;
    } else {
      q++;
      truncated |= d != 0;
    }
  }
  if (w == 0 || q < KX_POW5_MIN) return 0.0;
  if (q > 308) return bits2num(INF_BITS);
  // Both operands exact, so one division or multiplication rounds once.
  if (!truncated && w <= HIDDEN_BIT << 1 && q >= -22 && q <= 22)
    return q < 0 ? double(w) / EXACT_POW10[-q] : double(w) * EXACT_POW10[q];
  uint64_t bits;
  bool sure = product_round(w, int32_t(q), &bits);
  if (sure && truncated) {
    // The dropped digits lie between w and w + 1: settled if both round alike.
    uint64_t upper;
    sure = product_round(w + 1, int32_t(q), &upper) && upper == bits;
  }
  return bits2num(sure ? bits : dec_exact(t, bits));
}

// Integer kinds of C syntax: the type a C compiler gives the literal, with U and L suffixes (long is
// 32 bits); a sign is applied in that type.
StrScanFmt c_integer(const NumText& t, bool neg, Value* out) {
  uint64_t v;
  if (!int_value(t, &v)) return KX_STRSCAN_ERROR;
  StrScanFmt kind;
  if (t.uns) kind = v >> 32 ? KX_STRSCAN_U64 : KX_STRSCAN_U32;
  else if (v <= 0x7fffffffull + neg) kind = KX_STRSCAN_INT;
  else if (t.base != 10 && v <= 0xffffffffull) kind = KX_STRSCAN_U32;
  else if (v <= 0x7fffffffffffffffull + neg) kind = KX_STRSCAN_I64;
  else kind = KX_STRSCAN_U64;
  uint64_t r = neg ? 0 - v : v;
  out->u64 = kind == KX_STRSCAN_INT || kind == KX_STRSCAN_U32 ? uint32_t(r) : r;
  return kind;
}

}  // namespace

// ---- The scanner ---------------------------------------------------------------------------------

namespace {

// Base prefix, digits and at most one point (none in binary or octal).
bool scan_digits(const uint8_t** pp, const uint8_t* e, uint32_t options, NumText* t) {
  const uint8_t* p = *pp;
  if (p < e && *p == '0') {
    uint32_t c = e - p > 1 ? p[1] | 0x20 : 0;
    if (c == 'x') t->base = 16, p += 2;
    else if (c == 'b') t->base = 2, p += 2;
    else if (options & KX_STRSCAN_OPT_C) t->base = 8;
  }
  t->digits = p;
  bool any_digit = false;
  for (; p < e; p++) {
    if (digit_value(*p) < t->base) any_digit = true;
    else if (*p == '.' && !t->has_dot && (t->base == 10 || t->base == 16)) t->has_dot = true;
    else break;
  }
  t->end = *pp = p;
  return any_digit;
}

// e after decimal digits, p (a power of two) after hexadecimal ones; the value is limited.
bool scan_exponent(const uint8_t** pp, const uint8_t* e, NumText* t) {
  const uint8_t* p = *pp;
  if (p >= e || (*p | 0x20) != (t->base == 10 ? 'e' : t->base == 16 ? 'p' : 0)) return true;
  p++;
  bool neg = false;
  if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
  if (p >= e || !is_digit(*p)) return false;
  uint32_t v = 0;
  for (; p < e && is_digit(*p); p++) {
    v = v * 10 + (*p - '0');
    if (v > 0xfffff) return false;
  }
  t->has_exp = true;
  t->exp = neg ? -int32_t(v) : int32_t(v);
  *pp = p;
  return true;
}

// i, or the 64-bit suffixes LL, ULL, LLU, or in C syntax U and L; each only with its option.
bool scan_suffix(const uint8_t** pp, const uint8_t* e, uint32_t options, NumText* t) {
  const uint8_t* p = *pp;
  if (p < e && (*p | 0x20) == 'i') {
    t->imag = true;
    *pp = p + 1;
    return options & KX_STRSCAN_OPT_IMAG;
  }
  if (p >= e || ((*p | 0x20) != 'u' && (*p | 0x20) != 'l')) return true;
  if ((*p | 0x20) == 'u') t->uns = true, p++;
  for (; t->longs < 2 && p < e && (*p | 0x20) == 'l'; p++) t->longs++;
  if (!t->uns && t->longs && p < e && (*p | 0x20) == 'u') t->uns = true, p++;
  *pp = p;
  if (!(options & (t->longs == 2 ? KX_STRSCAN_OPT_LL : KX_STRSCAN_OPT_C))) return false;
  return !t->has_dot && !t->has_exp;  // integers only
}

// Everything after the sign; false when the text is not a number under these options.
bool scan_syntax(const uint8_t* p, const uint8_t* e, uint32_t options, NumText* t) {
  if (!scan_digits(&p, e, options, t) || !scan_exponent(&p, e, t) || !scan_suffix(&p, e, options, t))
    return false;
  while (p < e && is_space(*p)) p++;
  return p == e;
}

double num_value(const NumText& t, bool* ok) {
  if (t.base == 10) return dec_value(t);
  if (t.base == 16) return hex_value(t);
  uint64_t v;
  *ok = int_value(t, &v);
  return bin_round(v, 0);
}

}  // namespace

StrScanFmt kx_strscan_scan(const uint8_t* p, size_t len, Value* out, uint32_t options) {
  const uint8_t* e = p + len;
  while (p < e && is_space(*p)) p++;
  bool neg = false;
  if (p < e && (*p == '-' || *p == '+')) neg = *p++ == '-';
  if (p < e && is_letter(*p)) return scan_special(p, e, neg, out);
  NumText t{nullptr, nullptr, 10, false, false, 0, false, false, 0};
  if (!scan_syntax(p, e, options, &t)) return KX_STRSCAN_ERROR;

  uint64_t v;
  if (t.longs == 2) {
    if (!int_value(t, &v)) return KX_STRSCAN_ERROR;
    out->u64 = neg ? 0 - v : v;
    return t.uns ? KX_STRSCAN_U64 : KX_STRSCAN_I64;
  }
  if (!t.has_dot && !t.has_exp && !t.imag && !(options & KX_STRSCAN_OPT_TONUM)) {
    if (options & KX_STRSCAN_OPT_C) return c_integer(t, neg, out);
    if (t.base == 10 && int_value(t, &v) && v <= 0x7fffffffull + neg && !(neg && v == 0)) {
      out->u64 = neg ? 0 - uint32_t(v) : uint32_t(v);
      return KX_STRSCAN_INT;
    }
  }
  bool ok = true;
  double n = num_value(t, &ok);
  if (!ok) return KX_STRSCAN_ERROR;
  if (neg) n = -n;
  if (t.imag) {
    out->n = n;
    return KX_STRSCAN_IMAG;
  }
  int32_t k;
  if ((options & (KX_STRSCAN_OPT_TOINT | KX_STRSCAN_OPT_TONUM)) == KX_STRSCAN_OPT_TOINT &&
      kx_num2int_exact(n, &k) && !(k == 0 && (num2bits(n) >> 63))) {
    out->u64 = uint32_t(k);
    return KX_STRSCAN_INT;
  }
  out->n = n;
  return KX_STRSCAN_NUM;
}

bool kx_strscan_num(const GcString* s, Value* out) {
  return kx_strscan_scan(reinterpret_cast<const uint8_t*>(strdata(s)), s->len, out, KX_STRSCAN_OPT_TONUM) !=
         KX_STRSCAN_ERROR;
}
