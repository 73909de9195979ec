// The bytecode dump reader.
#pragma once

#include "core/err.h"
#include "core/func.h"
#include "core/stream.h"

// Reads prototype bodies that lie in memory in full.
struct BcProtoReader {
  lua_State* L;
  const uint8_t* p;        // next unread byte of the body
  const uint8_t* pe;       // end of the body
  uint32_t flags;          // the chunk's header flags
  GcString* chunk_name;    // given to every prototype
  int32_t level;           // stack offset above which the prototypes read so far lie
  bool trusted;            // built-in code may use the instructions the compiler never emits
  const char* given_name;  // the caller's chunk name, for messages
};

// Reads one prototype body; its child prototypes are taken from the stack above the level.
GcProto* kx_bcread_proto(BcProtoReader* r);
[[noreturn]] void kx_bcread_error(lua_State* L, const char* given_name, ErrorCode code);

// Reads a binary chunk from a stream whose current character is the ESC that starts it; returns the
// main prototype. The chunk must have been compiled for the frames asked for.
GcProto* kx_bcread(ChunkStream* in, bool two_slot_frames);
