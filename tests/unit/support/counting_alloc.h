// An allocation function for lua_newstate that counts every byte, so tests can prove that closing an
// instance frees everything it allocated, and can make the k-th allocation fail. Blocks come from a
// private arena, so they lie in engine address space on every build.
#pragma once

#include <cstddef>

struct KxArena;

struct CountingAlloc {
  size_t live_bytes = 0;      // allocated and not yet freed
  size_t live_blocks = 0;
  size_t allocations = 0;     // successful allocations and growths so far
  size_t fail_at = 0;         // when non-zero, the fail_at-th allocation or growth fails
  bool mismatch = false;      // a free or resize named a size other than the block's own
  KxArena* arena = nullptr;   // made at the first allocation

  CountingAlloc() = default;
  CountingAlloc(const CountingAlloc&) = delete;
  CountingAlloc& operator=(const CountingAlloc&) = delete;
  ~CountingAlloc();
};

extern "C" void* kx_test_counting_alloc(void* ud, void* ptr, size_t osize, size_t nsize);
