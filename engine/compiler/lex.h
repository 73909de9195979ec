// The lexer: dialect source text to tokens.
//
// One Lexer is the whole state of one load. Besides the token stream it owns the stacks that the
// parser shares between nested functions: the variable stack and the instruction buffer.
#pragma once

#include "core/err.h"
#include "core/stream.h"
#include "core/value.h"

struct FuncBuilder;

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

// One emitted instruction and the source line it belongs to.
struct InsLine {
  Instr ins;
  int32_t line;
};

// A declared variable, a pending goto/break/continue, or a label.
struct VarSlot {
  Ref<GcString> name; // or a small code (see codegen.h); null once resolved or out of view
  uint32_t start_pc;  // variable: first pc where active; jump: its pc; label: its pc
  uint32_t end_pc;    // variable: pc where its scope ended
  uint8_t slot;       // variable: register; jump or label: active variables at that point
  uint8_t info;       // KX_VAR_* bits
  uint16_t next;      // next entry on the same name chain
};
static_assert(sizeof(VarSlot) == 16);

constexpr uint16_t KX_CHAIN_END = 0xffff;

// The lexer reads its stream's current character and collects the text of the token being scanned
// in the stream's text buffer.
struct Lexer : ChunkStream {
  FuncBuilder* func;          // innermost function being compiled
  Value token_value;
  Value peek_value;
  int32_t token;
  int32_t peek_token;         // KX_TK_eof: no lookahead pending
  int32_t line;
  int32_t last_line;          // line of the last token consumed by the parser
  GcString* chunk_name;
  int32_t chunk_name_slot;    // stack offset of the slot anchoring chunk_name
  const char* mode;
  VarSlot* vars;
  uint32_t vars_capacity;
  uint32_t vars_top;
  InsLine* code;              // shared by all nested functions
  uint32_t code_capacity;
  uint32_t depth;             // syntactic nesting depth
  uint8_t two_slot_frames;
  uint16_t name_chains[32];   // heads of the chains of active variables, by name id
  int32_t peek_line;          // line where the current token ended, once a lookahead was scanned; else -1
};

// Interns the reserved words, fixed against collection and marked with their numbers.
void kx_lex_init(lua_State* L);
// Prepares a load: empty stacks and buffer, no reader state. Safe to clean up at once.
void kx_lex_prepare(lua_State* L, Lexer* ls);
// Reads the start of a chunk (byte-order mark, "#!" line, a "#" on the first line). Returns whether
// the chunk is binary.
bool kx_lex_start(Lexer* ls);
// Frees the stacks and the text buffer.
void kx_lex_cleanup(lua_State* L, Lexer* ls);

void kx_lex_advance(Lexer* ls);
// The token after the current one, scanned once.
int32_t kx_lex_peek(Lexer* ls);
// Consumes an "=" that directly follows the current token (compound assignment); false if none does.
bool kx_lex_glue_eq(Lexer* ls);
// The text of a token for messages; characters are pushed as strings on the stack.
const char* kx_lex_token2str(Lexer* ls, int32_t tok);
// Raises a syntax error at the current position, near token tok (0: no token).
[[noreturn]] void kx_lex_error(Lexer* ls, int32_t tok, ErrorCode code, ...);

// Interns a string and anchors it in the constants of the function being compiled (parser).
GcString* kx_parse_keepstr(Lexer* ls, const char* text, size_t len);
// Anchors a C data constant in the current function's constant table.
void kx_parse_keepcdata(Lexer* ls, const Value* cd);
