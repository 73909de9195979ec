// The engine's own allocator: one private arena per instance, built from page mappings that are
// all returned to the system when the arena is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ref.h"

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

// Small blocks that the engine gives back are kept whole on lists by size class, still in use as far
// as the arena's chunks are concerned, and handed out again to the next request of their class: most
// objects die young and are replaced by objects of the same size, which then costs a list push and
// pop instead of merging free neighbours and splitting them again. kx_alloc_flush returns the lists
// to the arena (the collector does so once per cycle). The checking builds keep no lists, so that
// every block is known to the checkers as freed.
constexpr size_t KX_QUICK_MAX = 240;  // largest request kept: chunks of up to 248 bytes
struct KxQuickLists {
  Ref<void> head[KX_QUICK_MAX / 8 + 2];  // by chunk size / 8; a block's first word links the next
};
inline uint32_t kx_quick_class(size_t n) { return n < 13 ? 2 : static_cast<uint32_t>((n + 11) >> 3); }
// The arena's lists sit at its start.
inline KxQuickLists* kx_alloc_quick(KxArena* a) { return reinterpret_cast<KxQuickLists*>(a); }
#if defined(KX_SANITIZE) || defined(KX_MEMCHECK)
constexpr bool KX_QUICK_ON = false;
#else
constexpr bool KX_QUICK_ON = true;
#endif

// A block of n bytes (n <= KX_QUICK_MAX) from the lists, or none.
inline void* kx_alloc_quick_take(KxArena* a, size_t n) {
  Ref<void>* head = &kx_alloc_quick(a)->head[kx_quick_class(n)];
  void* p = *head;
  if (p) head->bits = *static_cast<uint32_t*>(p);
  return p;
}
// Keeps the block p of n bytes (n <= KX_QUICK_MAX) for reuse.
inline void kx_alloc_quick_give(KxArena* a, void* p, size_t n) {
  Ref<void>* head = &kx_alloc_quick(a)->head[kx_quick_class(n)];
  *static_cast<uint32_t*>(p) = head->bits;
  *head = p;
}
// Frees every block kept on the lists.
void kx_alloc_flush(KxArena* a);

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
