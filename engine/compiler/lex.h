// The lexer: dialect source text to tokens.
#pragma once

#include "core/value.h"

// Tokens beyond single characters, numbered from 257; the first 24 are the reserved words.
#define KX_TOKDEF(X1, X2)                                                                         \
  X1(and) X1(break) X1(const) X1(continue) X1(do) X1(else) X1(elseif) X1(end) X1(false) X1(for)  \
  X1(function) X1(goto) X1(if) X1(in) X1(local) X1(nil) X1(not) X1(or) X1(repeat) X1(return)     \
  X1(then) X1(true) X1(until) X1(while)                                                          \
  X2(concat, ..) X2(dots, ...) X2(eq, ==) X2(ge, >=) X2(le, <=) X2(ne, ~=) X2(safenav, ?.)       \
  X2(coalesce, ?? ) X2(shl, <<) X2(shr, >>) X2(sar, ~>>) X2(land, &&) X2(lor, ||) X2(bne, !=)     \
  X2(arrow, ->) X2(label, ::) X2(number, <number>) X2(name, <name>) X2(string, <string>)         \
  X2(eof, <eof>)

enum LexToken : int32_t {
  KX_TK_OFS = 256,
#define TKENUM1(name) KX_TK_##name,
#define TKENUM2(name, sym) KX_TK_##name,
  KX_TOKDEF(TKENUM1, TKENUM2)
#undef TKENUM1
#undef TKENUM2
  KX_TK_RESERVED = KX_TK_while - KX_TK_OFS
};
static_assert(KX_TK_RESERVED == 24 && KX_TK_eof == 300);

// Interns the reserved words, fixed against collection and marked with their numbers.
void kx_lex_init(lua_State* L);
// The name of a token as messages show it.
const char* kx_lex_token2str(int32_t tok);
