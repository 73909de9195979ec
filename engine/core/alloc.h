// The engine's own allocator: one private arena per instance, built from page mappings that are
// all returned to the system when the arena is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

struct KxArena;
struct PrngState;

// Heap regions are obtained and grown in granules; chunks of this size and more get their own mapping.
constexpr size_t KX_ALLOC_GRANULE = 0x20000;
// Requests above this fail.
constexpr size_t KX_ALLOC_MAX_REQUEST = 0xffffffbf;

// Creates an arena in a fresh 128 KiB region; none when the system refuses. The generator places
// the first region and is not kept.
KxArena* kx_alloc_create(PrngState* rs);
// Hands over the instance's generator, used to place later regions.
void kx_alloc_setprng(KxArena* a, PrngState* rs);
// Returns every region and direct mapping to the system, the arena's own state included.
void kx_alloc_destroy(KxArena* a);

// The lua_Alloc function: `ud` is the arena; the old size is not needed.
void* kx_alloc_f(void* ud, void* ptr, size_t osize, size_t nsize);
void* kx_alloc_malloc(KxArena* a, size_t n);
void kx_alloc_free(KxArena* a, void* p);
void* kx_alloc_realloc(KxArena* a, void* p, size_t n);

// What the arena holds from the system, for tests and diagnostics.
struct KxAllocStats {
  size_t mapped;          // bytes in all regions and direct mappings
  uint32_t segments;      // heap regions (after merging adjacent ones)
  uint32_t direct;        // direct mappings
  uintptr_t top_end;      // end address of the region that holds the top chunk
};
void kx_alloc_stats(const KxArena* a, KxAllocStats* st);
// Walks every region and bin; false when the arena is corrupted.
bool kx_alloc_check(const KxArena* a);
