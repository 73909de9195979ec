// The C declaration parser: lexer, constant expressions, declarations, struct layout.
#include "ffi/cparse.h"

#include "core/cdata.h"
#include "core/entry.h"
#include "core/err.h"
#include "core/mem.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"

namespace {

constexpr int32_t CP_EOF_CHAR = -1;

// Kind masks of identifier lookups.
constexpr uint32_t kind_bit(CTKind k) { return 1u << k; }
constexpr uint32_t NAMES_DEFAULT =
    kind_bit(CT_FUNC) | kind_bit(CT_TYPEDEF) | kind_bit(CT_CONSTVAL) | kind_bit(CT_EXTERN) | kind_bit(CT_KW);
constexpr uint32_t NAMES_TAGS = kind_bit(CT_STRUCT) | kind_bit(CT_ENUM) | kind_bit(CT_KW);

// Storage classes (one bit per keyword from typedef to register).
constexpr uint32_t scl_bit(CTToken tok) { return 1u << (tok - CTOK_FIRSTSCL); }
constexpr uint32_t SCL_TYPEDEF = scl_bit(CTOK_TYPEDEF), SCL_EXTERN = scl_bit(CTOK_EXTERN),
                   SCL_STATIC = scl_bit(CTOK_STATIC), SCL_REGISTER = scl_bit(CTOK_REGISTER);

// Declaration-specifier bits (one per keyword from void to inline).
constexpr uint32_t spec_bit(CTToken tok) { return 1u << (tok - CTOK_FIRSTDECL); }
constexpr uint32_t SPEC_VOID = spec_bit(CTOK_VOID), SPEC_BOOL = spec_bit(CTOK_BOOL), SPEC_CHAR = spec_bit(CTOK_CHAR),
                   SPEC_INT = spec_bit(CTOK_INT), SPEC_FP = spec_bit(CTOK_FP), SPEC_LONG = spec_bit(CTOK_LONG),
                   SPEC_LONGLONG = spec_bit(CTOK_LONGLONG), SPEC_SHORT = spec_bit(CTOK_SHORT),
                   SPEC_COMPLEX = spec_bit(CTOK_COMPLEX), SPEC_SIGNED = spec_bit(CTOK_SIGNED),
                   SPEC_UNSIGNED = spec_bit(CTOK_UNSIGNED);
constexpr uint32_t SPEC_TYPE = SPEC_VOID | SPEC_BOOL | SPEC_CHAR | SPEC_INT | SPEC_FP | SPEC_LONG | SPEC_LONGLONG |
                               SPEC_SHORT | SPEC_COMPLEX | SPEC_SIGNED | SPEC_UNSIGNED;

constexpr uint32_t NOALIGN = ~0u;
constexpr uint32_t NOCCONV = ~0u;
constexpr uint32_t MAXSLOTS = 100;
constexpr uint32_t A8 = KX_64 ? 3 : 2;  // alignment of 8-byte scalars

// Attributes collected over a declaration.
struct CPAttr {
  uint32_t qual;
  uint32_t align;       // exponent, or NOALIGN
  bool packed;
  uint32_t cconv;       // or NOCCONV
  uint32_t regparm;
  bool sseregparm;
  uint32_t mode_size;   // machine mode: element bytes (0: none), floating, vector length
  bool mode_fp;
  uint32_t mode_vlen;
  uint32_t vector_size; // 0: none
  GcString* redir;      // asm("name")
};

// One modifier of a declarator: a pointer, an array or a function, with its entry fields.
struct CPSlot {
  uint32_t info;
  uint32_t size;
  uint16_t sib;
};

// A declaration: the specifiers and the declarator's modifiers from the outermost to the innermost.
struct CPDecl {
  CTypeID base;
  uint32_t specbits;
  uint32_t sizecode;
  uint32_t scl;
  CPAttr attr;
  GcString* name;
  uint32_t nslots;
  CPSlot slot[MAXSLOTS];
};

// ---- Errors ---------------------------------------------------------------------------------------------------

const char* tokname(int32_t tok, char* buf) {
  static const char* const names[] = {"<identifier>", "<string>", "<integer>", "<eof>", "||", "&&",
                                      "==", "!=", "<=", ">=", "<<", ">>", "->"};
  if (tok >= CTOK_IDENT && tok <= CTOK_DEREF) return names[tok - CTOK_IDENT];
  buf[0] = static_cast<char>(tok);
  buf[1] = 0;
  return buf;
}

// The text of a token for " near '%s'": the source text of the current token, else its name.
const char* toktext(CParser* cp, int32_t tok, char* buf) {
  if (tok == cp->token) {
    if (cp->param_token) return "$";
    if (tok == CTOK_IDENT || tok == CTOK_STRING || tok == CTOK_INTEGER || tok > CTOK_DEREF) {
      kx_buf_putchar(&cp->text, 0);
      cp->text.w--;
      return cp->text.b;
    }
  }
  return tokname(tok, buf);
}

[[noreturn]] void cp_errmsg(CParser* cp, int32_t near_tok, ErrorCode code, ...) {
  lua_State* L = cp->L;
  va_list args;
  va_start(args, code);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), args);
  va_end(args);
  if (near_tok) {
    char buf[2];
    msg = kx_strfmt_pushf(L, kx_err_text(KX_ERR_SyntaxNear), msg, toktext(cp, near_tok, buf));
  }
  if (cp->line >= 2) msg = kx_strfmt_pushf(L, "%s at line %d", msg, static_cast<int32_t>(cp->line));
  kx_err_callermsg(L, msg);
}

[[noreturn]] void cp_err(CParser* cp, ErrorCode code) { cp_errmsg(cp, cp->token, code); }

[[noreturn]] void cp_err_expected(CParser* cp, int32_t tok) {
  char buf[2];
  cp_errmsg(cp, cp->token, KX_ERR_TokenExpected, tokname(tok, buf));
}

[[noreturn]] void cp_err_type(CParser* cp, ErrorCode code, CTypeID id) {
  cp_errmsg(cp, cp->token, code, strdata(kx_ctype_repr(cp->L, id, nullptr)));
}

void cp_enter(CParser* cp) {
  if (++cp->depth > CPARSE_MAXDEPTH) cp_err(cp, KX_ERR_TooManySyntaxLevels);
}

// ---- Characters ----------------------------------------------------------------------------------------------

inline bool char_isident(int32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c >= 128;
}
inline bool char_isdigit(int32_t c) { return c >= '0' && c <= '9'; }
inline bool char_isnewline(int32_t c) { return c == '\n' || c == '\r'; }

// Advances one character; a backslash before a line break continues the line.
inline int32_t cp_get(CParser* cp) {
  for (;;) {
    if (cp->cursor >= cp->end) return cp->ch = CP_EOF_CHAR;
    int32_t c = static_cast<uint8_t>(*cp->cursor++);
    if (c != '\\' || cp->cursor >= cp->end || !char_isnewline(*cp->cursor)) return cp->ch = c;
    char nl = *cp->cursor++;
    if (cp->cursor < cp->end && char_isnewline(*cp->cursor) && *cp->cursor != nl) cp->cursor++;
    cp->line++;
  }
}

inline void cp_save(CParser* cp, int32_t c) {
  StrBuf* sb = &cp->text;
  if (sb->w < sb->e) *sb->w++ = static_cast<char>(c);
  else kx_buf_putchar(sb, c);
}
inline int32_t cp_savenext(CParser* cp) {
  cp_save(cp, cp->ch);
  return cp_get(cp);
}

// A line break of one or two characters (CR LF and LF CR count once).
void cp_newline(CParser* cp) {
  int32_t c = cp->ch;
  cp_get(cp);
  if (char_isnewline(cp->ch) && cp->ch != c) cp_get(cp);
  cp->line++;
}

// ---- Tokens -------------------------------------------------------------------------------------------------

int32_t lex_ident(CParser* cp) {
  do cp_savenext(cp);
  while (char_isident(cp->ch));
  cp->str = kx_str_new(cp->L, cp->text.b, sbuflen(&cp->text));
  CTypeEntry* ct;
  cp->entry = kx_ctype_getname(cp->tab, &ct, cp->str, cp->name_kinds);
  if (ctype_kind(ct->info) == CT_KW && cp->entry) return static_cast<int32_t>(ctype_cid(ct->info));
  return CTOK_IDENT;
}

int32_t lex_integer(CParser* cp) {
  do cp_savenext(cp);
  while (char_isident(cp->ch));
  Value v;
  StrScanFmt fmt = kx_strscan_scan(reinterpret_cast<const uint8_t*>(cp->text.b), sbuflen(&cp->text), &v,
                                   KX_STRSCAN_OPT_C);
  if (fmt == KX_STRSCAN_INT) {
    cp->value = {v.w.lo, CTID_INT32};
  } else if (fmt == KX_STRSCAN_U32) {
    cp->value = {v.w.lo, CTID_UINT32};
  } else {
    if (!(cp->mode & CPARSE_SKIP)) {
      cp->token = CTOK_INTEGER;
      cp_err(cp, KX_ERR_MalformedNumber);
    }
    cp->value = {0, CTID_INT32};
  }
  return CTOK_INTEGER;
}

inline int32_t hexdigit(int32_t c) {
  if (char_isdigit(c)) return c - '0';
  c |= 0x20;
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One character of a literal after a backslash.
int32_t lex_escape(CParser* cp) {
  int32_t c = cp_get(cp);
  switch (c) {
    case 'a': c = '\a'; break;
    case 'b': c = '\b'; break;
    case 'e': c = 27; break;
    case 'f': c = '\f'; break;
    case 'n': c = '\n'; break;
    case 'r': c = '\r'; break;
    case 't': c = '\t'; break;
    case 'v': c = '\v'; break;
    case 'x': {
      uint32_t v = 0;
      for (int32_t d; (d = hexdigit(cp_get(cp))) >= 0;) v = (v << 4) + static_cast<uint32_t>(d);
      return static_cast<int32_t>(v & 0xff);
    }
    case CP_EOF_CHAR:
      return c;
    default:
      if (c >= '0' && c <= '7') {
        int32_t v = c - '0';
        for (int i = 1; i < 3 && cp_get(cp) >= '0' && cp->ch <= '7'; i++) v = (v << 3) + cp->ch - '0';
        if (cp->ch >= '0' && cp->ch <= '7') cp_get(cp);
        return v & 0xff;
      }
  }
  cp_get(cp);
  return c;
}

int32_t lex_literal(CParser* cp) {
  int32_t delim = cp->ch;
  cp_get(cp);
  while (cp->ch != delim) {
    if (cp->ch == CP_EOF_CHAR) {
      cp->token = CTOK_EOF;
      cp_err(cp, KX_ERR_UnfinishedString);
    }
    if (cp->ch == '\\') cp_save(cp, lex_escape(cp));
    else cp_savenext(cp);
  }
  cp_get(cp);
  if (delim == '"') {
    cp->str = kx_str_new(cp->L, cp->text.b, sbuflen(&cp->text));
    return CTOK_STRING;
  }
  if (sbuflen(&cp->text) != 1) cp_err_expected(cp, '\'');
  cp->value = {static_cast<uint32_t>(static_cast<int8_t>(cp->text.b[0])), CTID_INT32};
  return CTOK_INTEGER;
}

// $: the next argument of the calling function.
int32_t lex_param(CParser* cp) {
  cp->param_token = true;
  cp->token = '$';
  cp_get(cp);
  if (char_isident(cp->ch) || cp->ch == '$') cp_err(cp, KX_ERR_SyntaxError);
  lua_State* L = cp->L;
  if (cp->param_next > cp->param_count) cp_err(cp, KX_ERR_FfiTypeParamCount);
  int32_t narg = cp->param_next++;
  const Value* o = L->base + narg - 1;
  if (tv_isstr(o)) {
    cp->str = strV(o);
    CTypeEntry* ct;
    cp->entry = kx_ctype_getname(cp->tab, &ct, cp->str, cp->name_kinds & ~kind_bit(CT_KW));
    return CTOK_IDENT;
  }
  if (tv_isnum(o)) {
    double n = numV(o);
    int64_t i = n > -9.2e18 && n < 9.2e18 ? static_cast<int64_t>(n) : 0;
    cp->value = {static_cast<uint32_t>(i), CTID_INT32};
    return CTOK_INTEGER;
  }
  if (tv_iscdata(o)) {
    GcCdata* cd = cdataV(o);
    cp->str = nullptr;
    cp->entry = cd->ctype_id == CTID_CTYPEID ? *static_cast<uint32_t*>(cdataptr(cd)) : cd->ctype_id;
    return CTOK_IDENT;
  }
  kx_err_argtype(L, narg, "type parameter");
}

void lex_comment(CParser* cp) {
  if (cp->ch == '/') {
    while (cp->ch != CP_EOF_CHAR && !char_isnewline(cp->ch)) cp_get(cp);
    return;
  }
  cp_get(cp);
  for (;;) {
    if (cp->ch == CP_EOF_CHAR) return;
    if (char_isnewline(cp->ch)) {
      cp_newline(cp);
    } else if (cp->ch == '*' && cp_get(cp) == '/') {
      cp_get(cp);
      return;
    } else if (cp->ch != '*') {
      cp_get(cp);
    }
  }
}

// A one- or two-character operator starting with the current character.
int32_t lex_operator(CParser* cp) {
  int32_t c = cp->ch;
  cp_savenext(cp);
  int32_t n = cp->ch, tok = c;
  if (c == '|' && n == '|') tok = CTOK_OROR;
  else if (c == '&' && n == '&') tok = CTOK_ANDAND;
  else if (c == '=' && n == '=') tok = CTOK_EQ;
  else if (c == '!' && n == '=') tok = CTOK_NE;
  else if (c == '<' && n == '=') tok = CTOK_LE;
  else if (c == '>' && n == '=') tok = CTOK_GE;
  else if (c == '<' && n == '<') tok = CTOK_SHL;
  else if (c == '>' && n == '>') tok = CTOK_SHR;
  else if (c == '-' && n == '>') tok = CTOK_DEREF;
  if (tok != c) cp_savenext(cp);
  return tok;
}

int32_t cp_scan(CParser* cp) {
  for (;;) {
    int32_t c = cp->ch;
    if (char_isident(c)) return char_isdigit(c) ? lex_integer(cp) : lex_ident(cp);
    switch (c) {
      case '\n':
      case '\r':
        cp_newline(cp);
        continue;
      case ' ':
      case '\t':
      case '\v':
      case '\f':
        cp_get(cp);
        continue;
      case '"':
      case '\'':
        return lex_literal(cp);
      case '/':
        if (cp_get(cp) == '*' || cp->ch == '/') {
          lex_comment(cp);
          continue;
        }
        cp_save(cp, '/');
        return '/';
      case '$':
        return lex_param(cp);
      case CP_EOF_CHAR:
        return CTOK_EOF;
      default:
        return lex_operator(cp);
    }
  }
}

int32_t cp_next(CParser* cp) {
  sbufreset(&cp->text);
  cp->param_token = false;
  return cp->token = cp_scan(cp);
}

inline bool cp_opt(CParser* cp, int32_t tok) {
  if (cp->token != tok) return false;
  cp_next(cp);
  return true;
}

inline void cp_check(CParser* cp, int32_t tok) {
  if (cp->token != tok) cp_err_expected(cp, tok);
  cp_next(cp);
}

// The next token after a struct, union or enum keyword is looked up among the tags.
void cp_next_tag(CParser* cp) {
  cp->name_kinds = NAMES_TAGS;
  cp_next(cp);
  cp->name_kinds = NAMES_DEFAULT;
}

// Skips the rest of the line (directives).
void cp_skip_line(CParser* cp) {
  while (cp->ch != CP_EOF_CHAR && !char_isnewline(cp->ch)) cp_get(cp);
}

// The identifier-like text of the current token: identifiers and keywords (attribute names).
bool cp_word(CParser* cp, const char** s, uint32_t* len) {
  if (cp->token != CTOK_IDENT && cp->token <= CTOK_DEREF) return false;
  if (cp->param_token) return false;
  *s = cp->text.b;
  *len = sbuflen(&cp->text);
  return true;
}

}  // namespace

// ---- Type helpers -------------------------------------------------------------------------------------------

namespace {

inline uint32_t ilog2(uint32_t n) { return n ? 31 - static_cast<uint32_t>(__builtin_clz(n)) : 0; }

// The alignment exponent of a number of this size: its size, with the i386 rule for 8 and 12 bytes.
uint32_t num_align(uint32_t size) {
  if (size >= 16) return 4;
  if (size == 8) return A8;
  if (size == 12) return 2;
  return ilog2(size);
}

bool cp_isunsigned(CParser* cp, CTypeID id) {
  uint32_t size;
  uint32_t info = kx_ctype_info(cp->tab, id, &size);
  return (ctype_isnum(info) && (info & CTF_UNSIGNED)) || ctype_isptr(info);
}

// The type with qualifiers added: number, void, pointer and array entries carry them in their info (an
// array passes them on to its element), other types get a qualifier attribute.
CTypeID cp_qualify(CParser* cp, CTypeID id, uint32_t qual) {
  if (!qual) return id;
  CTypeTable* tab = cp->tab;
  CTypeEntry* ct = ctype_get(tab, id);
  uint32_t info = ct->info, size = ct->size;
  switch (ctype_kind(info)) {
    case CT_NUM:
    case CT_VOID:
    case CT_PTR:
      return kx_ctype_intern(tab, info | qual, size);
    case CT_ARRAY:
      if (info & (CTF_VECTOR | CTF_COMPLEX)) break;
      id = cp_qualify(cp, ctype_cid(info), qual);
      return kx_ctype_intern(tab, (info & ~CTMASK_CID) | qual | id, size);
    default:
      break;
  }
  return kx_ctype_intern(tab, ctinfo_attr(CTA_QUAL, id), qual);
}

}  // namespace

// ---- Constant expressions -------------------------------------------------------------------------------------

namespace {

void cp_expr_sub(CParser* cp, CPValue* k, int32_t pri);
void cp_expr_unary(CParser* cp, CPValue* k);
CTypeID cp_decl_abstract(CParser* cp);
bool cp_istypedecl(CParser* cp);

void cp_expr_comma(CParser* cp, CPValue* k) {
  do cp_expr_sub(cp, k, 0);
  while (cp_opt(cp, ','));
}

// An integer constant expression.
void cp_expr_kint(CParser* cp, CPValue* k) {
  cp_expr_sub(cp, k, 0);
  uint32_t size;
  uint32_t info = kx_ctype_info(cp->tab, k->id, &size);
  if (!ctype_isnum(info) || (info & CTF_FP) || size > 4) cp_err(cp, KX_ERR_FfiInvalidCType);
}

uint32_t cp_expr_ksize(CParser* cp) {
  CPValue k;
  cp_expr_kint(cp, &k);
  if (static_cast<int32_t>(k.u32) < 0 && !cp_isunsigned(cp, k.id)) cp_err(cp, KX_ERR_FfiTypeSize);
  return k.u32;
}

// A value converted to an integer type of at most 4 bytes: truncated and extended by its signedness.
void cp_cast(CParser* cp, CPValue* k, CTypeID to) {
  uint32_t size;
  uint32_t info = kx_ctype_info(cp->tab, to, &size);
  k->id = to;
  if (!ctype_isnum(info) || (info & CTF_FP) || size > 4) return;
  bool uns = (info & CTF_UNSIGNED) != 0;
  if (info & CTF_BOOL) k->u32 = k->u32 != 0;
  else if (size == 1) k->u32 = uns ? k->u32 & 0xff : static_cast<uint32_t>(static_cast<int8_t>(k->u32));
  else if (size == 2) k->u32 = uns ? k->u32 & 0xffff : static_cast<uint32_t>(static_cast<int16_t>(k->u32));
  k->id = uns ? CTID_UINT32 : CTID_INT32;
}

// A member of a struct, union or enum: a constant gives its value, a field its type with the value 0.
void cp_expr_member(CParser* cp, CPValue* k, bool deref) {
  CTypeTable* tab = cp->tab;
  CTypeEntry* ct = ctype_raw(tab, k->id);
  if (deref) {
    if (!ctype_isptr(ct->info)) cp_err_type(cp, KX_ERR_FfiNotIndexable, k->id);
    ct = ctype_child(tab, ct);
  }
  if (cp->token != CTOK_IDENT || cp->str == nullptr) cp_err_expected(cp, CTOK_IDENT);
  GcString* name = cp->str;
  uint32_t ofs;
  CTypeEntry* f = nullptr;
  if (ctype_isstruct(ct->info) || ctype_isenum(ct->info)) f = kx_ctype_getfield(tab, ct, name, &ofs);
  if (f == nullptr) {
    cp_errmsg(cp, cp->token, KX_ERR_FfiNoMember, strdata(kx_ctype_repr(cp->L, ctype_typeid(tab, ct), nullptr)),
              strdata(name));
  }
  CTypeID fid = ctype_cid(f->info);
  k->u32 = ctype_isconstval(f->info) ? f->size : 0;
  k->id = ctype_isbitfield(f->info) ? CTID_INT32 : fid;
  if (ctype_isconstval(f->info)) cp_cast(cp, k, fid);
  cp_next(cp);
}

void cp_expr_postfix(CParser* cp, CPValue* k) {
  CTypeTable* tab = cp->tab;
  for (;;) {
    if (cp_opt(cp, '[')) {
      CPValue idx;
      cp_expr_comma(cp, &idx);
      cp_check(cp, ']');
      CTypeEntry* ct = ctype_raw(tab, k->id);
      if (!ctype_isptr(ct->info) && !ctype_isarray(ct->info)) cp_err_type(cp, KX_ERR_FfiNotIndexable, k->id);
      k->id = ctype_cid(ct->info);
      k->u32 = 0;
    } else if (cp->token == '.' || cp->token == CTOK_DEREF) {
      bool deref = cp->token == CTOK_DEREF;
      cp_next(cp);
      cp_expr_member(cp, k, deref);
    } else {
      return;
    }
  }
}

void cp_expr_primary(CParser* cp, CPValue* k) {
  if (cp->token == CTOK_INTEGER) {
    *k = cp->value;
    cp_next(cp);
  } else if (cp->token == CTOK_IDENT && cp->str) {
    CTypeEntry* ct = ctype_get(cp->tab, cp->entry);
    if (!cp->entry || !ctype_isconstval(ct->info)) cp_err(cp, KX_ERR_UnexpectedSymbol);
    k->u32 = ct->size;
    cp_cast(cp, k, ctype_cid(ct->info));
    cp_next(cp);
  } else if (cp_opt(cp, '(')) {
    cp_expr_comma(cp, k);
    cp_check(cp, ')');
  } else {
    cp_err(cp, KX_ERR_UnexpectedSymbol);
  }
  cp_expr_postfix(cp, k);
}

// sizeof and __alignof__ of a parenthesised type or of an expression's type.
void cp_expr_sizeof(CParser* cp, CPValue* k, bool is_sizeof) {
  CTypeID id;
  if (cp->token == '(') {
    cp_next(cp);
    if (cp_istypedecl(cp)) {
      id = cp_decl_abstract(cp);
      cp_check(cp, ')');
    } else {
      cp_expr_comma(cp, k);
      cp_check(cp, ')');
      cp_expr_postfix(cp, k);
      id = k->id;
    }
  } else {
    cp_expr_unary(cp, k);
    id = k->id;
  }
  uint32_t size;
  uint32_t info = kx_ctype_info(cp->tab, id, &size);
  if (is_sizeof) {
    if (size == KX_CTSIZE_INVALID) cp_err(cp, KX_ERR_FfiTypeSize);
    k->u32 = size;
  } else {
    k->u32 = 1u << ctype_align(info);
  }
  k->id = CTID_UINT32;
}

void cp_expr_unary(CParser* cp, CPValue* k) {
  cp_enter(cp);
  int32_t tok = cp->token;
  if (tok == '!' || tok == '-' || tok == '+' || tok == '~' || tok == '*' || tok == '&') {
    cp_next(cp);
    cp_expr_unary(cp, k);
    switch (tok) {
      case '!':
        k->u32 = k->u32 == 0;
        k->id = CTID_INT32;
        break;
      case '-': k->u32 = 0u - k->u32; break;
      case '~': k->u32 = ~k->u32; break;
      case '*': {
        CTypeEntry* ct = ctype_raw(cp->tab, k->id);
        if (!ctype_isptr(ct->info)) cp_err_type(cp, KX_ERR_FfiNotIndexable, k->id);
        k->id = ctype_cid(ct->info);
        k->u32 = 0;
        break;
      }
      case '&':
        k->id = kx_ctype_intern(cp->tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | k->id), KX_CTSIZE_PTR);
        k->u32 = 0;
        break;
    }
  } else if (tok == CTOK_SIZEOF || tok == CTOK_ALIGNOF) {
    cp_next(cp);
    cp_expr_sizeof(cp, k, tok == CTOK_SIZEOF);
  } else if (tok == '(') {
    cp_next(cp);
    if (cp_istypedecl(cp)) {
      CTypeID to = cp_decl_abstract(cp);
      cp_check(cp, ')');
      cp_expr_unary(cp, k);
      cp_cast(cp, k, to);
    } else {
      cp_expr_comma(cp, k);
      cp_check(cp, ')');
      cp_expr_postfix(cp, k);
    }
  } else {
    cp_expr_primary(cp, k);
  }
  cp->depth--;
}

int32_t binop_priority(int32_t tok) {
  switch (tok) {
    case '?': return 0;
    case CTOK_OROR: return 1;
    case CTOK_ANDAND: return 2;
    case '|': return 3;
    case '^': return 4;
    case '&': return 5;
    case CTOK_EQ: case CTOK_NE: return 6;
    case '<': case '>': case CTOK_LE: case CTOK_GE: return 7;
    case CTOK_SHL: case CTOK_SHR: return 8;
    case '+': case '-': return 9;
    case '*': case '/': case '%': return 10;
    default: return -1;
  }
}

// k = k op k2. Every operation is defined: unsigned arithmetic wraps, the most negative number divided
// by -1 is itself (remainder 0), shift counts use their low five bits.
void cp_expr_binop(CParser* cp, int32_t op, CPValue* k, const CPValue* k2) {
  bool uns = cp_isunsigned(cp, k->id) || cp_isunsigned(cp, k2->id);
  uint32_t a = k->u32, b = k2->u32;
  int32_t sa = static_cast<int32_t>(a), sb = static_cast<int32_t>(b);
  uint32_t r;
  bool boolean = false;
  switch (op) {
    case CTOK_OROR: r = a || b; boolean = true; break;
    case CTOK_ANDAND: r = a && b; boolean = true; break;
    case '|': r = a | b; break;
    case '^': r = a ^ b; break;
    case '&': r = a & b; break;
    case CTOK_EQ: r = a == b; boolean = true; break;
    case CTOK_NE: r = a != b; boolean = true; break;
    case '<': r = uns ? a < b : sa < sb; boolean = true; break;
    case '>': r = uns ? a > b : sa > sb; boolean = true; break;
    case CTOK_LE: r = uns ? a <= b : sa <= sb; boolean = true; break;
    case CTOK_GE: r = uns ? a >= b : sa >= sb; boolean = true; break;
    case CTOK_SHL: r = a << (b & 31); break;
    case CTOK_SHR: r = uns ? a >> (b & 31) : static_cast<uint32_t>(sa >> (b & 31)); break;
    case '+': r = a + b; break;
    case '-': r = a - b; break;
    case '*': r = a * b; break;
    default:  // '/' and '%'
      if (b == 0) cp_err(cp, KX_ERR_InvalidValue);
      if (uns) r = op == '/' ? a / b : a % b;
      else if (sb == -1) r = op == '/' ? 0u - a : 0;
      else r = static_cast<uint32_t>(op == '/' ? sa / sb : sa % sb);
      break;
  }
  k->u32 = r;
  k->id = boolean || !uns ? CTID_INT32 : CTID_UINT32;
}

void cp_expr_sub(CParser* cp, CPValue* k, int32_t pri) {
  cp_enter(cp);
  cp_expr_unary(cp, k);
  for (;;) {
    int32_t op = cp->token, opri = binop_priority(op);
    if (opri < pri) break;
    cp_next(cp);
    if (op == '?') {  // right-associative
      CPValue k2, k3;
      cp_expr_comma(cp, &k2);
      cp_check(cp, ':');
      cp_expr_sub(cp, &k3, 0);
      *k = k->u32 ? k2 : k3;
      continue;
    }
    CPValue k2;
    cp_expr_sub(cp, &k2, opri + 1);
    cp_expr_binop(cp, op, k, &k2);
  }
  cp->depth--;
}

}  // namespace

// ---- Attributes -----------------------------------------------------------------------------------------------

namespace {

void attr_init(CPAttr* a) {
  memset(a, 0, sizeof(CPAttr));
  a->align = NOALIGN;
  a->cconv = NOCCONV;
}

// A word equal to name, with or without leading and trailing "__".
bool word_is(const char* s, uint32_t len, const char* name) {
  uint32_t n = static_cast<uint32_t>(strlen(name));
  if (len == n + 4 && s[0] == '_' && s[1] == '_' && s[len - 1] == '_' && s[len - 2] == '_') {
    s += 2;
    len -= 4;
  }
  return len == n && memcmp(s, name, n) == 0;
}

// Skips a balanced parenthesised group starting at "(".
void cp_skip_parens(CParser* cp) {
  uint32_t level = 0;
  do {
    if (cp->token == CTOK_EOF) cp_err_expected(cp, ')');
    if (cp->token == '(') level++;
    else if (cp->token == ')') level--;
    cp_next(cp);
  } while (level);
}

uint32_t cp_attr_number(CParser* cp) {
  cp_check(cp, '(');
  CPValue k;
  cp_expr_kint(cp, &k);
  cp_check(cp, ')');
  return k.u32;
}

// mode(...): an optional V and vector length, a size letter and I or F.
void cp_attr_mode(CParser* cp, CPAttr* a) {
  cp_check(cp, '(');
  const char* s;
  uint32_t len;
  if (!cp_word(cp, &s, &len)) cp_err_expected(cp, CTOK_IDENT);
  if (len >= 4 && s[0] == '_' && s[1] == '_' && s[len - 1] == '_' && s[len - 2] == '_') s += 2, len -= 4;
  uint32_t vlen = 0, i = 0;
  if (i < len && s[i] == 'V') {
    i++;
    for (int d = 0; d < 2 && i < len && char_isdigit(s[i]); d++) vlen = vlen * 10 + static_cast<uint32_t>(s[i++] - '0');
  }
  uint32_t size = 0;
  if (i + 2 == len && (s[i + 1] == 'I' || s[i + 1] == 'F')) {
    switch (s[i]) {
      case 'Q': size = 1; break;
      case 'H': size = 2; break;
      case 'S': size = 4; break;
      case 'D': size = 8; break;
      case 'T': size = 16; break;
      case 'O': size = 32; break;
    }
  }
  if (size) {
    a->mode_size = size;
    a->mode_fp = s[i + 1] == 'F';
    a->mode_vlen = vlen;
  }
  cp_next(cp);
  cp_check(cp, ')');
}

// __attribute__((name, name(args), ...)).
void cp_gccattr(CParser* cp, CPAttr* a) {
  cp_next(cp);
  cp_check(cp, '(');
  cp_check(cp, '(');
  while (cp->token != ')') {
    const char* s;
    uint32_t len;
    if (!cp_word(cp, &s, &len)) cp_err_expected(cp, CTOK_IDENT);
    if (word_is(s, len, "aligned")) {
      cp_next(cp);
      a->align = cp->token == '(' ? ilog2(cp_attr_number(cp)) : 4;
    } else if (word_is(s, len, "packed")) {
      cp_next(cp);
      a->packed = true;
    } else if (word_is(s, len, "mode")) {
      cp_next(cp);
      cp_attr_mode(cp, a);
    } else if (word_is(s, len, "vector_size")) {
      cp_next(cp);
      a->vector_size = cp_attr_number(cp);
    } else if (word_is(s, len, "regparm")) {
      cp_next(cp);
      a->regparm = cp_attr_number(cp) & 3;
    } else if (word_is(s, len, "cdecl") || word_is(s, len, "thiscall") || word_is(s, len, "fastcall") ||
               word_is(s, len, "stdcall")) {
      a->cconv = word_is(s, len, "cdecl") ? CTCC_CDECL : word_is(s, len, "thiscall") ? CTCC_THISCALL
                 : word_is(s, len, "fastcall") ? CTCC_FASTCALL : CTCC_STDCALL;
      cp_next(cp);
    } else if (word_is(s, len, "sseregparm")) {
      cp_next(cp);
      a->sseregparm = true;
    } else {
      cp_next(cp);
      if (cp->token == '(') cp_skip_parens(cp);
    }
    if (!cp_opt(cp, ',')) break;
  }
  cp_check(cp, ')');
  cp_check(cp, ')');
}

// __declspec(align(n)); other contents are skipped.
void cp_declspec(CParser* cp, CPAttr* a) {
  cp_next(cp);
  cp_check(cp, '(');
  const char* s;
  uint32_t len;
  if (cp_word(cp, &s, &len) && len == 5 && memcmp(s, "align", 5) == 0) {
    cp_next(cp);
    a->align = ilog2(cp_attr_number(cp));
    cp_check(cp, ')');
    return;
  }
  uint32_t level = 1;
  while (level) {
    if (cp->token == CTOK_EOF) cp_err_expected(cp, ')');
    if (cp->token == '(') level++;
    else if (cp->token == ')') level--;
    cp_next(cp);
  }
}

// asm("name" "name" ...): the symbol name of the declaration.
void cp_asm(CParser* cp, CPAttr* a) {
  cp_next(cp);
  cp_check(cp, '(');
  if (cp->token != CTOK_STRING) cp_err_expected(cp, CTOK_STRING);
  GcString* s = cp->str;
  while (cp_next(cp) == CTOK_STRING) s = kx_buf_cat2str(cp->L, s, cp->str);
  cp_check(cp, ')');
  a->redir = s;
}

// Attributes and qualifiers, anywhere between specifiers and in declarators; qualifiers go to *qual.
void cp_decl_attributes(CParser* cp, CPAttr* a, uint32_t* qual) {
  for (;;) {
    switch (cp->token) {
      case CTOK_CONST: *qual |= CTF_CONST; break;
      case CTOK_VOLATILE: *qual |= CTF_VOLATILE; break;
      case CTOK_RESTRICT:
      case CTOK_EXTENSION:
      case CTOK_PTRSZ:
        break;
      case CTOK_CCDECL: a->cconv = ctype_get(cp->tab, cp->entry)->size; break;
      case CTOK_ASM: cp_asm(cp, a); continue;
      case CTOK_DECLSPEC: cp_declspec(cp, a); continue;
      case CTOK_ATTRIBUTE: cp_gccattr(cp, a); continue;
      default: return;
    }
    cp_next(cp);
  }
}

}  // namespace

// ---- Declarations -----------------------------------------------------------------------------------------

namespace {

CTypeID cp_decl_spec(CParser* cp, CPDecl* decl, uint32_t scl_allowed);
void cp_declarator(CParser* cp, CPDecl* decl);
CTypeID cp_decl_intern(CParser* cp, CPDecl* decl, bool wrap_align);

void cp_push_slot(CParser* cp, CPDecl* decl, uint32_t info, uint32_t size, uint16_t sib) {
  if (decl->nslots >= MAXSLOTS) cp_err(cp, KX_ERR_TooManySyntaxLevels);
  decl->slot[decl->nslots++] = {info, size, sib};
}

bool cp_istypedecl(CParser* cp) {
  int32_t tok = cp->token;
  if ((tok >= CTOK_FIRSTDECL && tok <= CTOK_LASTDECL) || tok == CTOK_STRUCT || tok == CTOK_UNION ||
      tok == CTOK_ENUM || tok == CTOK_ATTRIBUTE || tok == CTOK_DECLSPEC || tok == CTOK_EXTENSION ||
      tok == CTOK_CCDECL || tok == CTOK_PTRSZ)
    return true;
  if (tok != CTOK_IDENT) return false;
  if (cp->str == nullptr) return true;  // a $ type
  return cp->entry && ctype_istypedef(ctype_get(cp->tab, cp->entry)->info);
}

CTypeID cp_decl_abstract(CParser* cp) {
  CPDecl decl;
  cp_decl_spec(cp, &decl, 0);
  uint32_t mode = cp->mode;
  cp->mode = (mode & ~(CPARSE_DIRECT | CPARSE_FIELD)) | CPARSE_ABSTRACT;
  cp_declarator(cp, &decl);
  cp->mode = mode;
  return cp_decl_intern(cp, &decl, true);
}

// Remembers the contents of an entry that existed before the parse, before the parse changes it.
void cp_undo_save(CParser* cp, CTypeID id) {
  if (id >= cp->used_before) return;
  uint32_t rec[5];
  rec[0] = id;
  memcpy(rec + 1, ctype_get(cp->tab, id), sizeof(CTypeEntry));
  kx_buf_putmem(&cp->undo, rec, sizeof(rec));
}

// Parameters of a function declarator, after "(": returns the first parameter entry and whether the
// function takes variable arguments.
CTypeID cp_decl_params(CParser* cp, bool* vararg) {
  CTypeTable* tab = cp->tab;
  CTypeID first = 0, last = 0;
  *vararg = false;
  cp_enter(cp);
  if (cp->token != ')') {
    for (;;) {
      if (cp->token == '.') {
        for (int i = 0; i < 3; i++)
          if (!cp_opt(cp, '.')) cp_err_expected(cp, '.');
        *vararg = true;
        break;
      }
      CPDecl decl;
      cp_decl_spec(cp, &decl, SCL_REGISTER);
      uint32_t mode = cp->mode;
      cp->mode = (mode & ~CPARSE_FIELD) | CPARSE_ABSTRACT | CPARSE_DIRECT;
      cp_declarator(cp, &decl);
      cp->mode = mode;
      CTypeID id = cp_decl_intern(cp, &decl, true);
      CTypeEntry* ct = ctype_raw(tab, id);
      if (ctype_isvoid(ct->info) && first == 0 && decl.name == nullptr && cp->token == ')') break;
      if (ctype_isarray(ct->info) && !(ct->info & (CTF_VECTOR | CTF_COMPLEX))) {
        id = kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | ctype_cid(ct->info)), KX_CTSIZE_PTR);
      } else if (ctype_isfunc(ct->info)) {
        id = kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | id), KX_CTSIZE_PTR);
      }
      CTypeID pid = kx_ctype_new(tab, &ct);
      ct->info = ctinfo(CT_FIELD, id);
      ct->name = decl.name;
      if (last) ctype_get(tab, last)->sib = static_cast<uint16_t>(pid);
      else first = pid;
      last = pid;
      if (!cp_opt(cp, ',')) break;
    }
  }
  cp_check(cp, ')');
  cp->depth--;
  return first;
}

// Array dimension after "[": "?" (variable length), nothing, or a constant expression.
void cp_decl_array(CParser* cp, CPDecl* decl) {
  uint32_t qual = 0;
  cp_decl_attributes(cp, &decl->attr, &qual);
  uint32_t info = ctinfo(CT_ARRAY, 0), size = KX_CTSIZE_INVALID;
  if (cp_opt(cp, '?')) info |= CTF_VLA;
  else if (cp->token != ']') size = cp_expr_ksize(cp);
  cp_check(cp, ']');
  cp_push_slot(cp, decl, info, size, 0);
}

// Whether "(" after the pointers starts a parameter list of an abstract declarator.
bool cp_starts_params(CParser* cp) { return (cp->mode & CPARSE_ABSTRACT) && (cp->token == ')' || cp_istypedecl(cp)); }

// A declarator: pointers, then a nested declarator or a name, then array and function suffixes. Its
// modifiers are added from the outermost inward: the nested declarator's, the suffixes in order,
// then the pointers from the last to the first.
void cp_declarator(CParser* cp, CPDecl* decl) {
  cp_enter(cp);
  uint32_t ptrs[MAXSLOTS];
  uint32_t nptrs = 0;
  while (cp->token == '*' || cp->token == '&' || cp->token == CTOK_ANDAND) {
    uint32_t info = ctinfo(CT_PTR, cp->token == '*' ? 0 : CTF_REF);
    cp_next(cp);
    uint32_t qual = 0;
    cp_decl_attributes(cp, &decl->attr, &qual);
    if (nptrs + decl->nslots >= MAXSLOTS) cp_err(cp, KX_ERR_TooManySyntaxLevels);
    ptrs[nptrs++] = info | qual;
  }
  bool suffix_params = false;
  if (cp->token == '(') {
    cp_next(cp);
    if (cp_starts_params(cp)) {
      suffix_params = true;
    } else {
      cp_declarator(cp, decl);
      cp_check(cp, ')');
    }
  } else if (cp->token == CTOK_IDENT && cp->str) {
    if (!(cp->mode & CPARSE_DIRECT)) cp_err_expected(cp, CTOK_EOF);
    decl->name = cp->str;
    cp_next(cp);
  } else if (!(cp->mode & CPARSE_ABSTRACT)) {
    cp_err_expected(cp, CTOK_IDENT);
  }
  for (;;) {
    if (suffix_params || cp_opt(cp, '(')) {
      suffix_params = false;
      bool vararg;
      CTypeID first = cp_decl_params(cp, &vararg);
      cp_push_slot(cp, decl, ctinfo(CT_FUNC, vararg ? CTF_VARARG : 0), KX_CTSIZE_INVALID, static_cast<uint16_t>(first));
    } else if (cp_opt(cp, '[')) {
      cp_decl_array(cp, decl);
    } else {
      break;
    }
  }
  while (nptrs) cp_push_slot(cp, decl, ptrs[--nptrs], KX_CTSIZE_PTR, 0);
  uint32_t qual = 0;
  cp_decl_attributes(cp, &decl->attr, &qual);  // trailing attributes apply to the declarator
  cp->depth--;
}

// A number type changed by a mode or vector_size attribute.
CTypeID cp_apply_mode(CParser* cp, CPDecl* decl, CTypeID id) {
  CTypeTable* tab = cp->tab;
  CPAttr* a = &decl->attr;
  if (!a->mode_size && !a->vector_size) return id;
  CTypeEntry* ct = ctype_get(tab, id);
  if (!ctype_isnum(ct->info)) cp_err(cp, KX_ERR_FfiInvalidCType);
  uint32_t info = ct->info;
  if (a->mode_size) {
    uint32_t flags = (info & (CTF_UNSIGNED | CTF_QUAL)) | (a->mode_fp ? CTF_FP : 0);
    if (a->mode_fp) flags &= ~CTF_UNSIGNED;
    id = kx_ctype_intern(tab, ctinfo(CT_NUM, flags | ctype_alignflag(num_align(a->mode_size))), a->mode_size);
    if (a->mode_vlen > 1 && !a->vector_size) a->vector_size = a->mode_vlen * a->mode_size;
  }
  if (a->vector_size) {
    uint32_t esize = ctype_get(tab, id)->size;
    uint32_t vsize = a->vector_size;
    if (vsize < esize || vsize % esize) cp_err(cp, KX_ERR_FfiInvalidCType);
    uint32_t align = ilog2(vsize < 16 ? vsize : 16);
    id = kx_ctype_intern(tab, ctinfo(CT_ARRAY, CTF_VECTOR | ctype_alignflag(align) | id), vsize);
  }
  return id;
}

CTypeID cp_intern_array(CParser* cp, const CPSlot& s, CTypeID elem) {
  CTypeTable* tab = cp->tab;
  uint32_t esize;
  uint32_t einfo = kx_ctype_info(tab, elem, &esize);
  if (ctype_isfunc(einfo) || ctype_isref(einfo)) cp_err(cp, KX_ERR_FfiInvalidCType);
  if (esize == KX_CTSIZE_INVALID) cp_err(cp, KX_ERR_FfiTypeSize);
  uint32_t size = s.size;
  if (size != KX_CTSIZE_INVALID) {
    uint64_t total = uint64_t(size) * esize;
    if (total > KX_CTYPE_MAXSIZE) cp_err(cp, KX_ERR_FfiTypeSize);
    size = static_cast<uint32_t>(total);
  }
  uint32_t flags = (s.info & CTF_VLA) | (einfo & CTF_QUAL) | ctype_alignflag(ctype_align(einfo));
  return kx_ctype_intern(tab, ctinfo(CT_ARRAY, flags | elem), size);
}

// The type of a finished declaration, built from the innermost modifier outward.
CTypeID cp_decl_intern(CParser* cp, CPDecl* decl, bool wrap_align) {
  CTypeTable* tab = cp->tab;
  CTypeID id = cp_apply_mode(cp, decl, decl->base);
  id = cp_qualify(cp, id, decl->attr.qual);
  int32_t outer_func = -1;
  for (uint32_t i = 0; i < decl->nslots; i++) {
    if (ctype_isfunc(decl->slot[i].info)) {
      outer_func = static_cast<int32_t>(i);
      break;
    }
  }
  for (uint32_t i = decl->nslots; i-- > 0;) {
    const CPSlot& s = decl->slot[i];
    switch (ctype_kind(s.info)) {
      case CT_PTR:
        if (ctype_isref(ctype_raw(tab, id)->info)) cp_err(cp, KX_ERR_FfiInvalidCType);
        id = kx_ctype_intern(tab, s.info | ctype_alignflag(KX_CTALIGN_PTR) | id, KX_CTSIZE_PTR);
        break;
      case CT_ARRAY:
        id = cp_intern_array(cp, s, id);
        break;
      default: {  // CT_FUNC: every function type is an entry of its own
        uint32_t rinfo = ctype_raw(tab, id)->info;
        if (ctype_isfunc(rinfo) || (ctype_isarray(rinfo) && !(rinfo & (CTF_VECTOR | CTF_COMPLEX))))
          cp_err(cp, KX_ERR_FfiInvalidCType);
        uint32_t info = s.info | id;
        if (static_cast<int32_t>(i) == outer_func) {
          const CPAttr& a = decl->attr;
          if (a.cconv != NOCCONV) info |= a.cconv << CTSHIFT_CCONV;
          info |= a.regparm << CTSHIFT_REGPARM;
          if (a.sseregparm) info |= CTF_SSEREGPARM;
        }
        CTypeEntry* ct;
        id = kx_ctype_new(tab, &ct);
        ct->info = info;
        ct->size = KX_CTSIZE_INVALID;
        ct->sib = s.sib;
        break;
      }
    }
  }
  if (wrap_align && decl->attr.align != NOALIGN) id = kx_ctype_intern(tab, ctinfo_attr(CTA_ALIGN, id), decl->attr.align);
  return id;
}

// ---- Structs, unions and enums ----

// The tag after struct, union or enum (already the current token, looked up among the tags), or a new
// anonymous entry.
CTypeID cp_struct_name(CParser* cp, CPDecl* decl, uint32_t info) {
  CTypeTable* tab = cp->tab;
  uint32_t qual = 0;
  cp_decl_attributes(cp, &decl->attr, &qual);
  decl->attr.qual |= qual;
  CTypeID id = 0;
  if (cp->token == CTOK_IDENT && cp->str == nullptr) {  // a $ type
    id = cp->entry;
    cp_next(cp);
    if ((ctype_get(tab, id)->info ^ info) & (0xfu << CTSHIFT_KIND)) cp_err(cp, KX_ERR_FfiInvalidCType);
  } else if (cp->token == CTOK_IDENT) {
    GcString* name = cp->str;
    CTypeEntry* ct;
    id = kx_ctype_getname(tab, &ct, name, NAMES_TAGS);  // attributes may have come between
    cp_next(cp);
    if (id) {
      CTypeEntry* ct = ctype_get(tab, id);
      uint32_t kindmask = 0xfu << CTSHIFT_KIND | CTF_UNION;
      if ((ct->info & kindmask) != (info & kindmask) || (cp->token == '{' && ct->size != KX_CTSIZE_INVALID))
        cp_errmsg(cp, cp->token, KX_ERR_FfiRedefine, strdata(name));
    } else {
      if ((cp->mode & CPARSE_NOIMPLICIT) && cp->token != '{')
        cp_errmsg(cp, cp->token, KX_ERR_FfiUndeclaredTag, strdata(name));
      CTypeEntry* ct;
      id = kx_ctype_new(tab, &ct);
      ct->info = info;
      ct->size = KX_CTSIZE_INVALID;
      kx_ctype_addname(tab, id, name);
    }
  } else {
    CTypeEntry* ct;
    id = kx_ctype_new(tab, &ct);
    ct->info = info;
    ct->size = KX_CTSIZE_INVALID;
  }
  return id;
}

// Member attributes wait in a field's info until the layout: the alignment attribute, whether there is
// one, and packing. A bit field's width waits in its size.
constexpr uint32_t FIELD_HASALIGN = 1u << 20, FIELD_PACKED = 1u << 21;

// The struct layout, in bits: offsets, bit positions, size and alignment.
void cp_struct_layout(CParser* cp, CTypeID sid, const CPAttr* sattr) {
  CTypeTable* tab = cp->tab;
  uint32_t sinfo = ctype_get(tab, sid)->info;
  bool isunion = (sinfo & CTF_UNION) != 0;
  uint32_t pack = cp->pack[cp->packtop];
  uint64_t bofs = 0, bmaxofs = 0;
  uint32_t maxalign = sattr->align != NOALIGN ? sattr->align : 0;
  uint32_t sflags = 0;
  for (CTypeID id = ctype_get(tab, sid)->sib; id; id = ctype_get(tab, id)->sib) {
    CTypeEntry* ct = ctype_get(tab, id);
    uint32_t info = ct->info;
    if (!ctype_isfield(info) && !(ctype_isattrib(info) && ctype_attrib(info) == CTA_SUBTYPE)) continue;
    CTypeID tid = ctype_cid(info);
    uint32_t sz;
    uint32_t tinfo = kx_ctype_info(tab, tid, &sz);
    if (ctype_isattrib(info) && !ctype_isstruct(tinfo)) continue;  // anonymous enums take no room
    bool isfield = ctype_isfield(info);
    bool bitfield = isfield && ct->size != KX_CTSIZE_INVALID;
    bool mpacked = isfield && (info & FIELD_PACKED);
    bool mhasalign = isfield && (info & FIELD_HASALIGN);
    uint32_t malign = isfield ? ctype_align(info) : 0;
    if (sz >= (1u << 29) || ctype_isvla(tinfo)) {
      bool open_array = sz == KX_CTSIZE_INVALID || ctype_isvla(tinfo);
      if (!ctype_isarray(tinfo) || !open_array || isunion) cp_err(cp, KX_ERR_FfiTypeSize);
      sz = 0;  // a trailing array without a size, or of variable length
    }
    uint32_t natural = ctype_align(tinfo), a = natural;
    if (mpacked || sattr->packed || (mhasalign && malign > a)) a = mhasalign ? malign : 0;
    if (a > pack) a = pack;
    // As the System V ABI has it, an unnamed bit field leaves the struct's alignment alone, and a
    // zero-width one aligns to its type whatever the packing.
    bool unnamed_bits = bitfield && ct->name == nullptr;
    if (bitfield && ct->size == 0) a = natural;
    if (a > maxalign && !unnamed_bits) maxalign = a;
    uint64_t csz = 8ull * sz, amask = (8ull << a) - 1, width;
    if (!bitfield) {
      bofs = (bofs + amask) & ~amask;
      ct->size = static_cast<uint32_t>(bofs >> 3);
      if (isfield) ct->info = ctinfo(CT_FIELD, tid);
      width = csz;
    } else {
      uint32_t w = ct->size;
      if (w == 0 || mhasalign || (!(mpacked || sattr->packed) && (bofs & amask) + w > csz))
        bofs = (bofs + amask) & ~amask;
      if (w == csz && (bofs & amask) == 0) {
        ct->info = ctinfo(CT_FIELD, tid);
        ct->size = static_cast<uint32_t>(bofs >> 3);
      } else {
        uint32_t pos = static_cast<uint32_t>(bofs % csz);
        ct->info = ctinfo(CT_BITFIELD, (tinfo & (CTF_BOOL | CTF_UNSIGNED | CTF_QUAL)) |
                                           (sz << CTSHIFT_BITCSZ) | (w << CTSHIFT_BITBSZ) | (pos << CTSHIFT_BITPOS));
        ct->size = static_cast<uint32_t>((bofs - pos) >> 3);
      }
      width = w;
    }
    if (isunion) bmaxofs = width > bmaxofs ? width : bmaxofs;
    else bofs += width;
    sflags |= tinfo & (CTF_QUAL | CTF_VLA);
  }
  uint64_t amask = (8ull << maxalign) - 1;
  uint64_t bytes = (((isunion ? bmaxofs : bofs) + amask) & ~amask) >> 3;
  if (bytes > KX_CTYPE_MAXSIZE) cp_err(cp, KX_ERR_FfiTypeSize);
  CTypeEntry* st = ctype_get(tab, sid);
  st->info = (sinfo & ~(ctype_alignflag(CTMASK_ALIGN) | CTF_VLA | CTF_QUAL)) | sflags | ctype_alignflag(maxalign);
  st->size = static_cast<uint32_t>(bytes);
}

// A bit-field width after ":", checked against the member's type.
uint32_t cp_bitwidth(CParser* cp, CTypeID tid, bool named) {
  uint32_t size;
  uint32_t info = kx_ctype_info(cp->tab, tid, &size);
  int32_t colon = ':';
  cp_next(cp);
  uint32_t w = cp_expr_ksize(cp);
  bool ok = ctype_isnum(info) && !(info & CTF_FP) && size <= 4 && w <= 8 * size && (!(info & CTF_BOOL) || w <= 1) &&
            (w > 0 || !named);
  if (!ok) cp_errmsg(cp, colon, KX_ERR_InvalidValue);
  return w;
}

// static const members: constants of an integer type.
CTypeID cp_decl_constinit(CParser* cp, CTypeID tid, GcString* name) {
  CTypeTable* tab = cp->tab;
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, tid, &size);
  if (!ctype_isnum(info) || (info & CTF_FP) || size > 4) cp_err(cp, KX_ERR_FfiInvalidCType);
  cp_check(cp, '=');
  CPValue k;
  cp_expr_kint(cp, &k);
  cp_cast(cp, &k, tid);
  CTypeEntry* ct;
  CTypeID id = kx_ctype_new(tab, &ct);
  ct->info = ctinfo(CT_CONSTVAL, CTF_CONST | tid);
  ct->size = k.u32;
  if (name) kx_ctype_addname(tab, id, name);
  return id;
}

// Links an entry at the end of a struct's member chain.
inline void link_member(CTypeTable* tab, CTypeID* last, CTypeID id) {
  ctype_get(tab, *last)->sib = static_cast<uint16_t>(id);
  *last = id;
}

// The members of one member declaration, up to its ";".
void cp_struct_members(CParser* cp, CTypeID sid, CTypeID* last, bool* flexible) {
  CTypeTable* tab = cp->tab;
  if (*flexible) cp_err_expected(cp, '}');
  CPDecl spec;
  cp_decl_spec(cp, &spec, SCL_STATIC);
  if (cp->token == ';') {  // an anonymous struct, union or enum
    CTypeEntry* bt = ctype_raw(tab, spec.base);
    bool agg = spec.base && ctype_isstruct(bt->info) && !(bt->info & CTF_VLA);
    if (!agg && !(spec.base && ctype_isenum(bt->info))) cp_err_expected(cp, CTOK_IDENT);
    CTypeEntry* ct;
    CTypeID id = kx_ctype_new(tab, &ct);
    ct->info = ctinfo_attr(CTA_SUBTYPE, cp_qualify(cp, spec.base, spec.attr.qual));
    link_member(tab, last, id);
    return;
  }
  for (;;) {
    if (*flexible) cp_err_expected(cp, '}');
    CPDecl decl = spec;
    uint32_t mode = cp->mode;
    cp->mode = (mode & ~CPARSE_ABSTRACT) | CPARSE_DIRECT | CPARSE_FIELD;
    if (cp->token == ':') cp->mode |= CPARSE_ABSTRACT;  // a nameless bit field
    cp_declarator(cp, &decl);
    cp->mode = mode;
    CTypeID tid = cp_decl_intern(cp, &decl, false);
    CTypeID id;
    if (decl.scl & SCL_STATIC) {
      id = cp_decl_constinit(cp, tid, decl.name);
    } else {
      uint32_t width = KX_CTSIZE_INVALID;
      if (cp->token == ':') width = cp_bitwidth(cp, tid, decl.name != nullptr);
      else if (decl.name == nullptr) cp_err_expected(cp, CTOK_IDENT);
      uint32_t size;
      uint32_t tinfo = kx_ctype_info(tab, tid, &size);
      if (ctype_isarray(tinfo) && (size == KX_CTSIZE_INVALID || (tinfo & CTF_VLA))) *flexible = true;
      CTypeEntry* ct;
      id = kx_ctype_new(tab, &ct);
      const CPAttr& a = decl.attr;
      ct->info = ctinfo(CT_FIELD, tid | (a.align != NOALIGN ? FIELD_HASALIGN | ctype_alignflag(a.align) : 0) |
                                      (a.packed ? FIELD_PACKED : 0));
      ct->size = width;
      ct->name = decl.name;
    }
    link_member(tab, last, id);
    if (!cp_opt(cp, ',')) break;
  }
  cp_check(cp, ';');
}

CTypeID cp_decl_struct(CParser* cp, CPDecl* decl, uint32_t info) {
  CTypeTable* tab = cp->tab;
  CTypeID sid = cp_struct_name(cp, decl, info);
  if (cp->token != '{') return sid;
  cp_undo_save(cp, sid);
  cp_next(cp);
  cp_enter(cp);
  CTypeID last = sid;
  ctype_get(tab, sid)->sib = 0;
  bool flexible = false;
  while (cp->token != '}') {
    if (cp->token == CTOK_EOF) cp_err_expected(cp, '}');
    if (cp_opt(cp, ';')) continue;
    cp_struct_members(cp, sid, &last, &flexible);
  }
  cp->depth--;
  cp_next(cp);
  uint32_t qual = 0;
  cp_decl_attributes(cp, &decl->attr, &qual);
  decl->attr.qual |= qual;
  cp_struct_layout(cp, sid, &decl->attr);
  return sid;
}

CTypeID cp_decl_enum(CParser* cp, CPDecl* decl) {
  CTypeTable* tab = cp->tab;
  CTypeID eid = cp_struct_name(cp, decl, ctinfo(CT_ENUM, ctype_alignflag(2) | CTID_UINT32));
  if (cp->token != '{') return eid;
  cp_undo_save(cp, eid);
  cp_next(cp);
  CTypeID last = eid;
  ctype_get(tab, eid)->sib = 0;
  uint32_t v = 0;
  bool negative = false;
  while (cp->token != '}') {
    if (cp->token != CTOK_IDENT || cp->str == nullptr) cp_err_expected(cp, CTOK_IDENT);
    GcString* name = cp->str;
    cp_next(cp);
    CTypeID vtype;
    if (cp_opt(cp, '=')) {
      CPValue k;
      cp_expr_kint(cp, &k);
      v = k.u32;
      bool uns = cp_isunsigned(cp, k.id);
      vtype = uns && v > 0x7fffffffu ? CTID_UINT32 : CTID_INT32;
      if (!uns && static_cast<int32_t>(v) < 0) negative = true;
    } else {
      vtype = v > 0x7fffffffu ? CTID_UINT32 : CTID_INT32;
    }
    CTypeEntry* ct;
    CTypeID id = kx_ctype_new(tab, &ct);
    ct->info = ctinfo(CT_CONSTVAL, CTF_CONST | vtype);
    ct->size = v++;
    kx_ctype_addname(tab, id, name);
    link_member(tab, &last, id);
    if (!cp_opt(cp, ',')) break;
  }
  cp_check(cp, '}');
  CTypeEntry* et = ctype_get(tab, eid);
  et->info = ctinfo(CT_ENUM, ctype_alignflag(2) | (negative ? CTID_INT32 : CTID_UINT32));
  et->size = 4;
  uint32_t qual = 0;
  cp_decl_attributes(cp, &decl->attr, &qual);
  decl->attr.qual |= qual;
  return eid;
}

// ---- Specifiers ----

// The number type named by the specifier keywords.
CTypeID cp_base_num(CParser* cp, const CPDecl* decl) {
  uint32_t bits = decl->specbits, size = decl->sizecode;
  uint32_t flags = bits & SPEC_UNSIGNED ? CTF_UNSIGNED : 0;
  uint32_t align;
  if (bits & SPEC_BOOL) {
    if (bits & (SPEC_CHAR | SPEC_SHORT | SPEC_LONG | SPEC_LONGLONG | SPEC_FP | SPEC_COMPLEX)) cp_err(cp, KX_ERR_FfiInvalidCType);
    size = size ? size : 1;
    flags = CTF_BOOL | (bits & SPEC_SIGNED ? 0 : CTF_UNSIGNED);
  } else if (bits & SPEC_FP) {
    flags = CTF_FP;
    if (bits & SPEC_LONG) size = KX_64 ? 16 : 12;
  } else if (bits & SPEC_CHAR) {
    size = 1;
  } else if (bits & SPEC_SHORT) {
    size = 2;
  } else if (bits & SPEC_LONGLONG) {
    size = 8;
  } else if (bits & SPEC_LONG) {
    size = KX_64 ? 8 : 4;
    flags |= CTF_LONG;
  } else if (!size) {
    if (!(bits & (SPEC_SIGNED | SPEC_UNSIGNED))) cp_err(cp, KX_ERR_FfiDeclSpecExpected);
    size = 4;
  }
  align = num_align(size);
  return kx_ctype_intern(cp->tab, ctinfo(CT_NUM, flags | ctype_alignflag(align)), size);
}

// Declaration specifiers: the base type, storage classes, qualifiers and attributes.
CTypeID cp_decl_spec(CParser* cp, CPDecl* decl, uint32_t scl_allowed) {
  decl->base = 0;
  decl->specbits = decl->sizecode = decl->scl = 0;
  decl->name = nullptr;
  decl->nslots = 0;
  attr_init(&decl->attr);
  for (;;) {
    cp_decl_attributes(cp, &decl->attr, &decl->attr.qual);
    int32_t tok = cp->token;
    if (tok >= CTOK_FIRSTDECL && tok <= CTOK_LASTDECL) {
      uint32_t bit = spec_bit(static_cast<CTToken>(tok));
      if (bit == SPEC_LONG && (decl->specbits & SPEC_LONG)) bit = SPEC_LONGLONG;
      decl->specbits |= bit;
      uint32_t code = ctype_get(cp->tab, cp->entry)->size;
      if (code && code != KX_CTSIZE_INVALID && tok != CTOK_LONG) decl->sizecode = code;
      cp_next(cp);
    } else if (tok >= CTOK_FIRSTSCL && tok <= CTOK_LASTSCL) {
      uint32_t bit = scl_bit(static_cast<CTToken>(tok));
      if (!(scl_allowed & bit)) cp_err(cp, KX_ERR_FfiBadStorageClass);
      decl->scl |= bit;
      cp_next(cp);
    } else if (tok == CTOK_STRUCT || tok == CTOK_UNION) {
      if (decl->base || (decl->specbits & SPEC_TYPE)) break;
      cp_next_tag(cp);
      decl->base = cp_decl_struct(cp, decl, ctinfo(CT_STRUCT, tok == CTOK_UNION ? CTF_UNION : 0));
    } else if (tok == CTOK_ENUM) {
      if (decl->base || (decl->specbits & SPEC_TYPE)) break;
      cp_next_tag(cp);
      decl->base = cp_decl_enum(cp, decl);
    } else if (tok == CTOK_IDENT && !decl->base && !(decl->specbits & SPEC_TYPE) && cp_istypedecl(cp)) {
      CTypeEntry* ct = ctype_get(cp->tab, cp->entry);
      decl->base = cp->str ? ctype_cid(ct->info) : cp->entry;
      cp_next(cp);
    } else {
      break;
    }
  }
  if (!decl->base) {
    uint32_t bits = decl->specbits;
    if (bits & SPEC_COMPLEX) decl->base = decl->sizecode == 4 ? CTID_COMPLEX_FLOAT : CTID_COMPLEX_DOUBLE;
    else if (bits & SPEC_VOID) decl->base = CTID_VOID;
    else decl->base = cp_base_num(cp, decl);
  }
  return decl->base;
}

// ---- Top level ----

// #pragma pack(...), #line n, # n.
void cp_directive(CParser* cp) {
  cp_next(cp);
  const char* s;
  uint32_t len;
  if (cp->token == CTOK_INTEGER || (cp_word(cp, &s, &len) && len == 4 && memcmp(s, "line", 4) == 0)) {
    if (cp->token != CTOK_INTEGER) cp_next(cp);
    if (cp->token != CTOK_INTEGER) cp_err_expected(cp, CTOK_INTEGER);
    uint32_t line = cp->value.u32;
    cp_skip_line(cp);
    cp->line = line - 1;  // the line break ending this line counts
    cp_next(cp);
    return;
  }
  if (!cp_word(cp, &s, &len) || len != 6 || memcmp(s, "pragma", 6) != 0) cp_err(cp, KX_ERR_UnexpectedSymbol);
  cp_next(cp);
  if (!cp_word(cp, &s, &len) || len != 4 || memcmp(s, "pack", 4) != 0) {
    cp_skip_line(cp);
    cp_next(cp);
    return;
  }
  cp_next(cp);
  cp_check(cp, '(');
  if (cp->token == CTOK_IDENT) {
    if (cp_word(cp, &s, &len) && len == 4 && memcmp(s, "push", 4) == 0) {
      if (cp->packtop + 1 >= CPARSE_MAXPACK) cp_err(cp, KX_ERR_TooManySyntaxLevels);
      cp->pack[cp->packtop + 1] = cp->pack[cp->packtop];
      cp->packtop++;
      cp_next(cp);
      if (cp_opt(cp, ',') && cp->token == CTOK_INTEGER) {
        cp->pack[cp->packtop] = static_cast<uint8_t>(ilog2(cp->value.u32));
        cp_next(cp);
      }
    } else if (cp_word(cp, &s, &len) && len == 3 && memcmp(s, "pop", 3) == 0) {
      if (cp->packtop > 0) cp->packtop--;
      cp_next(cp);
    } else {
      cp_err(cp, KX_ERR_UnexpectedSymbol);
    }
  } else if (cp->token == CTOK_INTEGER) {
    cp->pack[cp->packtop] = static_cast<uint8_t>(ilog2(cp->value.u32));
    cp_next(cp);
  } else {
    cp->pack[cp->packtop] = CPARSE_PACK_NONE;
  }
  cp_check(cp, ')');
}

// Skips a function body with balanced braces.
void cp_skip_body(CParser* cp) {
  uint32_t mode = cp->mode;
  cp->mode |= CPARSE_SKIP;
  uint32_t level = 0;
  do {
    if (cp->token == CTOK_EOF) cp_err_expected(cp, '}');
    if (cp->token == '{') level++;
    else if (cp->token == '}') level--;
    cp_next(cp);
  } while (level);
  cp->mode = mode;
}

// Enters one named declarator of a block of declarations into the table.
void cp_declare(CParser* cp, CPDecl* decl, CTypeID id) {
  CTypeTable* tab = cp->tab;
  CTypeEntry* ct;
  CTypeID named;
  if (decl->scl & SCL_TYPEDEF) {
    named = kx_ctype_new(tab, &ct);
    ct->info = ctinfo(CT_TYPEDEF, id);
  } else if (ctype_isfunc(ctype_get(tab, id)->info)) {
    named = id;
  } else if ((decl->scl & SCL_STATIC) && cp->token == '=') {
    cp_decl_constinit(cp, id, decl->name);
    return;
  } else {
    named = kx_ctype_new(tab, &ct);
    ct->info = ctinfo(CT_EXTERN, id);
  }
  kx_ctype_addname(tab, named, decl->name);
  if (GcString* redir = decl->attr.redir) {
    CTypeID rid = kx_ctype_new(tab, &ct);
    ct->info = ctinfo_attr(CTA_REDIR, 0);
    ct->name = redir;
    CTypeEntry* e = ctype_get(tab, named);
    while (e->sib) e = ctype_get(tab, e->sib);
    e->sib = static_cast<uint16_t>(rid);
  }
}

// A block of declarations.
void cp_decl_multi(CParser* cp) {
  uint32_t count = 0;
  while (cp->token != CTOK_EOF) {
    if (cp->token == '#') {
      cp_directive(cp);
      continue;
    }
    if (cp_opt(cp, ';')) continue;
    count++;
    CPDecl spec;
    cp_decl_spec(cp, &spec, SCL_TYPEDEF | SCL_EXTERN | SCL_STATIC);
    bool body = false;
    if (cp->token != ';' && cp->token != CTOK_EOF) {
      for (;;) {
        CPDecl decl = spec;
        cp_declarator(cp, &decl);
        CTypeID id = cp_decl_intern(cp, &decl, true);
        cp_declare(cp, &decl, id);
        if (cp->token == '{' && ctype_isfunc(ctype_get(cp->tab, id)->info)) {
          cp_skip_body(cp);
          body = true;
          break;
        }
        if (!cp_opt(cp, ',')) break;
      }
    }
    if (body) continue;
    if (cp->token == CTOK_EOF && count == 1) break;
    cp_check(cp, ';');
  }
}

// One type with an optional name, up to the end of the text.
void cp_decl_single(CParser* cp) {
  CPDecl decl;
  cp_decl_spec(cp, &decl, 0);
  cp_declarator(cp, &decl);
  cp->result = cp_decl_intern(cp, &decl, true);
  if (cp->token != CTOK_EOF) cp_err_expected(cp, CTOK_EOF);
}

Value* cp_run(lua_State*, lua_CFunction, void* ud) {
  CParser* cp = static_cast<CParser*>(ud);
  cp_get(cp);
  cp_next(cp);
  if (cp->mode & CPARSE_MULTI) cp_decl_multi(cp);
  else cp_decl_single(cp);
  return nullptr;
}

// Drops what a failed parse did to the table.
void cp_rollback(CParser* cp, const CTypeTable* saved) {
  CTypeTable* tab = cp->tab;
  const uint32_t* rec = reinterpret_cast<const uint32_t*>(cp->undo.b);
  for (size_t n = sbuflen(&cp->undo) / (5 * sizeof(uint32_t)); n-- > 0;)
    memcpy(ctype_get(tab, rec[5 * n]), rec + 5 * n + 1, sizeof(CTypeEntry));
  tab->used = saved->used;
  memcpy(tab->hash, saved->hash, sizeof(tab->hash));
}

}  // namespace

void kx_cparse_init(CParser* cp, lua_State* L, const char* text, size_t len, uint32_t mode, int32_t first_param) {
  memset(cp, 0, sizeof(CParser));
  cp->L = L;
  cp->tab = kx_ctype_state(G(L));
  cp->tab->thread = L;
  cp->cursor = text;
  cp->end = text + len;
  cp->mode = mode;
  cp->line = 1;
  cp->name_kinds = NAMES_DEFAULT;
  cp->pack[0] = CPARSE_PACK_NONE;
  cp->param_next = first_param;
  cp->param_count = static_cast<int32_t>(L->top - L->base);
  cp->used_before = cp->tab->used;
  sbufinit(L, &cp->text);
  sbufinit(L, &cp->undo);
}

void kx_cparse(CParser* cp) {
  lua_State* L = cp->L;
  CTypeTable saved = *cp->tab;
  int status = kx_vm_cpcall(L, nullptr, cp, cp_run);
  if (status != LUA_OK) cp_rollback(cp, &saved);
  kx_buf_free(G(L), &cp->text);
  kx_buf_free(G(L), &cp->undo);
  if (status == LUA_ERRMEM) kx_err_mem(L);
  if (status != LUA_OK) kx_err_run(L);
}
