// Shared pieces of the fuzz targets: an instance on a counting allocator with a memory limit, a
// sandbox of libraries that touch neither files nor processes, and the leak check at close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "counting_alloc.h"
#include "lua.h"

struct FuzzAlloc {
  CountingAlloc counter;
  size_t limit;  // live bytes beyond which every growth is refused
};

// A fresh instance whose allocations stop at `limit` live bytes; aborts when none can be made.
lua_State* kx_fuzz_newstate(FuzzAlloc* a, size_t limit);
// Opens the libraries that cannot reach files, processes or native code (base with coroutine,
// table, string, math, bit; no io, os, package, debug, jit or ffi); no dofile/loadfile, print
// discards its arguments, and
// load/loadstring accept text only (untrusted bytecode is not meant to run). string.buffer is the
// global `buffer`. Returns false when opening ran out of memory.
bool kx_fuzz_sandbox(lua_State* L);
// Closes the instance and aborts unless every byte came back with the size it was allocated with.
void kx_fuzz_close(lua_State* L, FuzzAlloc* a);
// Calls the function below its arguments under a protected call; any error is an accepted outcome,
// but a memory error must carry the engine's message.
void kx_fuzz_pcall(lua_State* L, int nargs);
// Aborts unless a failed status is one the engine may return and its message is a string (or, for a
// run-time error, any value).
void kx_fuzz_check_status(lua_State* L, int status);

// The function on top of the stack is dumped, loaded back as a binary chunk and dumped again: the
// reader must accept what the writer wrote, and both dumps have the same size. (The bytes may differ:
// a table constant's keys are written in the order of its hash part, which depends on the hash seed.)
// Running out of memory at any step is an accepted outcome.
void kx_fuzz_redump(lua_State* L);

// Splits fuzz input at the first occurrence of `sep`: [data, data+n) is the head, the rest the tail.
struct FuzzSplit {
  const uint8_t* head;
  size_t head_len;
  const uint8_t* tail;
  size_t tail_len;
};
FuzzSplit kx_fuzz_split(const uint8_t* data, size_t size, uint8_t sep);
