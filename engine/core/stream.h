// The input of one load: the blocks a lua_Reader returns, read a character at a time by the lexer
// and in runs of bytes by the bytecode reader. Which of the two reads a chunk is decided by its
// first byte, so one stream serves both.
#pragma once

#include "core/buf.h"
#include "core/value.h"
#include "lua.h"

// The current character at end of input.
constexpr int32_t KX_STREAM_EOF = -1;

struct ChunkStream {
  lua_State* thread;
  lua_Reader reader;
  void* reader_data;
  const char* cursor;         // next unread byte of the current block
  const char* block_end;
  int32_t current;            // current character, or KX_STREAM_EOF
  uint8_t unbounded_input;    // the last block runs to the end of memory
  StrBuf text;                // the lexer's token text; the bytecode reader's bytes across blocks
  const char* given_name;     // the caller's chunk name, for messages
};
