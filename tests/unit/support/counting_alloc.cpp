#include "counting_alloc.h"

#include <cstdlib>
#include <cstring>

#include "core/alloc.h"

// Each block carries its size in a header, so a free with a wrong size is caught.
namespace {
constexpr size_t kHeader = 8;

size_t& stored_size(void* block) { return *static_cast<size_t*>(block); }
}  // namespace

CountingAlloc::~CountingAlloc() {
  if (arena) kx_alloc_destroy(arena);
}

extern "C" void* kx_test_counting_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* c = static_cast<CountingAlloc*>(ud);
  void* block = ptr ? static_cast<char*>(ptr) - kHeader : nullptr;
  if (block && stored_size(block) != osize) c->mismatch = true;
  if (nsize == 0) {
    if (block) {
      c->live_bytes -= osize;
      c->live_blocks--;
      kx_alloc_free(c->arena, block);
    }
    return nullptr;
  }
  if (nsize > osize || !block) {
    if (c->fail_at && ++c->allocations == c->fail_at) return nullptr;
    if (!c->fail_at) c->allocations++;
  }
  if (!c->arena && !(c->arena = kx_alloc_create(nullptr))) return nullptr;
  void* nb = block ? kx_alloc_realloc(c->arena, block, nsize + kHeader) : kx_alloc_malloc(c->arena, nsize + kHeader);
  if (!nb) return nullptr;
  stored_size(nb) = nsize;
  if (!block) c->live_blocks++;
  c->live_bytes += nsize - (block ? osize : 0);
  return static_cast<char*>(nb) + kHeader;
}
