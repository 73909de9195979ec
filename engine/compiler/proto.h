// Prototype finalisation: a finished FuncBuilder becomes one immutable GcProto.
#pragma once

#include "compiler/codegen.h"

struct GcProto;

// Opens a function's FuncBuilder beneath the current one; line is where it begins.
void fs_init(Lexer* ls, FuncBuilder* fs, int32_t line);
// Finalises the innermost function.
GcProto* fs_finish(Lexer* ls);
// Finalises a nested function whose last token is on end_line and emits its closure into the
// parent; e becomes the FNEW.
void proto_finish(Lexer* ls, ExprDesc* e, int32_t end_line);
// Compiles a whole text chunk into its main prototype.
GcProto* kx_parse(Lexer* ls);
