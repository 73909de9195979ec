// The parser: the dialect's expressions and statements, variables, scopes, labels and jumps.
#pragma once

#include "compiler/codegen.h"

// A block: statements up to "else", "elseif", "end", "until" or end of input.
void parse_chunk(Lexer* ls);
void scope_begin(FuncBuilder* fs, BlockScope* bl, uint8_t flags);
void fscope_end(FuncBuilder* fs);
// Fails with "'%s' expected" naming token tok.
[[noreturn]] void err_token(Lexer* ls, int32_t tok);
