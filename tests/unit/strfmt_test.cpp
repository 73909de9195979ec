// Formatting numbers and values as text: the format parser, every conversion, the default texts of
// values and lua_pushfstring's engine. Floating and integer conversions are also compared with the C
// library's snprintf, used here only as a reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/func.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"
#include "lauxlib.h"

namespace {

// One argument of a test format: a number or a string.
struct Arg {
  double n = 0;
  const char* s = nullptr;
  Arg(double x) : n(x) {}
  Arg(int x) : n(x) {}
  Arg(const char* x) : s(x) {}
};

StrFormat parse_one(const char* fmt) {
  FormatState fs;
  kx_strfmt_init(&fs, fmt, strlen(fmt));
  return kx_strfmt_parse(&fs);
}

double num_of(uint64_t bits) {
  Value v;
  v.u64 = bits;
  return v.n;
}

class StrFmt : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    sbufinit(L, &sb);
  }
  void TearDown() override {
    kx_buf_free(G(L), &sb);
    lua_close(L);
  }

  // Formats like string.format: each conversion takes the next argument.
  std::string format(const char* fmt, std::vector<Arg> args = {}) {
    sbufreset(&sb);
    FormatState fs;
    kx_strfmt_init(&fs, fmt, strlen(fmt));
    size_t next = 0;
    for (StrFormat sf; (sf = kx_strfmt_parse(&fs)) != KX_STRFMT_EOF;) {
      if (kx_strfmt_type(sf) == KX_STRFMT_LIT) {
        kx_buf_putmem(&sb, fs.str, fs.len);
        continue;
      }
      if (kx_strfmt_type(sf) == KX_STRFMT_ERR || next == args.size()) return "<bad format>";
      const Arg& a = args[next++];
      switch (kx_strfmt_type(sf)) {
        case KX_STRFMT_INT: kx_strfmt_putfnum_int(&sb, sf, a.n); break;
        case KX_STRFMT_UINT: kx_strfmt_putfnum_uint(&sb, sf, a.n); break;
        case KX_STRFMT_NUM: kx_strfmt_putfnum(&sb, sf, a.n); break;
        case KX_STRFMT_CHAR: kx_strfmt_putfchar(&sb, sf, int32_t(a.n)); break;
        case KX_STRFMT_PTR: kx_strfmt_putptr(&sb, a.s); break;
        default: {
          GcString* s = kx_str_newz(L, a.s);
          if (kx_strfmt_variant(sf) == KX_STRFMT_VQUOTED) kx_strfmt_putquoted(&sb, s);
          else kx_strfmt_putfstr(&sb, sf, s);
        }
      }
    }
    return std::string(sb.b, sbuflen(&sb));
  }

  std::string quoted(const std::string& bytes) {
    sbufreset(&sb);
    kx_strfmt_putquoted(&sb, kx_str_new(L, bytes.data(), bytes.size()));
    return std::string(sb.b, sbuflen(&sb));
  }

  std::string obj_text(const Value* v) {
    GcString* s = kx_strfmt_obj(L, v);
    return std::string(strdata(s), s->len);
  }

  lua_State* L;
  StrBuf sb;
};

TEST_F(StrFmt, ParsesConversionsIntoDescriptors) {
  EXPECT_EQ(parse_one("%.14g"), KX_STRFMT_G14);
  EXPECT_EQ(parse_one("%-08.3X"), KX_STRFMT_UINT | KX_STRFMT_VHEX | KX_STRFMT_F_UPPER | KX_STRFMT_F_LEFT |
                                      KX_STRFMT_F_ZERO | (8u << 16) | (4u << 24));
  EXPECT_EQ(parse_one("%# +99.99e"), KX_STRFMT_NUM | KX_STRFMT_VFMT_E | KX_STRFMT_F_ALT | KX_STRFMT_F_SPACE |
                                         KX_STRFMT_F_PLUS | (99u << 16) | (100u << 24));
  StrFormat dot_only = parse_one("%.f");
  EXPECT_EQ(kx_strfmt_prec(dot_only), 0u);
  EXPECT_EQ(kx_strfmt_prec(parse_one("%f")), ~0u);
  for (const char* bad : {"%123d", "%1.123f", "%y", "%", "%-", "%5", "%.", "%l"})
    EXPECT_EQ(parse_one(bad), KX_STRFMT_ERR) << bad;

  // Literal runs, "%%" ending a literal with one '%', and the text of an invalid conversion.
  const char* fmt = "ab%%cd%5.2fx%y!";
  FormatState fs;
  kx_strfmt_init(&fs, fmt, strlen(fmt));
  std::vector<std::string> texts;
  std::vector<uint32_t> kinds;
  for (StrFormat sf; (sf = kx_strfmt_parse(&fs)) != KX_STRFMT_EOF;) {
    kinds.push_back(kx_strfmt_type(sf));
    texts.emplace_back(fs.str, fs.len);
  }
  EXPECT_EQ(kinds, (std::vector<uint32_t>{KX_STRFMT_LIT, KX_STRFMT_LIT, KX_STRFMT_NUM, KX_STRFMT_LIT,
                                          KX_STRFMT_ERR, KX_STRFMT_LIT}));
  EXPECT_EQ(texts[0], "ab%");
  EXPECT_EQ(texts[1], "cd");
  EXPECT_EQ(texts[3], "x");
  EXPECT_EQ(texts[4], "%y");
  EXPECT_EQ(texts[5], "!");
}

TEST_F(StrFmt, DefaultNumberText) {
  struct Case {
    double x;
    const char* text;
  } cases[] = {
      {100, "100"},
      {0.1, "0.1"},
      {1.0 / 3, "0.33333333333333"},
      {1e15, "1e+15"},
      {9007199254740992.0, "9.007199254741e+15"},
      {-0.0, "-0"},
      {0.0, "0"},
      {NAN, "nan"},
      {-NAN, "nan"},
      {HUGE_VAL, "inf"},
      {-HUGE_VAL, "-inf"},
      {4.9406564584124654e-324, "4.9406564584125e-324"},
      {9223372036854775808.0, "9.2233720368548e+18"},
      {1e14, "1e+14"},
      {99999999999999, "99999999999999"},
      {-2147483648.0, "-2147483648"},
      {2147483648.0, "2147483648"},
      {0.1 + 0.2, "0.3"},
      {123456.789, "123456.789"},
      {1e-5, "1e-05"},
      {0.0001, "0.0001"},
      {-1.5e-300, "-1.5e-300"},
      {1.7976931348623157e308, "1.7976931348623e+308"},
      {99999999999999.5, "1e+14"},  // rounding carries into a new digit and the exponent form
  };
  char buf[KX_STRFMT_MAXBUF_G14];
  for (const Case& c : cases) {
    GcString* s = kx_strfmt_num(L, c.x);
    EXPECT_EQ(std::string(strdata(s), s->len), c.text);
    EXPECT_EQ(std::string(buf, kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, c.x, buf)), c.text);
    sbufreset(&sb);
    kx_strfmt_putnum(&sb, c.x);
    EXPECT_EQ(std::string(sb.b, sbuflen(&sb)), c.text);
  }
  Value n;
  n.n = 2.5;
  EXPECT_EQ(kx_strfmt_number(L, &n), kx_strfmt_num(L, 2.5));  // interned: the same object
}

TEST_F(StrFmt, StringFormatExample) {
  EXPECT_EQ(format("%5.1f|%-5d|%05d|%+d|%x|%#o|%e", {3.14159, 42, 42, 42, 255, 8, 0}),
            "  3.1|42   |00042|+42|ff|010|0.000000e+00");
}

TEST_F(StrFmt, FloatingConversions) {
  EXPECT_EQ(format("%.3g", {0.0001234}), "0.000123");
  EXPECT_EQ(format("%g", {1e-5}), "1e-05");
  EXPECT_EQ(format("%g|%g|%g", {100000, 1e6, 0.5}), "100000|1e+06|0.5");
  EXPECT_EQ(format("%#g|%#.0f|%#.0e|%.0g", {1, 1, 1, 0.5}), "1.00000|1.|1.e+00|0.5");
  EXPECT_EQ(format("%G|%E|%F", {1e-20, 12345.678, 1.5}), "1E-20|1.234568E+04|1.500000");
  EXPECT_EQ(format("%08.2f|%-8.2f|%+.1e|% .3f", {-3.14159, 2.5, 12345, 1}),
            "-0003.14|2.50    |+1.2e+04| 1.000");
  EXPECT_EQ(format("%.20f", {0.1}), "0.10000000000000000555");
  EXPECT_EQ(format("%.0f", {1e300}),
            "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375080447864"
            "0437044438328838781769425232353604305756447921847867069828483872009265758037378302337947880900593689"
            "5323497079994508111903896764088007465274278014249457925878882005684283811566947219638686545940054016"
            "0");
  EXPECT_EQ(format("%e", {1e-310}), "1.000000e-310");
  EXPECT_EQ(format("%.2e", {9.995}), "9.99e+00");  // 9.995 is stored just below the tie
  EXPECT_EQ(format("%.3e", {9.9995e10}), "1.000e+11");
  EXPECT_EQ(format("%5.3s|%.0f|%.2f", {"abcdef", 0.4, 0.004}), "  abc|0|0.00");
}

TEST_F(StrFmt, RoundsTiesToEven) {
  EXPECT_EQ(format("%.0f %.0f %.0f %.0f %.0f", {0.5, 1.5, 2.5, 3.5, -0.5}), "0 2 2 4 -0");
  EXPECT_EQ(format("%.2f %.2f %.1f", {0.125, 0.375, 0.25}), "0.12 0.38 0.2");
  EXPECT_EQ(format("%.0e %.0e %.1e", {2.5, 0.25, 1.25}), "2e+00 2e-01 1.2e+00");
  EXPECT_EQ(format("%.1f", {0.05}), "0.1");  // the stored value lies above the tie
  EXPECT_EQ(format("%.15g %.16g", {9007199254740993.0, 0.3}), "9.00719925474099e+15 0.3");
}

TEST_F(StrFmt, HexadecimalFloats) {
  EXPECT_EQ(format("%a", {1}), "0x1p+0");
  EXPECT_EQ(format("%a|%a|%a", {0.5, -0.0, 0.1}), "0x1p-1|-0x0p+0|0x1.999999999999ap-4");
  EXPECT_EQ(format("%a", {4.9406564584124654e-324}), "0x0.0000000000001p-1022");
  EXPECT_EQ(format("%A", {255.5}), "0X1.FFP+7");
  EXPECT_EQ(format("%.0a|%.1a|%.1a", {1.5, 0x1.18p0, 0x1.08p0}), "0x2p+0|0x1.2p+0|0x1.0p+0");
  EXPECT_EQ(format("%.0a", {1.7976931348623157e308}), "0x2p+1023");
  EXPECT_EQ(format("%.3a|%#.0a|%.15a", {1, 1, 1}), "0x1.000p+0|0x1.p+0|0x1.000000000000000p+0");
  EXPECT_EQ(format("%010a|%-10a|%+a", {1, 1, 1}), "0x00001p+0|0x1p+0    |+0x1p+0");
}

TEST_F(StrFmt, InfinityAndNaN) {
  EXPECT_EQ(format("%f|%+f|% e|%05f|%F", {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, HUGE_VAL}),
            "inf|+inf| inf| -inf|INF");
  // NaN never shows a minus sign; only the space flag adds a space.
  EXPECT_EQ(format("%f|%+g|% g|%-5e|%E|%05a", {NAN, NAN, NAN, -NAN, NAN, NAN}), "nan|nan| nan|nan  |NAN|  nan");
}

TEST_F(StrFmt, IntegerConversions) {
  EXPECT_EQ(format("%d|%i|%5.3d|%-+5d|% d|%.0d|%+.0d|", {-2147483648.0, 0, 7, 3, 5, 0, 0}),
            "-2147483648|0|  007|+3   | 5||+|");
  EXPECT_EQ(format("%#x|%#X|%#o|%#.0o|%.0o|%#5o|%08.3x|%-6X|", {0, 255, 0, 0, 0, 8, 255, 255}),
            "0|0XFF|0|0||  010|     0ff|FF    |");
  EXPECT_EQ(format("%#010x|%010d|%-010d|", {255, -42, -42}), "0x000000ff|-000000042|-42       |");
  // Doubles are truncated toward zero; out-of-range values and NaN give -2^63.
  EXPECT_EQ(format("%d|%d|%d|%d|%d", {3.99, -3.99, 1e15, 1e19, NAN}),
            "3|-3|1000000000000000|-9223372036854775808|-9223372036854775808");
  // Unsigned conversions wrap negative values and keep 2^63 ... 2^64.
  EXPECT_EQ(format("%u|%x|%u|%o", {-1, -1, 9223372036854775808.0, 18446744073709549568.0}),
            "18446744073709551615|ffffffffffffffff|9223372036854775808|1777777777777777774000");
  sbufreset(&sb);
  kx_strfmt_putint(&sb, INT32_MIN);
  kx_strfmt_putint(&sb, 0);
  EXPECT_EQ(std::string(sb.b, sbuflen(&sb)), "-21474836480");
  GcString* s = kx_strfmt_int(L, -17);
  EXPECT_EQ(std::string(strdata(s), s->len), "-17");
}

// Random 64-bit values under random flags, widths and precisions against the reference.
TEST_F(StrFmt, IntegerConversionsMatchReference) {
  std::mt19937_64 rng(5);
  const char* flags[] = {"", "-", "+", " ", "0", "#", "-+", "0#", "+0", " -", "#-0"};
  int mismatches = 0;
  for (int i = 0; i < 20000; i++) {
    uint64_t k = rng() >> (rng() % 64);
    std::string conversion = std::string("%") + flags[rng() % 11];
    if (rng() & 1) conversion += std::to_string(rng() % 30);
    if (rng() & 1) conversion += "." + std::to_string(rng() % 25);
    char conv = "dxXou"[rng() % 5];
    char ref[200], ours_fmt[64];
    snprintf(ours_fmt, sizeof(ours_fmt), "%s%c", conversion.c_str(), conv);
    std::string ref_fmt = conversion + "ll" + conv;
    snprintf(ref, sizeof(ref), ref_fmt.c_str(), k);
    sbufreset(&sb);
    kx_strfmt_putfxint(&sb, parse_one(ours_fmt), k);
    if (std::string(sb.b, sbuflen(&sb)) != ref && ++mismatches < 10) ADD_FAILURE() << ours_fmt << " of " << k;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(StrFmt, CharactersStringsAndPointers) {
  EXPECT_EQ(format("%c|%3c|%-3c|", {65, 66, 67}), "A|  B|C  |");
  EXPECT_EQ(format("%s|%5s|%-5s|%.2s|%5.1s|%.0s|", {"abc", "abc", "abc", "abc", "abc", "abc"}),
            "abc|  abc|abc  |ab|    a||");
  sbufreset(&sb);
  kx_strfmt_putptr(&sb, nullptr);
  kx_strfmt_putptr(&sb, reinterpret_cast<void*>(0x1234));
  kx_strfmt_putptr(&sb, reinterpret_cast<void*>(0xdeadbeef));
  EXPECT_EQ(std::string(sb.b, sbuflen(&sb)), "NULL0x000012340xdeadbeef");
  GcString* c = kx_strfmt_char(L, 'q');
  EXPECT_EQ(std::string(strdata(c), c->len), "q");
}

TEST_F(StrFmt, QuotedStrings) {
  EXPECT_EQ(quoted(std::string("a\0b\n", 4)), "\"a\\0b\\\n\"");
  EXPECT_EQ(quoted(std::string("\0" "1", 2)), "\"\\0001\"");  // a digit follows: three digits
  EXPECT_EQ(quoted("\r|\r9|\x7f|\x1f|\x1f" "0"), "\"\\13|\\0139|\\127|\\31|\\0310\"");
  EXPECT_EQ(quoted("\"\\"), "\"\\\"\\\\\"");
  EXPECT_EQ(quoted("\xc8\xff plain"), "\"\xc8\xff plain\"");
  EXPECT_EQ(quoted(""), "\"\"");
}

TEST_F(StrFmt, DefaultTextOfValues) {
  Value v;
  setnilV(&v);
  EXPECT_EQ(obj_text(&v), "nil");
  setboolV(&v, false);
  EXPECT_EQ(obj_text(&v), "false");
  setboolV(&v, true);
  EXPECT_EQ(obj_text(&v), "true");
  v.n = -1.25;
  EXPECT_EQ(obj_text(&v), "-1.25");
  GcString* s = kx_str_newz(L, "text");
  setstrV(&v, s);
  EXPECT_EQ(kx_strfmt_obj(L, &v), s);

  char want[64];
  GcTable* t = kx_tab_new(L, 0, 0);
  settabV(&v, t);
  snprintf(want, sizeof(want), "table: 0x%08x", unsigned(reinterpret_cast<uintptr_t>(t)));
  EXPECT_EQ(obj_text(&v), want);
  GcUdata* ud = kx_udata_new(L, 16, t);
  setudataV(&v, ud);
  snprintf(want, sizeof(want), "userdata: 0x%08x", unsigned(reinterpret_cast<uintptr_t>(uddata(ud))));
  EXPECT_EQ(obj_text(&v), want);
  setlightudV(&v, nullptr);
  EXPECT_EQ(obj_text(&v), "userdata: NULL");
  setlightudV(&v, reinterpret_cast<void*>(0xabc));
  EXPECT_EQ(obj_text(&v), "userdata: 0x00000abc");
  setthreadV(&v, L);
  snprintf(want, sizeof(want), "thread: 0x%08x", unsigned(reinterpret_cast<uintptr_t>(L)));
  EXPECT_EQ(obj_text(&v), want);

  GcFunc* fn = kx_func_newC(L, 0, t);
  setfuncV(&v, fn);
  snprintf(want, sizeof(want), "function: 0x%08x", unsigned(reinterpret_cast<uintptr_t>(fn)));
  EXPECT_EQ(obj_text(&v), want);
  fn->ffid = 19;
  EXPECT_EQ(obj_text(&v), "function: builtin#19");
}

TEST_F(StrFmt, PushFormattedString) {
  int32_t base = savestack(L, L->top);
  Value* top = L->top;
  const char* s = kx_strfmt_pushf(L, "%s=%d|%5d|%-3u|%x|%X|%o|%%|%c", "x", -42, 7, 3u, 255u, 255u, 8u, 'z');
  EXPECT_STREQ(s, "x=-42|    7|3  |ff|FF|10|%|z");
  ASSERT_EQ(L->top, top + 1);
  EXPECT_TRUE(tv_isstr(top));
  EXPECT_EQ(strdata(strV(top)), s);
  // Floating conversions always write the default number text; strings are copied plainly.
  EXPECT_STREQ(kx_strfmt_pushf(L, "%.3f|%e|%g", 1.0 / 3, 0.1, 1e300), "0.33333333333333|0.1|1e+300");
  EXPECT_STREQ(kx_strfmt_pushf(L, "%10s|%q|%s", "ab", "a\"b\n", static_cast<const char*>(nullptr)),
               "ab|a\"b\n|(null)");
  EXPECT_STREQ(kx_strfmt_pushf(L, "%p %p", static_cast<void*>(nullptr), reinterpret_cast<void*>(0x10)),
               "NULL 0x00000010");
  // An invalid conversion writes "?" and takes no argument.
  EXPECT_STREQ(kx_strfmt_pushf(L, "%y%d%", 5), "?5?");
  EXPECT_STREQ(kx_strfmt_pushf(L, ""), "");
  EXPECT_EQ(L->top, top + 6);
  // Pushing grows the stack when it is full.
  for (int i = 0; i < 200; i++) kx_strfmt_pushf(L, "%d", i);
  top = restorestack(L, base);
  EXPECT_EQ(L->top, top + 206);
  EXPECT_STREQ(strdata(strV(L->top - 1)), "199");
  EXPECT_STREQ(strdata(strV(top + 6)), "0");
  EXPECT_STREQ(strdata(strV(top)), "x=-42|    7|3  |ff|FF|10|%|z");
}

// Random doubles of every magnitude, subnormals included, against the reference (in the "C" locale,
// which this program never changes): the fast path, the exact expansion and every layout must give the
// reference's bytes.
TEST_F(StrFmt, FloatingConversionsMatchReference) {
  std::mt19937_64 rng(31337);
  const char* fixed[] = {"%.14g", "%.17g", "%e", "%f", "%a"};
  const char* flags[] = {"", "-", "+", " ", "0", "#", "+0", "#-"};
  const char convs[] = "aAeEfFgG";
  char ref[KX_STRFMT_MAXBUF_NUM + 8], ours[KX_STRFMT_MAXBUF_NUM], fmt[32];
  int mismatches = 0;
  auto check = [&](const char* f, double x) {
    snprintf(ref, sizeof(ref), f, x);
    char* e = kx_strfmt_wfnum(nullptr, parse_one(f), x, ours);
    if (std::string(ours, e) != ref && ++mismatches < 10) ADD_FAILURE() << f << " of " << std::hexfloat << x;
  };
  for (int i = 0; i < 100000;) {
    uint64_t b = rng();
    if (i % 5 == 1) b &= 0x800fffffffffffffull;                                           // subnormal
    if (i % 5 == 2) b = (b & 0x800fffffffffffffull) | (uint64_t(rng() % 120 + 963) << 52);  // near 1
    if (i % 5 == 3) b = (b & 0x800fffffffffffffull) | (uint64_t(2046 - rng() % 8) << 52);    // huge
    double x = num_of(b);
    if (x != x) continue;
    i++;
    for (const char* f : fixed) check(f, x);
    if (i % 5 == 0) {
      int prec = rng() % 8 == 0 ? int(rng() % 100) : int(rng() % 20);
      snprintf(fmt, sizeof(fmt), "%%%s%d.%d%c", flags[rng() % 8], int(rng() % 30), prec, convs[rng() % 8]);
      check(fmt, x);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
