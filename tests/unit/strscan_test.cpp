// Scanning numbers from text: accepted syntax, result kinds, and correct rounding (checked against the
// C library's strtod, used here only as a reference).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "lauxlib.h"

namespace {

struct Scanned {
  StrScanFmt kind;
  Value v;
};

Scanned scan(const std::string& s, uint32_t options = KX_STRSCAN_OPT_TONUM) {
  Scanned r;
  r.v.u64 = 0;
  r.kind = kx_strscan_scan(reinterpret_cast<const uint8_t*>(s.data()), s.size(), &r.v, options);
  return r;
}

uint64_t bits_of(double x) {
  Value v;
  v.n = x;
  return v.u64;
}

double num_of(uint64_t bits) {
  Value v;
  v.u64 = bits;
  return v.n;
}

// The number a text scans to; fails the test when it does not scan.
double num(const std::string& s) {
  Scanned r = scan(s);
  EXPECT_EQ(r.kind, KX_STRSCAN_NUM) << '"' << s << '"';
  return r.v.n;
}

void expect_same_bits(double got, double want, const std::string& text) {
  EXPECT_EQ(bits_of(got), bits_of(want)) << '"' << text << "\": got " << got << " want " << want;
}

TEST(StrScan, AcceptsEveryNumberForm) {
  EXPECT_EQ(num("0x10"), 16);
  EXPECT_EQ(num("0x1p4"), 16);
  EXPECT_EQ(num("0X1P-2"), 0.25);
  EXPECT_EQ(num("0x1e"), 30);  // e is a hexadecimal digit, not an exponent
  EXPECT_EQ(num("0x.8"), 0.5);
  EXPECT_EQ(num("0xA.8p1"), 21);
  EXPECT_EQ(num("0b101"), 5);
  EXPECT_EQ(num("0B0000000000000000000000000000000000000000000000000000000000000000000000011"), 3);
  EXPECT_EQ(num(" 12 "), 12);
  EXPECT_EQ(num("\t\n\v\f\r 7\r\n"), 7);
  EXPECT_EQ(num("+3"), 3);
  EXPECT_EQ(num("-3.5e+2"), -350);
  EXPECT_EQ(num("1E-2"), 0.01);
  EXPECT_EQ(num(".5"), 0.5);
  EXPECT_EQ(num("0."), 0);
  EXPECT_EQ(num("000123.4500"), 123.45);
  EXPECT_EQ(num("0.1"), 0.1);
  expect_same_bits(num("-0"), -0.0, "-0");
  expect_same_bits(num("-0x0p3"), -0.0, "-0x0p3");
}

TEST(StrScan, RejectsMalformedText) {
  const char* bad[] = {"1e", "1e+", "1E-", "0x", "0X", "0b", "0x.", "0x1p", ".", "", "   ", "-", "+.", "12a",
                       "1..2", "1.2.3", "0b1.1", "0b12", "0b1e1", "--1", "+-1", "1 2", "1e1.5", "0x1.8e+1",
                       "in", "infx", "infinit", "infinityy", "nanx", "na", "inf 1", "x12", "1f", "1i", "1LL",
                       "1u", "1L"};
  for (const char* s : bad) EXPECT_EQ(scan(s).kind, KX_STRSCAN_ERROR) << '"' << s << '"';
  EXPECT_EQ(scan(std::string("1\0", 2)).kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(scan(std::string("1\0 ", 3)).kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(scan("0b" + std::string(65, '1')).kind, KX_STRSCAN_ERROR);  // more than 64 binary digits
  EXPECT_EQ(num("0b" + std::string(64, '1')), 18446744073709551616.0);
}

TEST(StrScan, ExponentLimit) {
  EXPECT_EQ(num("1e1048575"), HUGE_VAL);
  EXPECT_EQ(num("0e1048575"), 0);
  EXPECT_EQ(num("1e-1048575"), 0);
  EXPECT_EQ(num("0x1p1048575"), HUGE_VAL);
  EXPECT_EQ(num("0x1p-1048575"), 0);
  EXPECT_EQ(scan("1e1048576").kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(scan("1e-1048576").kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(scan("0x1p1048576").kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(num("1e0000000000000000001"), 10);  // the limit is on the value, not the digits
  // Digits move the decimal point, not the exponent: they are not limited.
  EXPECT_EQ(num("0." + std::string(400, '0') + "1e400"), 0.1);
  EXPECT_EQ(num("1" + std::string(400, '0') + "e-400"), 1);
}

TEST(StrScan, InfinityAndNaNWords) {
  EXPECT_EQ(num("inf"), HUGE_VAL);
  EXPECT_EQ(num("-INFINITY"), -HUGE_VAL);
  EXPECT_EQ(num(" +Infinity\t"), HUGE_VAL);
  for (const char* s : {"nan", "NaN", "-nan", " +NAN "}) EXPECT_EQ(bits_of(num(s)), KX_CANONICAL_NAN) << s;
}

TEST(StrScan, IntegerResultKinds) {
  Scanned r = scan("2147483647", 0);
  EXPECT_EQ(r.kind, KX_STRSCAN_INT);
  EXPECT_EQ(int32_t(r.v.w.lo), 2147483647);
  r = scan("-2147483648", 0);
  EXPECT_EQ(r.kind, KX_STRSCAN_INT);
  EXPECT_EQ(int32_t(r.v.w.lo), INT32_MIN);
  r = scan("00000000000000000042", 0);  // leading zeros do not count as digits
  EXPECT_EQ(r.kind, KX_STRSCAN_INT);
  EXPECT_EQ(int32_t(r.v.w.lo), 42);
  r = scan("2147483648", 0);
  EXPECT_EQ(r.kind, KX_STRSCAN_NUM);
  EXPECT_EQ(r.v.n, 2147483648.0);
  EXPECT_EQ(scan("-2147483649", 0).kind, KX_STRSCAN_NUM);
  r = scan("-0", 0);
  EXPECT_EQ(r.kind, KX_STRSCAN_NUM);
  EXPECT_EQ(bits_of(r.v.n), bits_of(-0.0));
  EXPECT_EQ(scan("1.0", 0).kind, KX_STRSCAN_NUM);
  EXPECT_EQ(scan("1e2", 0).kind, KX_STRSCAN_NUM);
  EXPECT_EQ(scan("0x10", 0).kind, KX_STRSCAN_NUM);
  // Option 0x02 always gives doubles.
  for (const char* s : {"2147483647", "-2147483648", "2147483648", "0", "7"}) {
    r = scan(s, KX_STRSCAN_OPT_TONUM);
    EXPECT_EQ(r.kind, KX_STRSCAN_NUM) << s;
    EXPECT_EQ(r.v.n, strtod(s, nullptr)) << s;
  }
  // Option 0x01 turns any integral result into an integer, -0 excepted.
  r = scan("1e3", KX_STRSCAN_OPT_TOINT);
  EXPECT_EQ(r.kind, KX_STRSCAN_INT);
  EXPECT_EQ(int32_t(r.v.w.lo), 1000);
  r = scan("-0x10", KX_STRSCAN_OPT_TOINT);
  EXPECT_EQ(r.kind, KX_STRSCAN_INT);
  EXPECT_EQ(int32_t(r.v.w.lo), -16);
  EXPECT_EQ(scan("2.5", KX_STRSCAN_OPT_TOINT).kind, KX_STRSCAN_NUM);
  EXPECT_EQ(scan("-0.0", KX_STRSCAN_OPT_TOINT).kind, KX_STRSCAN_NUM);
  EXPECT_EQ(scan("4294967296", KX_STRSCAN_OPT_TOINT).kind, KX_STRSCAN_NUM);
  EXPECT_EQ(scan("1e3", KX_STRSCAN_OPT_TOINT | KX_STRSCAN_OPT_TONUM).kind, KX_STRSCAN_NUM);
}

TEST(StrScan, SuffixKinds) {
  const uint32_t lexer = KX_STRSCAN_OPT_TONUM | KX_STRSCAN_OPT_IMAG | KX_STRSCAN_OPT_LL;
  Scanned r = scan("1LL", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_I64);
  EXPECT_EQ(r.v.u64, 1u);
  r = scan("-1ll", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_I64);
  EXPECT_EQ(r.v.u64, ~0ull);
  r = scan("18446744073709551615ULL", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_U64);
  EXPECT_EQ(r.v.u64, ~0ull);
  r = scan("0x8000000000000000llu", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_U64);
  EXPECT_EQ(r.v.u64, 1ull << 63);
  r = scan("0b11LL", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_I64);
  EXPECT_EQ(r.v.u64, 3u);
  for (const char* s : {"18446744073709551616ULL", "0x10000000000000000LL", "1.5LL", "1e3LL", "0x1p3LL", "1LLL",
                        "1LLi", "1iLL", "1U", "1L", "1ii"})
    EXPECT_EQ(scan(s, lexer).kind, KX_STRSCAN_ERROR) << s;
  r = scan("2i", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_IMAG);
  EXPECT_EQ(r.v.n, 2.0);
  r = scan("-0x10I", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_IMAG);
  EXPECT_EQ(r.v.n, -16.0);
  r = scan("1.5e1i ", lexer);
  EXPECT_EQ(r.kind, KX_STRSCAN_IMAG);
  EXPECT_EQ(r.v.n, 15.0);
  EXPECT_EQ(scan("1LL", KX_STRSCAN_OPT_TONUM).kind, KX_STRSCAN_ERROR);
  EXPECT_EQ(scan("1i", KX_STRSCAN_OPT_TONUM | KX_STRSCAN_OPT_LL).kind, KX_STRSCAN_ERROR);
}

TEST(StrScan, CSyntaxIntegers) {
  struct Case {
    const char* text;
    StrScanFmt kind;
    uint64_t value;
  } cases[] = {
      {"010", KX_STRSCAN_INT, 8},
      {"0", KX_STRSCAN_INT, 0},
      {"0777", KX_STRSCAN_INT, 511},
      {"2147483647", KX_STRSCAN_INT, 2147483647},
      {"-2147483648", KX_STRSCAN_INT, 0x80000000u},
      {"0x7fffffff", KX_STRSCAN_INT, 0x7fffffff},
      {"0xffffffff", KX_STRSCAN_U32, 0xffffffff},    // hexadecimal that only fits unsigned int
      {"037777777777", KX_STRSCAN_U32, 0xffffffff},
      {"4294967295", KX_STRSCAN_I64, 4294967295u},   // decimal never becomes unsigned by itself
      {"10u", KX_STRSCAN_U32, 10},
      {"10UL", KX_STRSCAN_U32, 10},
      {"10lu", KX_STRSCAN_U32, 10},
      {"10L", KX_STRSCAN_INT, 10},
      {"0x100000000", KX_STRSCAN_I64, 0x100000000ull},
      {"0xffffffffffffffff", KX_STRSCAN_U64, ~0ull},
      {"01777777777777777777777", KX_STRSCAN_U64, ~0ull},
  };
  for (const Case& c : cases) {
    Scanned r = scan(c.text, KX_STRSCAN_OPT_C);
    EXPECT_EQ(r.kind, c.kind) << c.text;
    EXPECT_EQ(r.v.u64, c.value) << c.text;
  }
  for (const char* s : {"08", "0.5", "2000000000000000000000", "02000000000000000000000", "1LL", "1i"})
    EXPECT_EQ(scan(s, KX_STRSCAN_OPT_C).kind, KX_STRSCAN_ERROR) << s;
  Scanned r = scan("10ULL", KX_STRSCAN_OPT_C | KX_STRSCAN_OPT_LL);
  EXPECT_EQ(r.kind, KX_STRSCAN_U64);
  EXPECT_EQ(r.v.u64, 10u);
}

TEST(StrScan, RoundsDecimalsCorrectly) {
  EXPECT_EQ(num("9007199254740993"), 9007199254740992.0);      // halfway: ties to even
  EXPECT_EQ(num("9007199254740995"), 9007199254740996.0);
  EXPECT_EQ(num("9007199254740993.0000000000000000000001"), 9007199254740994.0);
  // A non-zero digit far beyond the 800th still breaks the tie.
  EXPECT_EQ(num("9007199254740993." + std::string(1000, '0')), 9007199254740992.0);
  EXPECT_EQ(num("9007199254740993." + std::string(1000, '0') + "1"), 9007199254740994.0);
  EXPECT_EQ(num("2.2250738585072011e-308"), 2.225073858507201e-308);
  EXPECT_EQ(num("2.2250738585072012e-308"), 2.2250738585072014e-308);
  EXPECT_EQ(num("2.4703282292062327e-324"), 0);                // just below half the smallest subnormal
  EXPECT_EQ(num("2.4703282292062328e-324"), 4.9406564584124654e-324);
  EXPECT_EQ(num("1e-400"), 0);
  EXPECT_EQ(num("1.7976931348623158e308"), 1.7976931348623157e308);
  EXPECT_EQ(num("1.7976931348623159e308"), HUGE_VAL);          // at least the halfway point to 2^1024
  EXPECT_EQ(num("1" + std::string(400, '0')), HUGE_VAL);
  expect_same_bits(num("-1e-400"), -0.0, "-1e-400");
}

// Full expansions of the two extreme midpoints (half the smallest subnormal, halfway from the largest
// double to 2^1024) with 1100 digits: the widest exact comparisons there are.
TEST(StrScan, RoundsAtTheExtremeMidpoints) {
  struct Case {
    long double mid;
    double below, above;
  } cases[] = {{0x1p-1075L, 0.0, 4.9406564584124654e-324},
               {0x1.fffffffffffff8p1023L, 1.7976931348623157e308, HUGE_VAL}};
  char buf[1200];
  for (const Case& c : cases) {
    snprintf(buf, sizeof(buf), "%.1100Le", c.mid);
    std::string tie = buf, e = tie.substr(tie.find('e'));
    std::string mantissa = tie.substr(0, tie.find('e'));
    EXPECT_EQ(num(tie), c.mid < 1 ? c.below : c.above) << "ties go to the even neighbour";
    EXPECT_EQ(num(mantissa.substr(0, mantissa.size() - 1) + "1" + e), c.above);
    snprintf(buf, sizeof(buf), "%.1100Le", std::nextafterl(c.mid, 0));
    EXPECT_EQ(num(buf), c.below);
  }
}

TEST(StrScan, RoundsHexadecimalOnce) {
  EXPECT_EQ(num("0x1.fffffffffffff7ffp0"), 0x1.fffffffffffffp0);
  EXPECT_EQ(num("0x1.fffffffffffff8p0"), 2.0);                  // tie: to even
  EXPECT_EQ(num("0x1.00000000000008p0"), 1.0);
  EXPECT_EQ(num("0x1.000000000000080000000001p0"), 1.0000000000000002);  // a late digit breaks the tie
  EXPECT_EQ(num("0x1.fffffffffffff8p1023"), HUGE_VAL);
  EXPECT_EQ(num("0x1p-1074"), 4.9406564584124654e-324);
  EXPECT_EQ(num("0x1p-1075"), 0);                               // tie with zero: to even
  EXPECT_EQ(num("0x1.0000000000001p-1075"), 4.9406564584124654e-324);
  EXPECT_EQ(num("0x1.8p-1074"), 2 * 4.9406564584124654e-324);
  EXPECT_EQ(num("0x.0000000000000000000000000000001p0"), 0x1p-124);
}

TEST(StrScan, StringContents) {
  lua_State* L = luaL_newstate();
  Value v;
  EXPECT_TRUE(kx_strscan_num(kx_str_newz(L, "  0x10  "), &v));
  EXPECT_EQ(v.n, 16);
  EXPECT_TRUE(kx_strscan_num(kx_str_newz(L, "12"), &v));  // a double, never an integer result
  EXPECT_EQ(v.n, 12);
  EXPECT_FALSE(kx_strscan_num(kx_str_newz(L, "1LL"), &v));
  EXPECT_FALSE(kx_strscan_num(kx_str_new(L, "1\0", 2), &v));
  EXPECT_FALSE(kx_strscan_num(kx_str_newz(L, ""), &v));
  lua_close(L);
}

// Random decimal texts of every length (some past 800 digits) and exponent against the reference.
TEST(StrScan, MatchesReferenceOnRandomDecimals) {
  std::mt19937_64 rng(12345);
  char buf[1200];
  int mismatches = 0;
  for (int i = 0; i < 150000; i++) {
    int digits = i % 40 == 0 ? 1 + int(rng() % 900) : 1 + int(rng() % 24);
    int dot = int(rng() % (digits + 1));
    char* p = buf;
    if (rng() & 1) *p++ = '-';
    for (int j = 0; j < digits; j++) {
      if (j == dot) *p++ = '.';
      *p++ = char('0' + rng() % 10);
    }
    snprintf(p, 16, "e%d", int(rng() % 760) - 380);
    double want = strtod(buf, nullptr);
    if (bits_of(num(buf)) != bits_of(want) && ++mismatches < 10) ADD_FAILURE() << buf;
  }
  EXPECT_EQ(mismatches, 0);
}

// Texts exactly at, just above and just below the midpoint between two neighbouring doubles, written
// out in full (up to 767 digits): the hardest inputs, settled by exact comparison.
TEST(StrScan, MatchesReferenceAtHalfwayPoints) {
  std::mt19937_64 rng(777);
  char buf[1300];
  int mismatches = 0;
  for (int i = 0; i < 3000; i++) {
    uint64_t b = rng() & 0x7fffffffffffffffull;
    if (i % 3 == 0) b &= 0x000fffffffffffffull;                                    // subnormal
    if (i % 3 == 1) b = (b & 0x000fffffffffffffull) | (uint64_t(rng() % 100 + 1023) << 52);
    if (b >= 0x7fefffffffffffffull) continue;
    long double lo = num_of(b), hi = num_of(b + 1);
    long double mid = (lo + hi) / 2;  // exact: 64 bits of precision hold it
    long double near[3] = {mid, std::nextafterl(mid, 0), std::nextafterl(mid, HUGE_VALL)};
    for (long double x : near) {
      snprintf(buf, sizeof(buf), "%.800Le", x);
      if (bits_of(num(buf)) != bits_of(strtod(buf, nullptr)) && ++mismatches < 10) ADD_FAILURE() << buf;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(StrScan, MatchesReferenceOnRandomHexadecimals) {
  std::mt19937_64 rng(99);
  char buf[128];
  int mismatches = 0;
  for (int i = 0; i < 50000; i++) {
    int digits = 1 + int(rng() % 30), dot = int(rng() % (digits + 1));
    char* p = buf;
    p += snprintf(p, 8, "%s0x", (rng() & 1) ? "-" : "");
    for (int j = 0; j < digits; j++) {
      if (j == dot) *p++ = '.';
      *p++ = "0123456789abcdef"[rng() % 16];
    }
    snprintf(p, 16, "p%d", int(rng() % 2400) - 1200);
    if (bits_of(num(buf)) != bits_of(strtod(buf, nullptr)) && ++mismatches < 10) ADD_FAILURE() << buf;
  }
  EXPECT_EQ(mismatches, 0);
}

// Seventeen significant digits identify every double: formatting and scanning must round-trip.
TEST(StrScan, RoundTripsThroughSeventeenDigits) {
  std::mt19937_64 rng(2024);
  FormatState fs;
  kx_strfmt_init(&fs, "%.17g", 5);
  StrFormat g17 = kx_strfmt_parse(&fs);
  char buf[KX_STRFMT_MAXBUF_NUM];
  int mismatches = 0;
  for (int i = 0; i < 100000;) {
    uint64_t b = rng();
    if (i % 4 == 0) b &= 0x800fffffffffffffull;  // subnormals
    double x = num_of(b);
    if (x != x) continue;
    i++;
    char* e = kx_strfmt_wfnum(nullptr, g17, x, buf);
    Scanned r = scan(std::string(buf, e));
    if ((r.kind != KX_STRSCAN_NUM || r.v.u64 != b) && ++mismatches < 10) ADD_FAILURE() << std::string(buf, e);
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
