// Debug information: positions, names and chunk names as messages and tracebacks show them.
#pragma once

#include "core/value.h"

// Room for a short chunk name: at most 59 characters and the terminating NUL.
constexpr uint32_t KX_SHORTNAME_SIZE = 60;

// The short form of a chunk name ("=name", "@file" or source text). first_line -1 marks built-in
// bytecode functions.
void kx_debug_shortname(char* out, const GcString* chunk_name, int32_t first_line);
