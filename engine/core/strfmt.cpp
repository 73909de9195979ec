// Format descriptors and the conversions other than floating point: integers, characters, strings,
// quoted strings, pointers, the default text of any value and the engine of lua_pushfstring.
#include "core/strfmt.h"

#include "core/func.h"
#include "core/state.h"
#include "core/str.h"

// ---- Format strings --------------------------------------------------------------------------------

namespace {

// Kind, variant and case flag of a conversion letter; 0 for any other byte.
StrFormat conv_letter(uint32_t c) {
  switch (c) {
    case 'd': case 'i': return KX_STRFMT_INT;
    case 'u': return KX_STRFMT_UINT | KX_STRFMT_VDEC;
    case 'o': return KX_STRFMT_UINT | KX_STRFMT_VOCT;
    case 'x': return KX_STRFMT_UINT | KX_STRFMT_VHEX;
    case 'X': return KX_STRFMT_UINT | KX_STRFMT_VHEX | KX_STRFMT_F_UPPER;
    case 'a': return KX_STRFMT_NUM | KX_STRFMT_VFMT_A;
    case 'A': return KX_STRFMT_NUM | KX_STRFMT_VFMT_A | KX_STRFMT_F_UPPER;
    case 'e': return KX_STRFMT_NUM | KX_STRFMT_VFMT_E;
    case 'E': return KX_STRFMT_NUM | KX_STRFMT_VFMT_E | KX_STRFMT_F_UPPER;
    case 'f': return KX_STRFMT_NUM | KX_STRFMT_VFMT_F;
    case 'F': return KX_STRFMT_NUM | KX_STRFMT_VFMT_F | KX_STRFMT_F_UPPER;
    case 'g': return KX_STRFMT_NUM | KX_STRFMT_VFMT_G;
    case 'G': return KX_STRFMT_NUM | KX_STRFMT_VFMT_G | KX_STRFMT_F_UPPER;
    case 'c': return KX_STRFMT_CHAR;
    case 's': return KX_STRFMT_STR;
    case 'q': return KX_STRFMT_STR | KX_STRFMT_VQUOTED;
    case 'p': return KX_STRFMT_PTR;
    default: return 0;
  }
}

inline bool is_digit(uint32_t c) { return c - '0' < 10u; }

// Up to two decimal digits at *pp; false when a third one follows.
bool parse_2digits(const uint8_t** pp, const uint8_t* e, uint32_t* v) {
  const uint8_t* p = *pp;
  *v = 0;
  for (int32_t i = 0; i < 2 && p < e && is_digit(*p); i++) *v = *v * 10 + (*p++ - '0');
  *pp = p;
  return !(p < e && is_digit(*p));
}

// The conversion starting at the '%' at p; the state's literal becomes its text.
StrFormat parse_conversion(FormatState* fs, const uint8_t* p) {
  const uint8_t *start = p++, *e = fs->e;
  StrFormat sf = 0;
  for (; p < e; p++) {
    if (*p == '-') sf |= KX_STRFMT_F_LEFT;
    else if (*p == '+') sf |= KX_STRFMT_F_PLUS;
    else if (*p == '0') sf |= KX_STRFMT_F_ZERO;
    else if (*p == ' ') sf |= KX_STRFMT_F_SPACE;
    else if (*p == '#') sf |= KX_STRFMT_F_ALT;
    else break;
  }
  uint32_t width, prec;
  bool ok = parse_2digits(&p, e, &width);
  sf |= width << 16;
  if (ok && p < e && *p == '.') {
    p++;
    ok = parse_2digits(&p, e, &prec);
    sf |= (prec + 1) << 24;
  }
  StrFormat conv = ok && p < e ? conv_letter(*p) : 0;
  if (p < e) p++;  // the offending byte belongs to an invalid conversion's text
  fs->p = p;
  fs->len = uint32_t(p - start);
  return conv ? sf | conv : KX_STRFMT_ERR;
}

}  // namespace

StrFormat kx_strfmt_parse(FormatState* fs) {
  const uint8_t *p = fs->p, *e = fs->e, *q = p;
  fs->str = reinterpret_cast<const char*>(p);
  if (p >= e) return KX_STRFMT_EOF;
  while (q < e && *q != '%') q++;
  if (e - q >= 2 && q[1] == '%') {  // "%%" ends a literal with one '%'
    fs->p = q + 2;
    fs->len = uint32_t(q + 1 - p);
    return KX_STRFMT_LIT;
  }
  if (q > p) {
    fs->p = q;
    fs->len = uint32_t(q - p);
    return KX_STRFMT_LIT;
  }
  return parse_conversion(fs, p);
}

// ---- Integers --------------------------------------------------------------------------------------

char* kx_strfmt_wint(char* p, int32_t i) {
  uint32_t u = uint32_t(i);
  if (i < 0) {
    *p++ = '-';
    u = 0 - u;
  }
  char buf[10];
  int32_t n = 0;
  do {
    buf[n++] = char('0' + u % 10);
    u /= 10;
  } while (u);
  while (n) *p++ = buf[--n];
  return p;
}

StrBuf* kx_strfmt_putint(StrBuf* sb, int32_t i) {
  sb->w = kx_strfmt_wint(kx_buf_more(sb, 11), i);
  return sb;
}

namespace {

// The digits of k in the descriptor's base, written backwards ending at end; returns their start.
char* int_digits(char* end, StrFormat sf, uint64_t k) {
  char* q = end;
  uint32_t variant = kx_strfmt_type(sf) == KX_STRFMT_UINT ? kx_strfmt_variant(sf) : KX_STRFMT_VDEC;
  if (variant == KX_STRFMT_VHEX) {
    const char* hex = (sf & KX_STRFMT_F_UPPER) ? "0123456789ABCDEF" : "0123456789abcdef";
    do *--q = hex[k & 15]; while (k >>= 4);
  } else if (variant == KX_STRFMT_VOCT) {
    do *--q = char('0' + (k & 7)); while (k >>= 3);
  } else {
    // Nine digits per 64-bit division, then 32-bit arithmetic.
    while (k >> 32) {
      uint64_t hi = k / 1000000000;
      uint32_t lo = uint32_t(k - hi * 1000000000);
      for (int32_t i = 0; i < 9; i++, lo /= 10) *--q = char('0' + lo % 10);
      k = hi;
    }
    uint32_t k32 = uint32_t(k);
    do *--q = char('0' + k32 % 10); while (k32 /= 10);
  }
  return q;
}

}  // namespace

StrBuf* kx_strfmt_putfxint(StrBuf* sb, StrFormat sf, uint64_t k) {
  char prefix[2];
  uint32_t plen = 0;
  if (kx_strfmt_type(sf) == KX_STRFMT_INT) {
    if (int64_t(k) < 0) {
      k = 0 - k;
      prefix[plen++] = '-';
    } else if (sf & (KX_STRFMT_F_PLUS | KX_STRFMT_F_SPACE)) {
      prefix[plen++] = (sf & KX_STRFMT_F_PLUS) ? '+' : ' ';
    }
  } else if (kx_strfmt_variant(sf) == KX_STRFMT_VHEX && (sf & KX_STRFMT_F_ALT) && k) {
    prefix[plen++] = '0';
    prefix[plen++] = (sf & KX_STRFMT_F_UPPER) ? 'X' : 'x';
  }
  uint32_t prec = kx_strfmt_prec(sf), width = kx_strfmt_width(sf);
  char buf[22];  // the octal digits of 2^64 - 1
  char* end = buf + sizeof(buf);
  char* q = k || prec != 0 ? int_digits(end, sf, k) : end;
  uint32_t nd = uint32_t(end - q);
  uint32_t zeros = prec != ~0u && prec > nd ? prec - nd : 0;
  bool oct_alt = kx_strfmt_type(sf) == KX_STRFMT_UINT && kx_strfmt_variant(sf) == KX_STRFMT_VOCT &&
                 (sf & KX_STRFMT_F_ALT);
  if (oct_alt && zeros == 0 && (nd == 0 || *q != '0')) zeros = 1;
  uint32_t len = plen + zeros + nd;
  bool left = sf & KX_STRFMT_F_LEFT;
  if ((sf & KX_STRFMT_F_ZERO) && prec == ~0u && !left && width > len) {
    zeros += width - len;
    len = width;
  }
  uint32_t pad = width > len ? width - len : 0;
  char* w = kx_buf_more(sb, len + pad);
  if (!left) memset(w, ' ', pad), w += pad;
  memcpy(w, prefix, plen);
  w += plen;
  memset(w, '0', zeros);
  w += zeros;
  memcpy(w, q, nd);
  w += nd;
  if (left) memset(w, ' ', pad), w += pad;
  sb->w = w;
  return sb;
}

StrBuf* kx_strfmt_putfnum_int(StrBuf* sb, StrFormat sf, double x) {
  if (sf == KX_STRFMT_INT && x > -2147483649.0 && x < 2147483648.0) return kx_strfmt_putint(sb, int32_t(x));
  // Out-of-range values and NaN fail both comparisons.
  int64_t k = x >= -9223372036854775808.0 && x < 9223372036854775808.0 ? int64_t(x) : INT64_MIN;
  return kx_strfmt_putfxint(sb, sf, uint64_t(k));
}

StrBuf* kx_strfmt_putfnum_uint(StrBuf* sb, StrFormat sf, double x) {
  uint64_t k;
  if (x >= 9223372036854775808.0 && x < 18446744073709551616.0) k = uint64_t(x);
  else if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) k = uint64_t(int64_t(x));
  else k = uint64_t(INT64_MIN);
  return kx_strfmt_putfxint(sb, sf, k);
}

// ---- Characters, strings, pointers -----------------------------------------------------------------

namespace {

// Writes n bytes at p padded with spaces to the descriptor's width.
StrBuf* put_padded(StrBuf* sb, StrFormat sf, const char* p, uint32_t n) {
  uint32_t width = kx_strfmt_width(sf), pad = width > n ? width - n : 0;
  char* w = kx_buf_more(sb, n + pad);
  if (!(sf & KX_STRFMT_F_LEFT)) memset(w, ' ', pad), w += pad;
  memcpy(w, p, n);
  w += n;
  if (sf & KX_STRFMT_F_LEFT) memset(w, ' ', pad), w += pad;
  sb->w = w;
  return sb;
}

// "0x" and eight hexadecimal digits, or "NULL".
char* wptr(char* p, const void* v) {
  if (!v) {
    memcpy(p, "NULL", 4);
    return p + 4;
  }
  uintptr_t a = reinterpret_cast<uintptr_t>(v);
  *p++ = '0';
  *p++ = 'x';
  for (int32_t i = 28; i >= 0; i -= 4) *p++ = "0123456789abcdef"[(a >> i) & 15];
  return p;
}

}  // namespace

StrBuf* kx_strfmt_putfchar(StrBuf* sb, StrFormat sf, int32_t c) {
  char ch = char(c);
  return put_padded(sb, sf, &ch, 1);
}

StrBuf* kx_strfmt_putfstr(StrBuf* sb, StrFormat sf, const GcString* s) {
  uint32_t len = s->len, prec = kx_strfmt_prec(sf);
  return put_padded(sb, sf, strdata(s), prec < len ? prec : len);
}

StrBuf* kx_strfmt_putquoted(StrBuf* sb, const GcString* s) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(strdata(s));
  const uint8_t* e = p + s->len;
  kx_buf_putchar(sb, '"');
  while (p < e) {
    const uint8_t* run = p;
    while (p < e && *p >= 32 && *p != 127 && *p != '"' && *p != '\\') p++;
    kx_buf_putmem(sb, run, uint32_t(p - run));
    if (p == e) break;
    uint32_t c = *p++;
    char* w = kx_buf_more(sb, 4);
    *w++ = '\\';
    if (c == '"' || c == '\\' || c == '\n') {
      *w++ = char(c);
    } else {
      // Three digits when a digit follows, so that it does not join the escape.
      if (c > 99 || (p < e && is_digit(*p))) *w++ = char('0' + c / 100), *w++ = char('0' + c / 10 % 10);
      else if (c > 9) *w++ = char('0' + c / 10);
      *w++ = char('0' + c % 10);
    }
    sb->w = w;
  }
  return kx_buf_putchar(sb, '"');
}

StrBuf* kx_strfmt_putptr(StrBuf* sb, const void* v) {
  sb->w = wptr(kx_buf_more(sb, 10), v);
  return sb;
}

// ---- Interned results ------------------------------------------------------------------------------

GcString* kx_strfmt_num(lua_State* L, double x) {
  char buf[KX_STRFMT_MAXBUF_G14];
  return kx_str_new(L, buf, kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, x, buf) - buf);
}

GcString* kx_strfmt_int(lua_State* L, int32_t i) {
  char buf[11];
  return kx_str_new(L, buf, kx_strfmt_wint(buf, i) - buf);
}

GcString* kx_strfmt_char(lua_State* L, int32_t c) {
  char ch = char(c);
  return kx_str_new(L, &ch, 1);
}

// A C data object's payload follows its header and 16-bit type id.
constexpr uint32_t CDATA_PAYLOAD_OFFSET = 8;

GcString* kx_strfmt_obj(lua_State* L, const Value* v) {
  if (tv_isstr(v)) return strV(v);
  if (tv_isnum(v)) return kx_strfmt_num(L, v->n);
  if (tv_isnil(v)) return kx_str_new(L, "nil", 3);
  if (tv_isfalse(v)) return kx_str_new(L, "false", 5);
  if (tv_istrue(v)) return kx_str_new(L, "true", 4);
  char buf[32];
  char* p = buf;
  if (tv_isfunc(v) && isffunc(funcV(v))) {
    memcpy(p, "function: builtin#", 18);
    p = kx_strfmt_wint(p + 18, funcV(v)->ffid);
  } else {
    const char* name = kx_obj_typename_of(v);
    size_t n = strlen(name);
    memcpy(p, name, n);
    memcpy(p + n, ": ", 2);
    const void* addr = gcV(v);
    if (tv_isudata(v)) addr = uddata(udataV(v));
    else if (tv_iscdata(v)) addr = reinterpret_cast<const char*>(addr) + CDATA_PAYLOAD_OFFSET;
    else if (tv_islightud(v)) addr = lightudV(v);
    p = wptr(p + n + 2, addr);
  }
  return kx_str_new(L, buf, p - buf);
}

// ---- lua_pushfstring -------------------------------------------------------------------------------

const char* kx_strfmt_pushvf(lua_State* L, const char* fmt, va_list args) {
  StrBuf* sb = kx_buf_tmp(L);
  FormatState fs;
  kx_strfmt_init(&fs, fmt, strlen(fmt));
  for (StrFormat sf; (sf = kx_strfmt_parse(&fs)) != KX_STRFMT_EOF;) {
    switch (kx_strfmt_type(sf)) {
      case KX_STRFMT_LIT: kx_buf_putmem(sb, fs.str, fs.len); break;
      case KX_STRFMT_INT:
        if (sf == KX_STRFMT_INT) kx_strfmt_putint(sb, va_arg(args, int32_t));
        else kx_strfmt_putfxint(sb, sf, uint64_t(int64_t(va_arg(args, int32_t))));
        break;
      case KX_STRFMT_UINT: kx_strfmt_putfxint(sb, sf, va_arg(args, uint32_t)); break;
      case KX_STRFMT_NUM: kx_strfmt_putnum(sb, va_arg(args, double)); break;
      case KX_STRFMT_STR: {
        const char* s = va_arg(args, const char*);
        kx_buf_putcstr(sb, s ? s : "(null)");
        break;
      }
      case KX_STRFMT_CHAR: kx_buf_putchar(sb, va_arg(args, int)); break;
      case KX_STRFMT_PTR: kx_strfmt_putptr(sb, va_arg(args, void*)); break;
      default: kx_buf_putchar(sb, '?'); break;
    }
  }
  GcString* s = kx_buf_tostr(sb);
  setstrV(L->top, s);
  kx_state_incr_top(L);
  return strdata(s);
}

const char* kx_strfmt_pushf(lua_State* L, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const char* s = kx_strfmt_pushvf(L, fmt, args);
  va_end(args);
  return s;
}
