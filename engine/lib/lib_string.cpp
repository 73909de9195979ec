// The string library: byte access, case mapping, repetition, the pattern matcher (find, match,
// gmatch, gsub) and formatting.
#include "lib/lib_string.h"

#include <array>
#include <cstring>

#include "bytecode/bcdump.h"
#include "core/cdata.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "lib/builtins.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/ffid.h"
#include "vm/meta.h"

static inline GcFunc* curr_func(lua_State* L) { return funcV(L->base - 1); }
static inline uint32_t nargs_of(lua_State* L) { return static_cast<uint32_t>(L->top - L->base); }
static inline const uint8_t* ubytes(const GcString* s) { return reinterpret_cast<const uint8_t*>(strdata(s)); }

static inline void push_str(lua_State* L, GcString* s) {
  setstrV(L->top, s);
  kx_state_incr_top(L);
}

// ---- Character classes ----------------------------------------------------------------------------------

enum : uint8_t {
  CT_LOWER = 0x01, CT_UPPER = 0x02, CT_DIGIT = 0x04, CT_HEX = 0x08,
  CT_SPACE = 0x10, CT_PUNCT = 0x20, CT_CNTRL = 0x40, CT_ZERO = 0x80,
};

static constexpr std::array<uint8_t, 256> make_ctype() {
  std::array<uint8_t, 256> t{};
  for (uint32_t c = 0; c < 256; c++) {
    uint8_t m = 0;
    if (c >= 'a' && c <= 'z') m |= CT_LOWER;
    if (c >= 'A' && c <= 'Z') m |= CT_UPPER;
    if (c >= '0' && c <= '9') m |= CT_DIGIT | CT_HEX;
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) m |= CT_HEX;
    if (c == ' ' || (c >= '\t' && c <= '\r')) m |= CT_SPACE;
    if ((c >= 0x21 && c <= 0x2f) || (c >= 0x3a && c <= 0x40) || (c >= 0x5b && c <= 0x60) || (c >= 0x7b && c <= 0x7e))
      m |= CT_PUNCT;
    if (c < 0x20 || c == 0x7f) m |= CT_CNTRL;
    if (c == 0) m |= CT_ZERO;
    t[c] = m;
  }
  return t;
}
static constexpr std::array<uint8_t, 256> ctype = make_ctype();

// The class of each letter, by its low five bits; 0 for letters that name no class.
static constexpr std::array<uint8_t, 32> make_classes() {
  std::array<uint8_t, 32> t{};
  t['a' & 31] = CT_LOWER | CT_UPPER;
  t['c' & 31] = CT_CNTRL;
  t['d' & 31] = CT_DIGIT;
  t['g' & 31] = CT_LOWER | CT_UPPER | CT_DIGIT | CT_PUNCT;
  t['l' & 31] = CT_LOWER;
  t['p' & 31] = CT_PUNCT;
  t['s' & 31] = CT_SPACE;
  t['u' & 31] = CT_UPPER;
  t['w' & 31] = CT_LOWER | CT_UPPER | CT_DIGIT;
  t['x' & 31] = CT_HEX;
  t['z' & 31] = CT_ZERO;
  return t;
}
static constexpr std::array<uint8_t, 32> classes = make_classes();

// Whether byte c matches "%" cl: a class (its upper-case letter the complement), or cl itself.
static inline bool class_match(uint32_t c, uint32_t cl) {
  uint32_t mask = cl - 0x40u < 0x40u ? classes[cl & 31] : 0;
  if (mask == 0) return c == cl;
  bool in = (ctype[c] & mask) != 0;
  return (cl & 0x20) ? in : !in;
}

// ---- byte, char, sub, reverse, lower, upper -------------------------------------------------------------

constexpr int64_t BYTE_MAX_RESULTS = 8000;

// The positions i ... j of byte and sub: negative ones count from the end; then clamped to the string.
static inline void slice_range(uint32_t len, int32_t i, int32_t j, int64_t* from, int64_t* to) {
  int64_t a = i < 0 ? int64_t(len) + i + 1 : i;
  int64_t b = j < 0 ? int64_t(len) + j + 1 : j;
  *from = a < 1 ? 1 : a;
  *to = b > int64_t(len) ? int64_t(len) : b;
}

// An optional integer argument of a fast path: absent or nil gives def; false when it is no number.
static inline bool ff_optint(const Value* base, uint32_t nargs, uint32_t k, int32_t def, int32_t* out) {
  if (k >= nargs || tv_isnil(base + k)) {
    *out = def;
    return true;
  }
  if (!tv_isnum(base + k)) return false;
  *out = kx_lib_num2int(numV(base + k));
  return true;
}

int kx_ff_string_byte(lua_State* L, Value* base, uint32_t nargs) {
  int32_t i, j;
  if (nargs < 1 || !tv_isstr(base) || !ff_optint(base, nargs, 1, 1, &i) || !ff_optint(base, nargs, 2, i, &j))
    return KX_FF_FALLBACK;
  const GcString* s = strV(base);
  int64_t from, to;
  slice_range(s->len, i, j, &from, &to);
  if (from > to) return 0;
  int64_t n = to - from + 1;
  if (n > BYTE_MAX_RESULTS || n > L->stack_limit - base) return KX_FF_FALLBACK;
  const uint8_t* p = ubytes(s) + from - 1;
  for (int64_t k = 0; k < n; k++) setnumV(base + k, p[k]);
  return static_cast<int>(n);
}

static int kx_ffh_string_byte(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  int32_t i = kx_lib_optint(L, 2, 1);
  int32_t j = kx_lib_optint(L, 3, i);
  int64_t from, to;
  slice_range(s->len, i, j, &from, &to);
  if (from > to) return kx_ffh_results(0);
  int64_t n = to - from + 1;
  if (n > BYTE_MAX_RESULTS) kx_err_caller(L, KX_ERR_SliceTooLong);
  kx_state_checkstack(L, static_cast<uint32_t>(n));
  const uint8_t* p = ubytes(s) + from - 1;
  for (int64_t k = 0; k < n; k++) setnumV(L->top++, p[k]);
  return kx_ffh_results(static_cast<int>(n));
}

int kx_ff_string_char(lua_State* L, Value* base, uint32_t nargs) {
  for (uint32_t k = 0; k < nargs; k++)
    if (!tv_isnum(base + k) || static_cast<uint32_t>(kx_lib_num2int(numV(base + k))) > 255) return KX_FF_FALLBACK;
  kx_gc_check(L);
  base = L->base;
  StrBuf* sb = kx_buf_tmp(L);
  char* w = kx_buf_more(sb, nargs);
  for (uint32_t k = 0; k < nargs; k++) w[k] = static_cast<char>(kx_lib_num2int(numV(base + k)));
  sb->w = w + nargs;
  setstrV(base, kx_buf_tostr(sb));
  return 1;
}

static int kx_ffh_string_char(lua_State* L) {
  uint32_t n = nargs_of(L);
  for (uint32_t k = 1; k <= n; k++)
    if (static_cast<uint32_t>(kx_lib_checkint(L, static_cast<int>(k))) > 255)
      kx_err_arg(L, static_cast<int>(k), KX_ERR_InvalidValue);
  return KX_FFH_RETRY;
}

int kx_ff_string_sub(lua_State* L, Value* base, uint32_t nargs) {
  int32_t j;
  if (nargs < 2 || !tv_isstr(base) || !tv_isnum(base + 1) || !ff_optint(base, nargs, 2, -1, &j))
    return KX_FF_FALLBACK;
  const GcString* s = strV(base);
  int64_t from, to;
  slice_range(s->len, kx_lib_num2int(numV(base + 1)), j, &from, &to);
  if (from > to) {
    setstrV(base, &G(L)->empty_string);
  } else if (from > 1 || to < int64_t(s->len)) {
    kx_gc_check(L);
    base = L->base;
    setstrV(base, kx_str_new(L, strdata(s) + from - 1, static_cast<size_t>(to - from + 1)));
  }
  return 1;
}

static int kx_ffh_string_sub(lua_State* L) {
  kx_lib_checkstr(L, 1);
  kx_lib_checknum(L, 2);
  if (L->base + 2 < L->top && !tv_isnil(L->base + 2)) kx_lib_checknum(L, 3);
  return KX_FFH_RETRY;
}

using StrMap = StrBuf* (*)(StrBuf*, const GcString*);

static int ff_string_map(lua_State* L, Value* base, uint32_t nargs, StrMap map) {
  if (nargs < 1 || !tv_isstr(base)) return KX_FF_FALLBACK;
  const GcString* s = strV(base);
  if (s->len == 0) return 1;
  kx_gc_check(L);
  base = L->base;
  StrBuf* sb = kx_buf_tmp(L);
  setstrV(base, kx_buf_tostr(map(sb, s)));
  return 1;
}

int kx_ff_string_reverse(lua_State* L, Value* base, uint32_t nargs) {
  return ff_string_map(L, base, nargs, kx_buf_putstr_reverse);
}
int kx_ff_string_lower(lua_State* L, Value* base, uint32_t nargs) {
  return ff_string_map(L, base, nargs, kx_buf_putstr_lower);
}
int kx_ff_string_upper(lua_State* L, Value* base, uint32_t nargs) {
  return ff_string_map(L, base, nargs, kx_buf_putstr_upper);
}

// Shared by reverse, lower and upper: the fast path succeeds once the argument is a string.
static int kx_ffh_string_reverse(lua_State* L) {
  kx_lib_checkstr(L, 1);
  return KX_FFH_RETRY;
}

// ---- rep ----------------------------------------------------------------------------------------------------

static void rep_with_sep(StrBuf* sb, const GcString* s, const GcString* sep, int32_t n) {
  uint32_t slen = s->len, seplen = sep->len;
  uint64_t total = uint64_t(slen) * uint32_t(n) + uint64_t(seplen) * uint32_t(n - 1);
  if (total > KX_MAX_BUF) kx_err_mem(sbufL(sb));
  char* w = kx_buf_more(sb, static_cast<uint32_t>(total));
  memcpy(w, strdata(s), slen);
  w += slen;
  while (--n > 0) {
    memcpy(w, strdata(sep), seplen);
    memcpy(w + seplen, strdata(s), slen);
    w += seplen + slen;
  }
  sb->w = w;
}

static int kx_cf_string_rep(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  int32_t n = kx_lib_checkint(L, 2);
  GcString* sep = kx_lib_optstr(L, 3);
  kx_gc_check(L);
  StrBuf* sb = kx_buf_tmp(L);
  if (n > 0) {
    if (sep == nullptr || sep->len == 0 || n == 1) kx_buf_putstr_rep(sb, s, n);
    else rep_with_sep(sb, s, sep, n);
  }
  push_str(L, kx_buf_tostr(sb));
  return 1;
}

// ---- The pattern matcher --------------------------------------------------------------------------------------
//
// Patterns are read up to their first zero byte (string contents are always followed by one). Items
// are interpreted while matching, so a malformed part of a pattern only raises an error when the
// matcher reaches it.

constexpr int32_t PAT_MAXCAPTURES = 32;
constexpr int32_t PAT_MAXDEPTH = 200;
constexpr int32_t CAP_UNFINISHED = -1;
constexpr int32_t CAP_POSITION = -2;

struct MatchState {
  const uint8_t* src_init;
  const uint8_t* src_end;
  lua_State* L;
  int32_t level;  // captures opened so far
  int32_t depth;  // nesting of matching calls in the current attempt
  struct {
    const uint8_t* init;
    int32_t len;  // CAP_UNFINISHED while open, CAP_POSITION for "()"
  } capture[PAT_MAXCAPTURES];
};

static void ms_init(MatchState* ms, lua_State* L, const GcString* s) {
  ms->src_init = ubytes(s);
  ms->src_end = ms->src_init + s->len;
  ms->L = L;
}

static const uint8_t* pat_match(MatchState* ms, const uint8_t* s, const uint8_t* p);

// A nested matching call: counts toward the depth limit of the attempt.
static const uint8_t* pat_nested(MatchState* ms, const uint8_t* s, const uint8_t* p) {
  if (++ms->depth > PAT_MAXDEPTH) kx_err_caller(ms->L, KX_ERR_PatternTooComplex);
  const uint8_t* r = pat_match(ms, s, p);
  ms->depth--;
  return r;
}

// The end of the single-byte class starting at p.
static const uint8_t* pat_class_end(MatchState* ms, const uint8_t* p) {
  uint32_t c = *p++;
  if (c == '%') {
    if (*p == '\0') kx_err_caller(ms->L, KX_ERR_PatternEndsWithPercent);
    return p + 1;
  }
  if (c == '[') {
    if (*p == '^') p++;
    do {  // the first byte is a member even when it is ']'
      if (*p == '\0') kx_err_caller(ms->L, KX_ERR_PatternMissingBracket);
      if (*p++ == '%' && *p != '\0') p++;
    } while (*p != ']');
    return p + 1;
  }
  return p;
}

// Whether c is in the set from '[' at p to its closing ']' at ec.
static bool set_match(uint32_t c, const uint8_t* p, const uint8_t* ec) {
  bool member = true;
  if (*++p == '^') {
    member = false;
    p++;
  }
  for (; p < ec; p++) {
    if (*p == '%') {
      if (class_match(c, *++p)) return member;
    } else if (p[1] == '-' && p + 2 < ec) {
      if (p[0] <= c && c <= p[2]) return member;
      p += 2;
    } else if (*p == c) {
      return member;
    }
  }
  return !member;
}

// Whether c matches the single-byte class p ... ep.
static inline bool single_match(uint32_t c, const uint8_t* p, const uint8_t* ep) {
  switch (*p) {
    case '.': return true;
    case '%': return class_match(c, p[1]);
    case '[': return set_match(c, p, ep - 1);
    default: return *p == c;
  }
}

// The literal byte that a match of the items at p must start with, or -1.
static int32_t pat_literal(const uint8_t* p) {
  uint32_t c = p[0];
  if (c == '\0') return -1;  // the end of the pattern: nothing lies beyond its NUL
  uint32_t d = p[1];
  const uint8_t* q = p + 1;
  if (c == '(' || c == ')' || c == '.' || c == '[' || (c == '$' && d == '\0')) return -1;
  if (c == '%') {
    if (d == '\0' || (d | 0x20) - uint32_t('a') < 26u || d - uint32_t('0') < 10u) return -1;
    c = d;
    q = p + 2;
  }
  return *q == '*' || *q == '?' || *q == '-' ? -1 : static_cast<int32_t>(c);
}

// The byte that the rest of the pattern at p must start with, looking through one capture close;
// -1 when unknown. The repetitions then try only the positions where it is present. Attempts are
// only left out when they could not have raised an error: the close has a capture to close and the
// nesting stays within the limit.
static int32_t pat_next_literal(const MatchState* ms, const uint8_t* p) {
  int32_t nesting = 1;
  if (*p == ')') {
    int32_t l = ms->level - 1;
    while (l >= 0 && ms->capture[l].len != CAP_UNFINISHED) l--;
    if (l < 0) return -1;
    p++;
    nesting = 2;
  }
  return ms->depth + nesting <= PAT_MAXDEPTH ? pat_literal(p) : -1;
}

static const uint8_t* pat_max_expand(MatchState* ms, const uint8_t* s, const uint8_t* p, const uint8_t* ep) {
  ptrdiff_t i = 0;
  while (s + i < ms->src_end && single_match(s[i], p, ep)) i++;
  int32_t next = pat_next_literal(ms, ep + 1);
  for (; i >= 0; i--) {
    if (next >= 0 && (s + i == ms->src_end || s[i] != next)) continue;
    const uint8_t* r = pat_nested(ms, s + i, ep + 1);
    if (r) return r;
  }
  return nullptr;
}

static const uint8_t* pat_min_expand(MatchState* ms, const uint8_t* s, const uint8_t* p, const uint8_t* ep) {
  int32_t next = pat_next_literal(ms, ep + 1);
  for (;; s++) {
    if (next < 0 || (s < ms->src_end && *s == next)) {
      const uint8_t* r = pat_nested(ms, s, ep + 1);
      if (r) return r;
    }
    if (s >= ms->src_end || !single_match(*s, p, ep)) return nullptr;
  }
}

static const uint8_t* pat_open(MatchState* ms, const uint8_t* s, const uint8_t* p, int32_t what) {
  int32_t l = ms->level;
  if (l >= PAT_MAXCAPTURES) kx_err_caller(ms->L, KX_ERR_PatternTooManyCaptures);
  ms->capture[l].init = s;
  ms->capture[l].len = what;
  ms->level = l + 1;
  const uint8_t* r = pat_nested(ms, s, p);
  if (r == nullptr) ms->level--;
  return r;
}

static const uint8_t* pat_close(MatchState* ms, const uint8_t* s, const uint8_t* p) {
  int32_t l = ms->level - 1;
  while (l >= 0 && ms->capture[l].len != CAP_UNFINISHED) l--;
  if (l < 0) kx_err_caller(ms->L, KX_ERR_PatternBadCapture);
  ms->capture[l].len = static_cast<int32_t>(s - ms->capture[l].init);
  const uint8_t* r = pat_nested(ms, s, p);
  if (r == nullptr) ms->capture[l].len = CAP_UNFINISHED;
  return r;
}

// "%b" xy at p: the end of the balanced run at s, or null.
static const uint8_t* pat_balance(MatchState* ms, const uint8_t* s, const uint8_t* p) {
  if (p[0] == '\0' || p[1] == '\0') kx_err_caller(ms->L, KX_ERR_PatternUnbalanced);
  if (s >= ms->src_end || *s != p[0]) return nullptr;
  int32_t open = 1;
  while (++s < ms->src_end) {
    if (*s == p[1]) {
      if (--open == 0) return s + 1;
    } else if (*s == p[0]) {
      open++;
    }
  }
  return nullptr;
}

// A back reference "%d" at s: the end of the repeated text, or null.
static const uint8_t* pat_backref(MatchState* ms, const uint8_t* s, uint32_t d) {
  int32_t l = static_cast<int32_t>(d) - '1';
  if (l < 0 || l >= ms->level || ms->capture[l].len == CAP_UNFINISHED)
    kx_err_caller(ms->L, KX_ERR_PatternBadCaptureIndex);
  // A position capture holds no text to compare with: a reference to it never matches.
  if (ms->capture[l].len == CAP_POSITION) return nullptr;
  size_t len = static_cast<size_t>(ms->capture[l].len);
  if (size_t(ms->src_end - s) < len || memcmp(ms->capture[l].init, s, len) != 0) return nullptr;
  return s + len;
}

// Matches pattern p at subject position s; returns the end of the match or null.
static const uint8_t* pat_match(MatchState* ms, const uint8_t* s, const uint8_t* p) {
  for (;;) {
    switch (*p) {
      case '\0': return s;
      case '(':
        if (p[1] == ')') return pat_open(ms, s, p + 2, CAP_POSITION);
        return pat_open(ms, s, p + 1, CAP_UNFINISHED);
      case ')': return pat_close(ms, s, p + 1);
      case '$':
        if (p[1] == '\0') return s == ms->src_end ? s : nullptr;
        break;
      case '%':
        if (p[1] == 'b') {
          s = pat_balance(ms, s, p + 2);
          if (s == nullptr) return nullptr;
          p += 4;
          continue;
        }
        if (p[1] == 'f') {
          p += 2;
          if (*p != '[') kx_err_caller(ms->L, KX_ERR_PatternFrontierBracket);
          const uint8_t* ep = pat_class_end(ms, p);
          uint32_t prev = s == ms->src_init ? 0 : s[-1];
          uint32_t cur = s < ms->src_end ? *s : 0;
          if (set_match(prev, p, ep - 1) || !set_match(cur, p, ep - 1)) return nullptr;
          p = ep;
          continue;
        }
        if (p[1] - uint32_t('0') < 10u) {
          s = pat_backref(ms, s, p[1]);
          if (s == nullptr) return nullptr;
          p += 2;
          continue;
        }
        break;
    }
    const uint8_t* ep = pat_class_end(ms, p);
    bool m = s < ms->src_end && single_match(*s, p, ep);
    switch (*ep) {
      case '?':
        if (m) {
          const uint8_t* r = pat_nested(ms, s + 1, ep + 1);
          if (r) return r;
        }
        p = ep + 1;
        continue;
      case '+': return m ? pat_max_expand(ms, s + 1, p, ep) : nullptr;
      case '*': return pat_max_expand(ms, s, p, ep);
      case '-': return pat_min_expand(ms, s, p, ep);
      default:
        if (!m) return nullptr;
        s++;
        p = ep;
    }
  }
}

// The class that every match starts with, when the pattern begins with a single-byte class that
// cannot match empty. The search loops skip the positions where an attempt would fail at once.
struct PatStart {
  const uint8_t* p;  // the class, or null when the pattern begins otherwise
  const uint8_t* ep;
  int32_t lit;       // the byte of a class that is one literal byte, else -1
};

// Only called when at least one attempt follows, so a malformed first class raises its error no
// earlier than the attempt would.
static void pat_start(MatchState* ms, const uint8_t* p, PatStart* st) {
  st->p = nullptr;
  // Captures opened first consume nothing; a few of them cannot reach the capture or depth limits.
  for (int32_t opens = 0; *p == '(' && opens < 8; opens++) p += p[1] == ')' ? 2 : 1;
  uint32_t c = p[0];
  if (c == '\0' || c == '(' || c == ')') return;
  uint32_t d = p[1];  // within the pattern: at worst its terminating zero
  if (c == '$' && d == '\0') return;
  if (c == '%' && (d == 'b' || d == 'f' || d - uint32_t('0') < 10u)) return;
  const uint8_t* ep = pat_class_end(ms, p);
  if (*ep == '*' || *ep == '?' || *ep == '-') return;
  st->p = p;
  st->ep = ep;
  st->lit = -1;
  if (c != '.' && c != '[' && c != '%') st->lit = static_cast<int32_t>(c);
  else if (c == '%' && (d - 0x40u >= 0x40u || classes[d & 31] == 0)) st->lit = static_cast<int32_t>(d);
}

// The first position from s on where the starting class matches; null when there is none.
static const uint8_t* pat_skip(const MatchState* ms, const PatStart* st, const uint8_t* s) {
  if (st->lit >= 0) return static_cast<const uint8_t*>(memchr(s, st->lit, size_t(ms->src_end - s)));
  while (s < ms->src_end && !single_match(*s, st->p, st->ep)) s++;
  return s < ms->src_end ? s : nullptr;
}

// One match attempt at s, with fresh captures and depth.
static inline const uint8_t* pat_attempt(MatchState* ms, const uint8_t* s, const uint8_t* p) {
  ms->level = 0;
  ms->depth = 1;
  return pat_match(ms, s, p);
}

// The first match at or after s: its start, with its end in *e; null when there is none.
static const uint8_t* pat_search(MatchState* ms, const uint8_t* s, const uint8_t* p, bool anchor,
                                 const uint8_t** e) {
  PatStart st{};
  if (!anchor) pat_start(ms, p, &st);
  for (;; s++) {
    if (st.p && (s = pat_skip(ms, &st, s)) == nullptr) return nullptr;
    *e = pat_attempt(ms, s, p);
    if (*e) return s;
    if (anchor || s >= ms->src_end) return nullptr;
  }
}

// Capture i of a match from s to e (with no captures, capture 0 is the whole match). Returns its
// bytes and length, or null with the 1-based position for a position capture.
static const uint8_t* pat_capture(MatchState* ms, int32_t i, const uint8_t* s, const uint8_t* e, int32_t* len) {
  if (i >= ms->level) {
    if (i != 0) kx_err_caller(ms->L, KX_ERR_PatternBadCaptureIndex);
    *len = static_cast<int32_t>(e - s);
    return s;
  }
  int32_t l = ms->capture[i].len;
  if (l == CAP_UNFINISHED) kx_err_caller(ms->L, KX_ERR_PatternUnfinishedCapture);
  if (l == CAP_POSITION) {
    *len = static_cast<int32_t>(ms->capture[i].init - ms->src_init) + 1;
    return nullptr;
  }
  *len = l;
  return ms->capture[i].init;
}

static void pat_push_capture(MatchState* ms, int32_t i, const uint8_t* s, const uint8_t* e) {
  int32_t len;
  const uint8_t* p = pat_capture(ms, i, s, e, &len);
  if (p) lua_pushlstring(ms->L, reinterpret_cast<const char*>(p), static_cast<size_t>(len));
  else lua_pushinteger(ms->L, len);
}

// Pushes the captures, or the whole match when there are none and s is given; returns their count.
static int pat_push_captures(MatchState* ms, const uint8_t* s, const uint8_t* e) {
  int32_t n = ms->level == 0 && s ? 1 : ms->level;
  luaL_checkstack(ms->L, n, "too many captures");
  for (int32_t i = 0; i < n; i++) pat_push_capture(ms, i, s, e);
  return n;
}

// ---- find, match, gmatch ------------------------------------------------------------------------------------

static int find_or_match(lua_State* L, bool find) {
  GcString* s = kx_lib_checkstr(L, 1);
  GcString* p = kx_lib_checkstr(L, 2);
  int64_t init = kx_lib_optint(L, 3, 1);
  uint32_t len = s->len;
  if (init < 0) init += int64_t(len) + 1;
  if (init < 1) init = 1;
  if (init - 1 > int64_t(len)) {
    lua_pushnil(L);
    return 1;
  }
  if (find && (lua_toboolean(L, 4) || !kx_str_haspattern(p))) {
    const char* q = kx_str_find(strdata(s) + init - 1, strdata(p), len - size_t(init - 1), p->len);
    if (q) {
      lua_pushinteger(L, q - strdata(s) + 1);
      lua_pushinteger(L, q - strdata(s) + p->len);
      return 2;
    }
  } else {
    MatchState ms;
    ms_init(&ms, L, s);
    const uint8_t* pp = ubytes(p);
    bool anchor = *pp == '^';
    const uint8_t *e, *start = pat_search(&ms, ms.src_init + init - 1, pp + anchor, anchor, &e);
    if (start) {
      if (!find) return pat_push_captures(&ms, start, e);
      lua_pushinteger(L, start - ms.src_init + 1);
      lua_pushinteger(L, e - ms.src_init);
      return pat_push_captures(&ms, nullptr, nullptr) + 2;
    }
  }
  lua_pushnil(L);
  return 1;
}

static int kx_cf_string_find(lua_State* L) { return find_or_match(L, true); }
static int kx_cf_string_match(lua_State* L) { return find_or_match(L, false); }

// The iterator of gmatch; its upvalues are the subject, the pattern and the next position. Upvalues
// that a debugger replaced with other values end the iteration.
static int kx_cf_string_gmatch_aux(lua_State* L) {
  GcFunc* fn = curr_func(L);
  Value* up = fn->c.upvalue;
  if (!tv_isstr(&up[0]) || !tv_isstr(&up[1]) || !tv_isnum(&up[2])) return 0;
  const GcString* s = strV(&up[0]);
  const uint8_t* p = ubytes(strV(&up[1]));
  double next = numV(&up[2]);
  if (!(next >= 0 && next <= double(s->len))) return 0;
  uint32_t pos = static_cast<uint32_t>(next);
  MatchState ms;
  ms_init(&ms, L, s);
  const uint8_t *e, *start = pat_search(&ms, ms.src_init + pos, p, false, &e);
  if (start == nullptr) return 0;
  setnumV(&up[2], double(e - ms.src_init + (e == start)));
  return pat_push_captures(&ms, start, e);
}

static int kx_cf_string_gmatch(lua_State* L) {
  kx_lib_checkstr(L, 1);
  kx_lib_checkstr(L, 2);
  lua_settop(L, 2);
  lua_pushinteger(L, 0);
  kx_lib_pushcc(L, kx_cf_string_gmatch_aux, KX_FFID_gmatch_aux, 3);
  return 1;
}

// ---- gsub ------------------------------------------------------------------------------------------------------

// Output of a string replacement: the temporary buffer, since nothing runs while it is built.
struct GsubText {
  StrBuf* sb;
  const GcString* repl;

  void put(const uint8_t* p, size_t n) { kx_buf_putmem(sb, p, static_cast<uint32_t>(n)); }

  void put_capture(MatchState* ms, uint32_t d, const uint8_t* s, const uint8_t* e) {
    if (d == 0) return put(s, size_t(e - s));
    int32_t len;
    const uint8_t* p = pat_capture(ms, static_cast<int32_t>(d) - 1, s, e, &len);
    if (p) put(p, size_t(len));
    else kx_strfmt_putint(sb, len);
  }

  // The replacement text with its "%" escapes: "%0" to "%9" name captures, "%" and any other byte
  // gives that byte (a lone "%" at the end stays itself).
  void add(MatchState* ms, const uint8_t* s, const uint8_t* e) {
    const uint8_t *r = ubytes(repl), *re = r + repl->len;
    for (;;) {
      const uint8_t* q = static_cast<const uint8_t*>(memchr(r, '%', size_t(re - r)));
      if (q == nullptr || q + 1 == re) break;
      put(r, size_t(q - r));
      uint32_t c = q[1];
      if (c - uint32_t('0') < 10u) put_capture(ms, c - '0', s, e);
      else kx_buf_putchar(sb, static_cast<int>(c));
      r = q + 2;
    }
    put(r, size_t(re - r));
  }
};

// Output of a table or function replacement, which runs code that may itself use the temporary
// buffer: an auxiliary buffer whose pieces live on the stack.
struct GsubCall {
  luaL_Buffer b;
  bool call;

  void put(const uint8_t* p, size_t n) { luaL_addlstring(&b, reinterpret_cast<const char*>(p), n); }

  void add(MatchState* ms, const uint8_t* s, const uint8_t* e) {
    lua_State* L = ms->L;
    if (call) {
      lua_pushvalue(L, 3);
      lua_call(L, pat_push_captures(ms, s, e), 1);
    } else {
      pat_push_capture(ms, 0, s, e);
      lua_gettable(L, 3);
    }
    Value* v = L->top - 1;
    if (!tv_istruecond(v)) {
      L->top--;
      put(s, size_t(e - s));
    } else if (tv_isstr(v) || tv_isnum(v)) {
      luaL_addvalue(&b);
    } else {
      kx_err_callerv(L, KX_ERR_GsubBadReplacement, kx_obj_typename_of(v));
    }
  }
};

// The replacement loop; returns the number of matches. Bytes between matches are copied in runs.
template <typename Out>
static int32_t gsub_run(MatchState* ms, Out* out, const uint8_t* p, int32_t max_n) {
  const uint8_t *src = ms->src_init, *copied = src;  // copied ... src is still to be copied
  bool anchor = *p == '^';
  p += anchor;
  PatStart st{};
  if (max_n > 0 && !anchor) pat_start(ms, p, &st);
  int32_t n = 0;
  while (n < max_n) {
    if (st.p && (src = pat_skip(ms, &st, src)) == nullptr) break;
    const uint8_t* e = pat_attempt(ms, src, p);
    if (e) {
      n++;
      out->put(copied, size_t(src - copied));
      out->add(ms, src, e);
      copied = e;
    }
    if (e && e > src) src = e;
    else if (src < ms->src_end) src++;
    else break;
    if (anchor) break;
  }
  out->put(copied, size_t(ms->src_end - copied));
  return n;
}

static int kx_cf_string_gsub(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  GcString* p = kx_lib_checkstr(L, 2);
  Value* repl = L->base + 2;
  if (repl >= L->top || !(tv_isnum(repl) || tv_isstr(repl) || tv_istab(repl) || tv_isfunc(repl)))
    kx_err_arg(L, 3, KX_ERR_StringFunctionTableExpected);
  int32_t max_n = kx_lib_optint(L, 4, static_cast<int32_t>(s->len) + 1);
  MatchState ms;
  ms_init(&ms, L, s);
  int32_t n;
  if (tv_istab(repl) || tv_isfunc(repl)) {
    GsubCall out;
    out.call = tv_isfunc(repl);
    lua_settop(L, 4);
    luaL_buffinit(L, &out.b);
    n = gsub_run(&ms, &out, ubytes(p), max_n);
    luaL_pushresult(&out.b);
  } else {
    GsubText out{nullptr, kx_lib_checkstr(L, 3)};
    kx_gc_check(L);
    out.sb = kx_buf_tmp(L);
    n = gsub_run(&ms, &out, ubytes(p), max_n);
    push_str(L, n ? kx_buf_tostr(out.sb) : s);
  }
  lua_pushinteger(L, n);
  return 2;
}

// ---- format ------------------------------------------------------------------------------------------------------

// n bytes truncated to the precision and padded to the width.
static void fmt_putbytes(StrBuf* sb, StrFormat sf, const char* p, uint32_t n) {
  uint32_t prec = kx_strfmt_prec(sf), width = kx_strfmt_width(sf);
  if (prec < n) n = prec;
  uint32_t pad = width > n ? width - n : 0;
  bool left = (sf & KX_STRFMT_F_LEFT) != 0;
  char* w = kx_buf_more(sb, n + pad);
  if (!left) memset(w, ' ', pad), w += pad;
  memcpy(w, p, n);
  w += n;
  if (left) memset(w, ' ', pad), w += pad;
  sb->w = w;
}

// %s and %q. Returns true when the argument's "__tostring" was called instead of writing it.
// A 64-bit integer C data argument is formatted as it is.
static bool fmt_int64(lua_State* L, int arg, uint64_t* k) {
  const Value* o = L->base + arg - 1;
  if (!tv_iscdata(o)) return false;
  CdataIntKind kind = kx_cdata_int64(G(L), cdataV(o), k);
  return kind == KX_CINT_I64 || kind == KX_CINT_U64;
}

static bool fmt_putstr(lua_State* L, StrBuf* sb, StrFormat sf, int arg, bool call_tostring) {
  Value* o = L->base + arg - 1;
  GcString* str = nullptr;
  const char* p;
  uint32_t n;
  char num[KX_STRFMT_MAXBUF_G14];
  const Value* mo;
  if (tv_isstr(o)) {
    str = strV(o);
    p = strdata(str);
    n = str->len;
  } else if (tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_BUFFER) {
    StrBufExt* sbx = static_cast<StrBufExt*>(uddata(udataV(o)));
    if (&sbx->sb == sb) kx_err_caller(L, KX_ERR_BufferIntoItself);
    p = sbx->r;
    n = static_cast<uint32_t>(sbx->sb.w - sbx->r);
  } else if (call_tostring && !tv_isnil(mo = kx_meta_lookup(L, o, MM_tostring))) {
    Value mm;
    copyV(&mm, mo);
    kx_state_checkstack(L, 2);
    copyV(L->top, &mm);
    copyV(L->top + 1, L->base + arg - 1);
    L->top += 2;
    lua_call(L, 1, 1);
    copyV(L->base + arg - 1, --L->top);
    sbufsetowner(sb, L);  // the call may have used the buffer from another thread
    return true;
  } else if (tv_isnum(o)) {
    p = num;
    n = static_cast<uint32_t>(kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, numV(o), num) - num);
  } else {
    str = kx_strfmt_obj(L, o);
    p = strdata(str);
    n = str->len;
  }
  if (kx_strfmt_variant(sf) == KX_STRFMT_VQUOTED) kx_strfmt_putquoted(sb, str ? str : kx_str_new(L, p, n));
  else if (sf == KX_STRFMT_STR) kx_buf_putmem(sb, p, n);
  else fmt_putbytes(sb, sf, p, n);
  return false;
}

bool kx_lib_strformat(lua_State* L, StrBuf* sb, int arg, bool call_tostring) {
  GcString* fmt = kx_lib_checkstr(L, arg);
  int nargs = static_cast<int>(nargs_of(L));
  bool called = false;
  FormatState fs;
  kx_strfmt_init(&fs, strdata(fmt), fmt->len);
  for (StrFormat sf; (sf = kx_strfmt_parse(&fs)) != KX_STRFMT_EOF;) {
    uint32_t kind = kx_strfmt_type(sf);
    if (kind == KX_STRFMT_LIT) {
      kx_buf_putmem(sb, fs.str, fs.len);
      continue;
    }
    if (kind == KX_STRFMT_ERR) {
      lua_pushlstring(L, fs.str, fs.len);
      kx_err_callerv(L, KX_ERR_FormatBadOption, strdata(strV(L->top - 1)));
    }
    if (++arg > nargs) kx_err_arg(L, arg, KX_ERR_ValueExpected);
    switch (kind) {
      case KX_STRFMT_INT:
      case KX_STRFMT_UINT: {
        uint64_t k;
        if (fmt_int64(L, arg, &k)) kx_strfmt_putfxint(sb, sf, k);
        else if (kind == KX_STRFMT_INT) kx_strfmt_putfnum_int(sb, sf, kx_lib_checknum(L, arg));
        else kx_strfmt_putfnum_uint(sb, sf, kx_lib_checknum(L, arg));
        break;
      }
      case KX_STRFMT_NUM: kx_strfmt_putfnum(sb, sf, kx_lib_checknum(L, arg)); break;
      case KX_STRFMT_CHAR: kx_strfmt_putfchar(sb, sf, kx_lib_checkint(L, arg)); break;
      case KX_STRFMT_PTR: kx_strfmt_putptr(sb, lua_topointer(L, arg)); break;
      default: called |= fmt_putstr(L, sb, sf, arg, call_tostring); break;
    }
  }
  return called;
}

static int kx_cf_string_format(lua_State* L) {
  kx_gc_check(L);
  StrBuf* sb = kx_buf_tmp(L);
  if (kx_lib_strformat(L, sb, 1, true)) {
    sb = kx_buf_tmp(L);
    kx_lib_strformat(L, sb, 1, false);
  }
  push_str(L, kx_buf_tostr(sb));
  return 1;
}

// ---- Registration --------------------------------------------------------------------------------------------

// The writer of string.dump: appends every block to a buffer.
static int writer_buf(lua_State* L, const void* p, size_t size, void* sb) {
  (void)L;
  kx_buf_putmem(static_cast<StrBuf*>(sb), p, static_cast<uint32_t>(size));
  return 0;
}

static int kx_cf_string_dump(lua_State* L) {
  GcProto* pt = kx_lib_checkLproto(L, 1, true);
  if (pt == nullptr) kx_err_caller(L, KX_ERR_DumpRefused);
  uint32_t flags = 0;
  const Value* mode = L->base + 1;
  if (mode < L->top && tv_isstr(mode)) {
    for (const char* c = strdata(strV(mode)); *c; c++) {
      if (*c == 's') flags |= KX_BCDUMP_F_STRIP;
      if (*c == 'd') flags |= KX_BCDUMP_F_DETERMINISTIC;
    }
  } else if (mode < L->top && tv_istruecond(mode)) {
    flags |= KX_BCDUMP_F_STRIP;
  }
  StrBuf* sb = kx_buf_tmp(L);
  int status = kx_bcwrite(L, pt, writer_buf, sb, flags);
  if (status == LUA_ERRMEM) kx_err_mem(L);
  if (status != 0) kx_err_caller(L, KX_ERR_DumpRefused);
  setstrV(L->top, kx_buf_tostr(sb));
  kx_state_incr_top(L);
  kx_gc_check(L);
  return 1;
}

static constexpr BcBuiltin kx_lib_bc_string[] = {
    {"len", kx_builtins::len.data(), kx_builtins::len.size()},
};

KX_LIBDEF_L(kx_lib_init_string, kx_lib_bc_string, "string");

static const lua_CFunction kx_lib_cf_string[] = {
    kx_ffh_string_byte, kx_ffh_string_char, kx_ffh_string_sub, kx_cf_string_rep, kx_ffh_string_reverse,
    kx_cf_string_dump,
    kx_cf_string_find, kx_cf_string_match, kx_cf_string_gmatch, kx_cf_string_gsub, kx_cf_string_format,
};

extern "C" int luaopen_string(lua_State* L) {
  kx_lib_register(L, LUA_STRLIBNAME, kx_lib_init_string.data(), kx_lib_cf_string);
  GcTable* lib = tabV(L->top - 1);
  lua_createtable(L, 0, 2);
  GcTable* mt = tabV(L->top - 1);
  lua_pushvalue(L, -2);
  lua_setfield(L, -2, "__index");
  mt->nomm = static_cast<uint8_t>(~(1u << MM_index));
  lua_pushliteral(L, "");
  lua_pushvalue(L, -2);
  lua_setmetatable(L, -2);
  lua_pop(L, 2);
  kx_lib_prereg(L, "string.buffer", luaopen_string_buffer, lib);
  return 1;
}
