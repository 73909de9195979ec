// The lexer.
#include "compiler/lex.h"

#include <cstdarg>

#include "core/cdata.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"

// ---- Character classes --------------------------------------------------------------------------------

enum : uint8_t {
  CC_CNTRL = 0x01, CC_SPACE = 0x02, CC_PUNCT = 0x04, CC_DIGIT = 0x08,
  CC_XDIGIT = 0x10, CC_UPPER = 0x20, CC_LOWER = 0x40, CC_IDENT = 0x80,
};

static constexpr uint8_t char_class_of(int c) {
  uint8_t k = 0;
  if (c < 32 || c == 127) k |= CC_CNTRL;
  if ((c >= 9 && c <= 13) || c == 32) k |= CC_SPACE;
  if ((c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126))
    k |= CC_PUNCT;
  if (c >= '0' && c <= '9') k |= CC_DIGIT | CC_XDIGIT | CC_IDENT;
  if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) k |= CC_XDIGIT;
  if (c >= 'A' && c <= 'Z') k |= CC_UPPER | CC_IDENT;
  if (c >= 'a' && c <= 'z') k |= CC_LOWER | CC_IDENT;
  if (c == '_' || c >= 128) k |= CC_IDENT;
  return k;
}

struct CharClassTable {
  uint8_t bits[257];  // indexed by character + 1, so that end of input (-1) has no class
  constexpr CharClassTable() : bits() {
    for (int c = 0; c < 256; c++) bits[c + 1] = char_class_of(c);
  }
};
static constexpr CharClassTable char_class;

static inline bool char_is(int32_t c, uint8_t cls) { return (char_class.bits[c + 1] & cls) != 0; }
static inline bool char_isident(int32_t c) { return char_is(c, CC_IDENT); }
static inline bool char_isdigit(int32_t c) { return char_is(c, CC_DIGIT); }
static inline bool char_isxdigit(int32_t c) { return char_is(c, CC_XDIGIT); }
static inline bool char_isspace(int32_t c) { return char_is(c, CC_SPACE); }
static inline bool char_iscntrl(int32_t c) { return char_is(c, CC_CNTRL); }

// ---- Reserved words and token names -------------------------------------------------------------------

static const char* const token_names[] = {
#define TKSTR1(name) #name,
#define TKSTR2(name, sym) #sym,
    KX_TOKDEF(TKSTR1, TKSTR2)
#undef TKSTR1
#undef TKSTR2
};

void kx_lex_init(lua_State* L) {
  for (uint32_t i = 0; i < KX_TK_RESERVED; i++) {
    GcString* s = kx_str_newz(L, token_names[i]);
    s->gc_marks |= KX_GC_FIXED;
    s->reserved = static_cast<uint8_t>(i + 1);
  }
}

const char* kx_lex_token2str(Lexer* ls, int32_t tok) {
  if (tok > KX_TK_OFS) return token_names[tok - KX_TK_OFS - 1];
  if (char_iscntrl(tok)) return kx_strfmt_pushf(ls->thread, "char(%d)", tok);
  return kx_strfmt_pushf(ls->thread, "%c", tok);
}

void kx_lex_error(Lexer* ls, int32_t tok, ErrorCode code, ...) {
  const char* tokstr = nullptr;
  if (tok == KX_TK_name || tok == KX_TK_string || tok == KX_TK_number) {
    kx_buf_putchar(&ls->text, '\0');
    tokstr = ls->text.b;
  } else if (tok != 0) {
    tokstr = kx_lex_token2str(ls, tok);
  }
  va_list argp;
  va_start(argp, code);
  kx_err_lex(ls->thread, ls->chunk_name, tokstr, ls->line, code, argp);
}

// ---- Reading characters ---------------------------------------------------------------------------------

constexpr size_t MAX_BLOCK = 0x7ffffeff;

static int32_t lex_more(Lexer* ls) {
  size_t size;
  const char* p = ls->reader(ls->thread, ls->reader_data, &size);
  if (p == nullptr || size == 0) return KX_STREAM_EOF;
  if (size > MAX_BLOCK) {
    if (size != ~size_t(0)) kx_err_mem(ls->thread);
    // The block runs to the end of memory.
    size = static_cast<size_t>(0u - reinterpret_cast<uintptr_t>(p));
    if (size > MAX_BLOCK) size = MAX_BLOCK;
    ls->unbounded_input = 1;
  }
  ls->block_end = p + size;
  ls->cursor = p + 1;
  return static_cast<uint8_t>(p[0]);
}

static inline int32_t lex_next(Lexer* ls) {
  return ls->current = ls->cursor < ls->block_end ? static_cast<uint8_t>(*ls->cursor++) : lex_more(ls);
}

static inline void lex_save(Lexer* ls, int32_t c) {
  StrBuf* sb = &ls->text;
  char* w = sb->w;
  if (w == sb->e) w = kx_buf_more2(sb, 1);
  *w = static_cast<char>(c);
  sb->w = w + 1;
}

static inline int32_t lex_savenext(Lexer* ls) {
  lex_save(ls, ls->current);
  return lex_next(ls);
}

static inline bool lex_iseol(const Lexer* ls) { return ls->current == '\n' || ls->current == '\r'; }

// Skips a newline of any form (LF, CR, CR LF, LF CR) and counts it.
static void lex_newline(Lexer* ls) {
  int32_t first = ls->current;
  lex_next(ls);
  if (lex_iseol(ls) && ls->current != first) lex_next(ls);
  if (++ls->line >= 0x7fffff00) kx_lex_error(ls, 0, KX_ERR_TooManyLines);
}

// ---- Numbers --------------------------------------------------------------------------------------------

static void lex_number(Lexer* ls, Value* tv) {
  int32_t exp_letter = 'e', prev = 0;
  // Identifier characters, dots, and a sign right after the exponent letter; "_" separators vanish.
  while (char_isident(ls->current) || ls->current == '.' ||
         ((ls->current == '-' || ls->current == '+') && (prev | 0x20) == exp_letter)) {
    if (ls->current != '_') {
      prev = ls->current;
      lex_save(ls, prev);
      if (sbuflen(&ls->text) == 2 && ls->text.b[0] == '0' && (prev | 0x20) == 'x') exp_letter = 'p';
    }
    lex_next(ls);
  }
  uint32_t len = sbuflen(&ls->text);
  lex_save(ls, '\0');
  ls->text.w--;
  StrScanFmt fmt = kx_strscan_scan(reinterpret_cast<const uint8_t*>(ls->text.b), len, tv,
                                   KX_STRSCAN_OPT_TONUM | KX_STRSCAN_OPT_IMAG | KX_STRSCAN_OPT_LL);
  if (fmt == KX_STRSCAN_NUM) return;
  if (fmt == KX_STRSCAN_ERROR) kx_lex_error(ls, KX_TK_number, KX_ERR_MalformedNumber);
  // 64-bit integer and imaginary literals are C data constants.
  GcCdata* cd;
  if (fmt == KX_STRSCAN_IMAG) {
    double parts[2] = {0.0, tv->n};
    cd = kx_cdata_newconst(ls->thread, KX_CTID_COMPLEX, parts);
  } else {
    cd = kx_cdata_newconst(ls->thread, fmt == KX_STRSCAN_U64 ? KX_CTID_UINT64 : KX_CTID_INT64, &tv->u64);
  }
  setcdataV(tv, cd);
  kx_parse_keepcdata(ls, tv);
}

// ---- Long strings and comments --------------------------------------------------------------------------

// After "[" or "]": skips "=" signs. Returns their count when the same bracket follows, else -count-1.
static int32_t lex_skipeq(Lexer* ls) {
  int32_t bracket = ls->current, count = 0;
  while (lex_savenext(ls) == '=' && count < 0x20000000) count++;
  return ls->current == bracket ? count : -count - 1;
}

// The body of a long string (tv set) or comment (tv null) with sep "=" signs.
static void lex_longstring(Lexer* ls, Value* tv, int32_t sep) {
  lex_savenext(ls);
  if (lex_iseol(ls)) lex_newline(ls);
  for (;;) {
    switch (ls->current) {
      case KX_STREAM_EOF:
        kx_lex_error(ls, KX_TK_eof, tv ? KX_ERR_UnfinishedLongString : KX_ERR_UnfinishedLongComment);
      case ']':
        if (lex_skipeq(ls) == sep) {
          lex_savenext(ls);
          if (tv) {
            uint32_t skip = 2 + static_cast<uint32_t>(sep);
            GcString* s = kx_parse_keepstr(ls, ls->text.b + skip, sbuflen(&ls->text) - 2 * skip);
            setstrV(tv, s);
          }
          return;
        }
        break;
      case '\n':
      case '\r':
        lex_save(ls, '\n');
        lex_newline(ls);
        if (!tv) sbufreset(&ls->text);  // a comment's text is never used
        break;
      default:
        lex_savenext(ls);
        break;
    }
  }
}

// ---- Quoted strings -------------------------------------------------------------------------------------

[[noreturn]] static void lex_badescape(Lexer* ls) { kx_lex_error(ls, KX_TK_string, KX_ERR_InvalidEscape); }

static int32_t lex_hexdigit(Lexer* ls) {
  int32_t c = ls->current;
  if (!char_isxdigit(c)) lex_badescape(ls);
  return char_isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Stores a code point as UTF-8.
static void lex_saveutf8(Lexer* ls, uint32_t c) {
  if (c < 0x80) {
    lex_save(ls, static_cast<int32_t>(c));
    return;
  }
  if (c < 0x800) {
    lex_save(ls, static_cast<int32_t>(0xc0 | (c >> 6)));
  } else {
    if (c < 0x10000) {
      lex_save(ls, static_cast<int32_t>(0xe0 | (c >> 12)));
    } else {
      lex_save(ls, static_cast<int32_t>(0xf0 | (c >> 18)));
      lex_save(ls, static_cast<int32_t>(0x80 | ((c >> 12) & 0x3f)));
    }
    lex_save(ls, static_cast<int32_t>(0x80 | ((c >> 6) & 0x3f)));
  }
  lex_save(ls, static_cast<int32_t>(0x80 | (c & 0x3f)));
}

// "\u{XXX}" after the "u".
static void lex_unicode_escape(Lexer* ls) {
  if (lex_next(ls) != '{') lex_badescape(ls);
  lex_next(ls);
  uint32_t c = 0;
  do {
    c = (c << 4) | static_cast<uint32_t>(lex_hexdigit(ls));
    if (c > 0x10ffff) lex_badescape(ls);
  } while (lex_next(ls) != '}');
  if (c >= 0xd800 && c <= 0xdfff) lex_badescape(ls);
  lex_next(ls);
  lex_saveutf8(ls, c);
}

// One escape sequence; the current character follows the backslash.
static void lex_escape(Lexer* ls) {
  int32_t c = ls->current;
  switch (c) {
    case 'a': c = '\a'; break;
    case 'b': c = '\b'; break;
    case 'f': c = '\f'; break;
    case 'n': c = '\n'; break;
    case 'r': c = '\r'; break;
    case 't': c = '\t'; break;
    case 'v': c = '\v'; break;
    case '\\': case '"': case '\'': break;
    case '\n': case '\r':
      lex_save(ls, '\n');
      lex_newline(ls);
      return;
    case 'x':
      lex_next(ls);
      c = lex_hexdigit(ls) << 4;
      lex_next(ls);
      c |= lex_hexdigit(ls);
      break;
    case 'u':
      lex_unicode_escape(ls);
      return;
    case 'z':
      lex_next(ls);
      while (char_isspace(ls->current)) {
        if (lex_iseol(ls)) lex_newline(ls);
        else lex_next(ls);
      }
      return;
    case KX_STREAM_EOF:
      return;  // the string loop reports it
    default: {
      if (!char_isdigit(c)) lex_badescape(ls);
      int32_t value = 0, digits = 0;
      do {
        value = value * 10 + (ls->current - '0');
        lex_next(ls);
      } while (++digits < 3 && char_isdigit(ls->current));
      if (value > 255) lex_badescape(ls);
      lex_save(ls, value);
      return;
    }
  }
  lex_save(ls, c);
  lex_next(ls);
}

// A quoted string into the text buffer, quotes included. With at_prefix (a line directive's file
// name) an "@" goes in front unless the name starts with "@", "=" or a blank.
static void lex_quoted(Lexer* ls, bool at_prefix) {
  int32_t delim = ls->current;
  lex_savenext(ls);
  if (at_prefix && ls->current != '@' && ls->current != '=' && ls->current != ' ') lex_save(ls, '@');
  while (ls->current != delim) {
    switch (ls->current) {
      case KX_STREAM_EOF:
        kx_lex_error(ls, KX_TK_eof, KX_ERR_UnfinishedString);
      case '\n':
      case '\r':
        kx_lex_error(ls, KX_TK_string, KX_ERR_UnfinishedString);
      case '\\':
        lex_next(ls);
        lex_escape(ls);
        break;
      default:
        lex_savenext(ls);
        break;
    }
  }
  lex_savenext(ls);
}

// ---- Line directives ------------------------------------------------------------------------------------

static void lex_skipblanks(Lexer* ls) {
  while (ls->current == ' ' || ls->current == '\t') lex_next(ls);
}

// After a "#" at the start of a line: "<line> ["file"]". Returns false when no digit follows, so the
// "#" is the length operator.
static bool lex_directive(Lexer* ls) {
  lex_skipblanks(ls);
  if (!char_isdigit(ls->current)) return false;
  int32_t n = 0;
  do {
    if (n > 214748337) kx_lex_error(ls, 0, KX_ERR_BadLineDirective);
    n = n * 10 + (ls->current - '0');
  } while (char_isdigit(lex_next(ls)));
  lex_skipblanks(ls);
  if (ls->current == '"') {
    int32_t line = ls->line;
    sbufreset(&ls->text);
    lex_quoted(ls, true);
    if (ls->line != line) kx_lex_error(ls, '"', KX_ERR_BadLineDirective);
    lua_State* L = ls->thread;
    ls->chunk_name = kx_str_new(L, ls->text.b + 1, sbuflen(&ls->text) - 2);
    setstrV(restorestack(L, ls->chunk_name_slot), ls->chunk_name);
    sbufreset(&ls->text);  // the token being scanned starts after the directive
    lex_skipblanks(ls);
  }
  if (ls->current != KX_STREAM_EOF) {
    if (!lex_iseol(ls)) kx_lex_error(ls, ls->current, KX_ERR_BadLineDirective);
    lex_newline(ls);
  }
  ls->line = n;
  return true;
}

// After a newline: directives on the lines that follow. Returns false when a "#" turned out to be
// the length operator.
static bool lex_directives(Lexer* ls) {
  while (ls->current == '#') {
    lex_next(ls);
    if (!lex_directive(ls)) return false;
  }
  return true;
}

// ---- Tokens ---------------------------------------------------------------------------------------------

// Consumes the current character when it is c.
static inline bool lex_take(Lexer* ls, int32_t c) {
  if (ls->current != c) return false;
  lex_next(ls);
  return true;
}

// A name, a reserved word or a number.
static int32_t lex_word(Lexer* ls, Value* tv) {
  if (char_isdigit(ls->current)) {
    lex_number(ls, tv);
    return KX_TK_number;
  }
  do {
    lex_savenext(ls);
  } while (char_isident(ls->current));
  GcString* s = kx_parse_keepstr(ls, ls->text.b, sbuflen(&ls->text));
  setstrV(tv, s);
  return s->reserved ? KX_TK_OFS + s->reserved : KX_TK_name;
}

// After "--": a long comment, or the rest of the line.
static void lex_comment(Lexer* ls) {
  if (ls->current == '[') {
    int32_t sep = lex_skipeq(ls);
    sbufreset(&ls->text);
    if (sep >= 0) {
      lex_longstring(ls, nullptr, sep);
      sbufreset(&ls->text);
      return;
    }
  }
  while (!lex_iseol(ls) && ls->current != KX_STREAM_EOF) lex_next(ls);
}

// "[" or a long string.
static int32_t lex_bracket(Lexer* ls, Value* tv) {
  int32_t sep = lex_skipeq(ls);
  if (sep >= 0) {
    lex_longstring(ls, tv, sep);
    return KX_TK_string;
  }
  if (sep != -1) kx_lex_error(ls, KX_TK_string, KX_ERR_InvalidLongDelimiter);
  return '[';
}

static int32_t lex_string(Lexer* ls, Value* tv) {
  lex_quoted(ls, false);
  setstrV(tv, kx_parse_keepstr(ls, ls->text.b + 1, sbuflen(&ls->text) - 2));
  return KX_TK_string;
}

// ".", "..", "..." or a number that starts with its point.
static int32_t lex_dot(Lexer* ls, Value* tv) {
  if (lex_savenext(ls) == '.') {
    if (lex_next(ls) == '.') {
      lex_next(ls);
      return KX_TK_dots;
    }
    return KX_TK_concat;
  }
  if (!char_isdigit(ls->current)) return '.';
  lex_number(ls, tv);
  return KX_TK_number;
}

// The two-character token tok when the current character is second, else the character c.
static int32_t lex_pair(Lexer* ls, int32_t c, int32_t second, int32_t tok) { return lex_take(ls, second) ? tok : c; }

// An operator of one to three characters that starts with c (already consumed), or c itself.
static int32_t lex_operator(Lexer* ls, int32_t c) {
  switch (c) {
    case '-': return lex_pair(ls, c, '>', KX_TK_arrow);
    case '=': return lex_pair(ls, c, '=', KX_TK_eq);
    case ':': return lex_pair(ls, c, ':', KX_TK_label);
    case '!': return lex_pair(ls, c, '=', KX_TK_bne);
    case '&': return lex_pair(ls, c, '&', KX_TK_land);
    case '|': return lex_pair(ls, c, '|', KX_TK_lor);
    case '<':
      if (lex_take(ls, '=')) return KX_TK_le;
      return lex_pair(ls, c, '<', KX_TK_shl);
    case '>':
      if (lex_take(ls, '=')) return KX_TK_ge;
      return lex_pair(ls, c, '>', KX_TK_shr);
    case '?':
      if (lex_take(ls, '.')) return KX_TK_safenav;
      return lex_pair(ls, c, '?', KX_TK_coalesce);
    case '~':
      if (lex_take(ls, '=')) return KX_TK_ne;
      if (!lex_take(ls, '>')) return '~';
      if (!lex_take(ls, '>')) kx_lex_error(ls, '~', KX_ERR_UnexpectedSymbol);
      return KX_TK_sar;
    default:
      return c;
  }
}

static int32_t lex_scan(Lexer* ls, Value* tv) {
  sbufreset(&ls->text);
  // A "#" opened the chunk: it starts line 1 (see kx_lex_start).
  if (ls->line == 0 && ls->token == 0) {
    ls->line = 1;
    if (!lex_directive(ls)) return '#';
    if (!lex_directives(ls)) return '#';
  }
  for (;;) {
    int32_t c = ls->current;
    if (char_isident(c)) return lex_word(ls, tv);
    switch (c) {
      case '\n':
      case '\r':
        lex_newline(ls);
        if (!lex_directives(ls)) return '#';
        continue;
      case ' ': case '\t': case '\v': case '\f':
        lex_next(ls);
        continue;
      case '-':
        lex_next(ls);
        if (!lex_take(ls, '-')) return lex_operator(ls, c);
        lex_comment(ls);
        continue;
      case '[': return lex_bracket(ls, tv);
      case '"': case '\'': return lex_string(ls, tv);
      case '.': return lex_dot(ls, tv);
      case KX_STREAM_EOF: return KX_TK_eof;
      default:
        lex_next(ls);
        return lex_operator(ls, c);
    }
  }
}

void kx_lex_advance(Lexer* ls) {
  // The consumed token's line: scanning the lookahead may have moved past further lines.
  ls->last_line = ls->peek_line >= 0 ? ls->peek_line : ls->line;
  ls->peek_line = -1;
  if (ls->peek_token != KX_TK_eof) {
    ls->token = ls->peek_token;
    copyV(&ls->token_value, &ls->peek_value);
    ls->peek_token = KX_TK_eof;
  } else {
    ls->token = lex_scan(ls, &ls->token_value);
  }
}

int32_t kx_lex_peek(Lexer* ls) {
  if (ls->peek_token == KX_TK_eof) {
    if (ls->peek_line < 0) ls->peek_line = ls->line;
    ls->peek_token = lex_scan(ls, &ls->peek_value);
  }
  return ls->peek_token;
}

bool kx_lex_glue_eq(Lexer* ls) {
  if (ls->current != '=') return false;
  lex_next(ls);
  return true;
}

// ---- Start and end of a load ------------------------------------------------------------------------------

void kx_lex_prepare(lua_State* L, Lexer* ls) {
  ls->func = nullptr;
  ls->thread = L;
  setnilV(&ls->token_value);
  setnilV(&ls->peek_value);
  ls->cursor = ls->block_end = nullptr;
  ls->current = KX_STREAM_EOF;
  ls->token = 0;
  ls->peek_token = KX_TK_eof;
  sbufinit(L, &ls->text);
  ls->line = ls->last_line = 1;
  ls->chunk_name = nullptr;
  ls->chunk_name_slot = 0;
  ls->vars = nullptr;
  ls->vars_capacity = ls->vars_top = 0;
  ls->code = nullptr;
  ls->code_capacity = 0;
  ls->depth = 0;
  ls->unbounded_input = 0;
  ls->two_slot_frames = 0;
  ls->peek_line = -1;
}

[[noreturn]] static void lex_malformed(Lexer* ls) {
  lua_State* L = ls->thread;
  setstrV(L->top, kx_err_str(L, KX_ERR_MalformedBytecode));
  kx_state_incr_top(L);
  kx_err_throw(L, LUA_ERRSYNTAX);
}

constexpr int32_t CHAR_ESC = 27;

bool kx_lex_start(Lexer* ls) {
  lex_next(ls);
  if (ls->current == 0xef && ls->block_end - ls->cursor >= 2 && static_cast<uint8_t>(ls->cursor[0]) == 0xbb &&
      static_cast<uint8_t>(ls->cursor[1]) == 0xbf) {
    ls->cursor += 2;
    if (lex_next(ls) == CHAR_ESC) lex_malformed(ls);
  }
  if (ls->current == '#') {
    lex_next(ls);
    if (ls->current != '!') {
      // The "#" is consumed; line 0 tells the first scan that it stood at the start of line 1.
      ls->line = ls->last_line = 0;
      return false;
    }
    while (!lex_iseol(ls) && ls->current != KX_STREAM_EOF) lex_next(ls);
    if (lex_iseol(ls)) lex_newline(ls);
    if (ls->current == CHAR_ESC) lex_malformed(ls);
  }
  return ls->current == CHAR_ESC;
}

void kx_lex_cleanup(lua_State* L, Lexer* ls) {
  GlobalState* g = G(L);
  kx_mem_freevec(g, ls->vars, ls->vars_capacity);
  kx_mem_freevec(g, ls->code, ls->code_capacity);
  kx_buf_free(g, &ls->text);
  ls->vars = nullptr;
  ls->code = nullptr;
  ls->vars_capacity = ls->code_capacity = 0;
}
