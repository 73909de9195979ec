// An allocation function for lua_newstate that counts every byte, so tests can prove that closing an
// instance frees everything it allocated, and can make the k-th allocation fail.
#pragma once

#include <cstddef>

struct CountingAlloc {
  size_t live_bytes = 0;      // allocated and not yet freed
  size_t live_blocks = 0;
  size_t allocations = 0;     // successful allocations and growths so far
  size_t fail_at = 0;         // when non-zero, the fail_at-th allocation or growth fails
  bool mismatch = false;      // a free or resize named a size other than the block's own
};

extern "C" void* kx_test_counting_alloc(void* ud, void* ptr, size_t osize, size_t nsize);
