// Floating conversions (%a %e %f %g) with exact, correctly rounded digits.
//
// Up to 17 significant digits come from one 64 x 128-bit product with a power of ten: the product is
// accurate to far less than 2^-64 of a unit, so it decides the rounding unless the scaled value lies
// within a few such units of a tie. Everything else (more digits, wide fixed formats, near-ties) expands
// the double exactly in base 10^9 and rounds that expansion with ties to even. No C library conversion
// and no locale is involved.
#include "core/strfmt.h"

#include <bit>

#include "core/strscan.h"

namespace {

constexpr uint64_t SIGN_BIT = 1ull << 63;
constexpr uint64_t INF_BITS = 0x7ff0000000000000ull;
constexpr uint64_t MANT_MASK = 0x000fffffffffffffull;
constexpr uint64_t HIDDEN_BIT = 1ull << 52;

constexpr uint64_t POW10[19] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull,
};

// The significant decimal digits of a magnitude: d[0] ... d[n-1], d[0] weighing 10^e, without trailing
// zeros (digits beyond n are zeros); n == 0 means zero. A double expands to at most 767 digits.
struct Decimal {
  int32_t n, e;
  char d[768];
};

inline uint64_t num2bits(double n) {
  Value v;
  v.n = n;
  return v.u64;
}

void strip_zeros(Decimal* r) {
  while (r->n > 0 && r->d[r->n - 1] == '0') r->n--;
}

constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Sets r to the digits of v (below 10^19); returns their count, trailing zeros included.
int32_t set_digits(Decimal* r, uint64_t v) {
  char tmp[20];
  char* q = tmp + sizeof(tmp);
  while (v >> 32) {
    uint64_t hi = v / 100000000;
    uint32_t lo = uint32_t(v - hi * 100000000);
    for (int32_t i = 0; i < 4; i++, lo /= 100) q -= 2, memcpy(q, DIGIT_PAIRS + 2 * (lo % 100), 2);
    v = hi;
  }
  uint32_t v32 = uint32_t(v);
  for (; v32 >= 10; v32 /= 100) q -= 2, memcpy(q, DIGIT_PAIRS + 2 * (v32 % 100), 2);
  if (v32) *--q = char('0' + v32);
  int32_t count = int32_t(tmp + sizeof(tmp) - q);
  memcpy(r->d, q, count);
  r->n = count;
  strip_zeros(r);
  return count;
}

// ---- Exact expansion -------------------------------------------------------------------------------

// The exact expansion of a finite ax > 0: m * 2^e2 is m * 5^-e2 / 10^-e2 when e2 < 0, so both cases
// are an integer times powers of two or five, built in base 10^9.
void exact_expand(double ax, Decimal* r) {
  uint64_t bits = num2bits(ax), m = bits & MANT_MASK;
  int32_t biased = int32_t(bits >> 52), e2 = biased ? biased - 1075 : -1074;
  if (biased) m |= HIDDEN_BIT;
  int32_t tz = std::countr_zero(m);
  m >>= tz;
  e2 += tz;
  uint32_t w[88];  // 767 digits at most
  w[0] = uint32_t(m % 1000000000);
  w[1] = uint32_t(m / 1000000000);
  int32_t n = w[1] ? 2 : 1;
  for (int32_t k = e2 >= 0 ? e2 : -e2; k > 0;) {
    // Factors below 2^31 keep each quotient below 2^32, the cheap case of a 64-bit division here.
    uint32_t step = e2 >= 0 ? (k < 29 ? k : 29) : (k < 13 ? k : 13);
    uint32_t f = 1;
    for (uint32_t i = 0; i < step; i++) f *= e2 >= 0 ? 2 : 5;
    uint64_t c = 0;
    for (int32_t i = 0; i < n; i++) {
      c += uint64_t(w[i]) * f;
      uint32_t q = uint32_t(c / 1000000000);
      w[i] = uint32_t(c - uint64_t(q) * 1000000000);
      c = q;
    }
    for (; c; c /= 1000000000) w[n++] = uint32_t(c % 1000000000);
    k -= step;
  }
  char* q = r->d;
  char top[9];
  int32_t tn = 0;
  for (uint32_t v = w[n - 1]; v; v /= 10) top[tn++] = char('0' + v % 10);
  while (tn) *q++ = top[--tn];
  for (int32_t i = n - 2; i >= 0; i--) {
    uint32_t v = w[i];
    for (int32_t j = 8; j >= 0; j--, v /= 10) q[j] = char('0' + v % 10);
    q += 9;
  }
  int32_t count = int32_t(q - r->d);
  r->n = count;
  r->e = count - 1 + (e2 < 0 ? e2 : 0);
  strip_zeros(r);
}

// Keeps the first k digits (k may be 0 or negative: the rounding position lies above the first digit),
// rounding half to even on the exact digits.
void round_digits(Decimal* r, int32_t k) {
  if (k >= r->n) return;
  bool up = false;
  if (k >= 0) {
    char next = r->d[k];
    up = next > '5' || (next == '5' && (r->n > k + 1 || (k > 0 && ((r->d[k - 1] - '0') & 1))));
  }
  r->n = k > 0 ? k : 0;
  if (up) {
    int32_t i = k - 1;
    while (i >= 0 && r->d[i] == '9') i--;
    if (i < 0) {
      r->d[0] = '1';
      r->n = 1;
      r->e++;
      return;
    }
    r->d[i]++;
    r->n = i + 1;
  }
  strip_zeros(r);
}

// ---- The fast path ---------------------------------------------------------------------------------

// ax = w * 2^e2 with the leading bit of w set.
void split(double ax, uint64_t* w, int32_t* e2) {
  uint64_t bits = num2bits(ax), m = bits & MANT_MASK;
  int32_t biased = int32_t(bits >> 52);
  int32_t e = biased ? biased - 1075 : -1074;
  if (biased) m |= HIDDEN_BIT;
  int32_t lz = std::countl_zero(m);
  *w = m << lz;
  *e2 = e - lz;
}

// floor(log10(w * 2^e2)), or one less.
inline int32_t estimate_exp10(int32_t e2) { return ((63 + e2) * 78913) >> 18; }

// round(w * 2^e2 * 10^k), ties to even, when the result lies below 2^60 and the value is at least 1.
// The product with the 128-bit power is within 2^64 units of its 192 bits, at least 130 of which are
// fraction bits, so the leading 64 fraction bits are within 2 of the truth; false when they are that
// close to a tie.
bool scaled_round(uint64_t w, int32_t e2, int32_t k, uint64_t* out) {
  const Pow5& t = kx_strscan_pow5.e[k - KX_POW5_MIN];
  uint64_t h0, l0, h1, l1;
  kx_strscan_mul64(w, t.lo, &h0, &l0);
  kx_strscan_mul64(w, t.hi, &h1, &l1);
  uint64_t p1 = h0 + l1, p2 = h1 + (p1 < h0);
  int32_t s = 127 - e2 - k - kx_pow5_log2(k);  // the value is (p2:p1:l0) / 2^s
  if (s < 130 || s > 191) return false;
  uint64_t ip = p2 >> (s - 128);
  uint64_t frac = (p2 << (192 - s)) | (p1 >> (s - 128));
  if (frac - (SIGN_BIT - 2) <= 4) return false;
  *out = ip + (frac > SIGN_BIT);
  return true;
}

// ax > 0 rounded to n significant digits.
void sig_digits(double ax, int32_t n, Decimal* r) {
  if (n <= 17) {
    uint64_t w, d;
    int32_t e2;
    split(ax, &w, &e2);
    int32_t e = estimate_exp10(e2);
    // An estimate one too low shows as one digit too many; rounding up to 10^n is corrected the same way.
    for (int32_t tries = 0; tries < 2 && scaled_round(w, e2, n - 1 - e, &d); tries++) {
      if (d < POW10[n]) {
        set_digits(r, d);
        r->e = e;
        return;
      }
      e++;
    }
  }
  exact_expand(ax, r);
  round_digits(r, n);
}

// ax > 0 rounded to a multiple of 10^-prec.
void fixed_digits(double ax, int32_t prec, Decimal* r) {
  uint64_t w, d;
  int32_t e2;
  split(ax, &w, &e2);
  int32_t e = estimate_exp10(e2);
  if (e + 2 <= -prec - 1) {  // below a tenth of the last place
    r->n = 0;
    r->e = 0;
    return;
  }
  if (e + prec >= 0 && e + prec <= 15 && scaled_round(w, e2, prec, &d)) {
    r->e = set_digits(r, d) - 1 - prec;
    return;
  }
  exact_expand(ax, r);
  round_digits(r, r->e + 1 + prec);
}

// ---- Layout ----------------------------------------------------------------------------------------

inline char digit_at(const Decimal* r, int32_t i) { return i >= 0 && i < r->n ? r->d[i] : '0'; }

char* put_exp10(char* q, int32_t x, char letter) {
  *q++ = letter;
  *q++ = x < 0 ? '-' : '+';
  uint32_t u = x < 0 ? -x : x;
  if (u >= 100) *q++ = char('0' + u / 100);
  *q++ = char('0' + u / 10 % 10);
  *q++ = char('0' + u % 10);
  return q;
}

char* layout_e(char* q, const Decimal* r, int32_t prec, uint32_t sf) {
  *q++ = digit_at(r, 0);
  if (prec > 0 || (sf & KX_STRFMT_F_ALT)) *q++ = '.';
  for (int32_t i = 1; i <= prec; i++) *q++ = digit_at(r, i);
  return put_exp10(q, r->n ? r->e : 0, (sf & KX_STRFMT_F_UPPER) ? 'E' : 'e');
}

char* layout_f(char* q, const Decimal* r, int32_t prec, uint32_t sf) {
  if (r->n == 0 || r->e < 0) *q++ = '0';
  else
    for (int32_t i = 0; i <= r->e; i++) *q++ = digit_at(r, i);
  if (prec > 0 || (sf & KX_STRFMT_F_ALT)) *q++ = '.';
  for (int32_t j = 1; j <= prec; j++) *q++ = r->n ? digit_at(r, r->e + j) : '0';
  return q;
}

char* conv_e(char* q, double ax, int32_t prec, uint32_t sf) {
  Decimal r;
  if (ax == 0) r.n = 0, r.e = 0;
  else sig_digits(ax, prec + 1, &r);
  return layout_e(q, &r, prec, sf);
}

char* conv_f(char* q, double ax, int32_t prec, uint32_t sf) {
  Decimal r;
  if (ax == 0) r.n = 0, r.e = 0;
  else fixed_digits(ax, prec, &r);
  return layout_f(q, &r, prec, sf);
}

// Fixed form when the exponent of the rounded value lies in [-4, precision), else exponent form;
// without '#' the trailing zeros of the fraction (and a bare point) are left out.
char* conv_g(char* q, double ax, int32_t prec, uint32_t sf) {
  int32_t p = prec < 0 ? 6 : prec == 0 ? 1 : prec;
  Decimal r;
  if (ax == 0) r.n = 0, r.e = 0;
  else sig_digits(ax, p, &r);
  int32_t x = r.n ? r.e : 0;
  bool alt = sf & KX_STRFMT_F_ALT;
  if (x < p && x >= -4) {
    int32_t fp = p - 1 - x;
    if (!alt && fp > r.n - 1 - x) fp = r.n - 1 - x > 0 ? r.n - 1 - x : 0;
    return layout_f(q, &r, fp, sf);
  }
  int32_t ep = p - 1;
  if (!alt && ep > r.n - 1) ep = r.n > 1 ? r.n - 1 : 0;
  return layout_e(q, &r, ep, sf);
}

// Hexadecimal: 0x, the leading digit (0 for subnormals, 2 when rounding carries), the fraction digits
// and the binary exponent. Without a precision the fraction is as long as needed to be exact.
char* conv_a(char* q, uint64_t bits, int32_t prec, uint32_t sf) {
  bool upper = sf & KX_STRFMT_F_UPPER;
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  int32_t biased = int32_t((bits >> 52) & 0x7ff);
  uint64_t m = bits & MANT_MASK;
  int32_t e2 = biased ? biased - 1023 : (m ? -1022 : 0);
  if (biased) m |= HIDDEN_BIT;
  int32_t nd = 13;
  if (prec >= 0 && prec < 13) {
    int32_t drop = 4 * (13 - prec);
    uint64_t rest = m & ((1ull << drop) - 1), half = 1ull << (drop - 1);
    m >>= drop;
    if (rest > half || (rest == half && (m & 1))) m++;
    nd = prec;
  } else if (prec < 0) {
    while (nd > 0 && (m & 0xf) == 0) m >>= 4, nd--;
  }
  *q++ = '0';
  *q++ = upper ? 'X' : 'x';
  *q++ = hex[m >> (4 * nd)];
  if (nd > 0 || (sf & KX_STRFMT_F_ALT)) *q++ = '.';
  for (int32_t i = nd - 1; i >= 0; i--) *q++ = hex[(m >> (4 * i)) & 0xf];
  for (int32_t i = 13; i < prec; i++) *q++ = '0';
  *q++ = upper ? 'P' : 'p';
  *q++ = e2 < 0 ? '-' : '+';
  return kx_strfmt_wint(q, e2 < 0 ? -e2 : e2);
}

// The conversion of x without sign or padding; *zeros_at receives where zero padding would go.
char* conv_body(char* b, StrFormat sf, uint64_t bits, uint32_t* zeros_at) {
  *zeros_at = 0;
  if ((bits & ~SIGN_BIT) >= INF_BITS) {
    bool nan = (bits & ~SIGN_BIT) > INF_BITS, upper = sf & KX_STRFMT_F_UPPER;
    memcpy(b, nan ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf"), 3);
    return b + 3;
  }
  Value ax;
  ax.u64 = bits & ~SIGN_BIT;
  int32_t prec = int32_t(kx_strfmt_prec(sf));
  switch (kx_strfmt_variant(sf)) {
    case KX_STRFMT_VFMT_A: *zeros_at = 2; return conv_a(b, bits, prec, sf);
    case KX_STRFMT_VFMT_E: return conv_e(b, ax.n, prec < 0 ? 6 : prec, sf);
    case KX_STRFMT_VFMT_F: return conv_f(b, ax.n, prec < 0 ? 6 : prec, sf);
    default: return conv_g(b, ax.n, prec, sf);
  }
}

// The default number text needs no padding: written in place, integers without any digit search.
char* put_g14(char* p, double x, bool neg) {
  int32_t k;
  if (kx_num2int_exact(x, &k) && !(k == 0 && neg)) return kx_strfmt_wint(p, k);
  if (neg) *p++ = '-';
  return conv_g(p, neg ? -x : x, 14, KX_STRFMT_G14);
}

}  // namespace

char* kx_strfmt_wfnum(StrBuf* sb, StrFormat sf, double x, char* p) {
  uint64_t bits = num2bits(x);
  bool neg = bits >> 63, finite = (bits & ~SIGN_BIT) < INF_BITS;
  if (sf == KX_STRFMT_G14 && finite) {
    p = put_g14(sb ? kx_buf_more(sb, KX_STRFMT_MAXBUF_G14) : p, x, neg);
    if (sb) sb->w = p;
    return p;
  }
  char body[KX_STRFMT_MAXBUF_NUM];
  uint32_t zeros_at;
  uint32_t blen = uint32_t(conv_body(body, sf, bits, &zeros_at) - body);
  char sign = neg ? '-' : (sf & KX_STRFMT_F_PLUS) ? '+' : (sf & KX_STRFMT_F_SPACE) ? ' ' : 0;
  if ((bits & ~SIGN_BIT) > INF_BITS) sign = (sf & KX_STRFMT_F_SPACE) ? ' ' : 0;  // NaN: never a minus
  uint32_t len = blen + (sign != 0), width = kx_strfmt_width(sf), pad = width > len ? width - len : 0;
  if (sb) p = kx_buf_more(sb, len + pad);
  // Zero padding goes after the sign (and "0x"); infinity and NaN are padded with spaces only.
  bool left = sf & KX_STRFMT_F_LEFT, zero_pad = !left && finite && (sf & KX_STRFMT_F_ZERO);
  if (!left && !zero_pad) memset(p, ' ', pad), p += pad;
  if (sign) *p++ = sign;
  memcpy(p, body, zeros_at);
  p += zeros_at;
  if (zero_pad) memset(p, '0', pad), p += pad;
  memcpy(p, body + zeros_at, blen - zeros_at);
  p += blen - zeros_at;
  if (left) memset(p, ' ', pad), p += pad;
  if (sb) sb->w = p;
  return p;
}

StrBuf* kx_strfmt_putfnum(StrBuf* sb, StrFormat sf, double x) {
  kx_strfmt_wfnum(sb, sf, x, nullptr);
  return sb;
}

StrBuf* kx_strfmt_putnum(StrBuf* sb, double x) { return kx_strfmt_putfnum(sb, KX_STRFMT_G14, x); }
