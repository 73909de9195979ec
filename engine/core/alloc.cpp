// The arena allocator: boundary-tagged chunks, exact-size lists for small free chunks, bitwise tries
// for large ones, a top chunk that grows by whole granules, and direct mappings for very large chunks.
#include "core/alloc.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "core/prng.h"
#include "core/ref.h"

#if defined(KX_SANITIZE)
#include <sanitizer/asan_interface.h>
#endif
#if defined(KX_MEMCHECK)
#include <valgrind/memcheck.h>
#endif

namespace {

// The arena lies below 4 GiB on every build, so its own words (sizes and links) are 32 bits.
using word = uint32_t;
constexpr word WORD_MAX = UINT32_MAX;

// Every chunk starts with two words. The first belongs to the previous chunk: while that one is free
// it holds its size (its footer); while it is in use it is the end of its payload. The second holds
// this chunk's size, a multiple of 8, with two flags in the low bits.
struct Chunk {
  word prev_foot;
  word head;
  Ref<Chunk> fd;        // free chunks: links of their list or ring of equal sizes
  Ref<Chunk> bk;
  Ref<Chunk> child[2];  // free large chunks that are trie nodes
  Ref<Chunk> parent;    // none for a root and for the other members of a ring
  uint32_t bin;
};

constexpr word PINUSE = 1;      // the previous chunk is in use
constexpr word CINUSE = 2;      // this chunk is in use
constexpr word SIZE_MASK = ~word(7);
constexpr word DIRECT_BIT = 1;  // in the first word of a directly mapped chunk, whose PINUSE is clear

constexpr word ALIGN = 8;
constexpr word MIN_CHUNK = 16;
constexpr word MEM_OFFSET = 8;  // the payload follows the two words
constexpr word OVERHEAD = 4;    // an in-use chunk also uses the first word of its successor
constexpr word MIN_REQUEST = MIN_CHUNK - OVERHEAD - 1;
constexpr word MAX_SMALL = 248;
constexpr uint32_t NBINS = 32;
constexpr word TRIM_THRESHOLD = 0x200000;
constexpr uint32_t RELEASE_RATE = 255;
constexpr word DIRECT_IDLE_MAX = KX_ALLOC_GRANULE / 2;

// A heap region from the system. The record of the region holding the top lives in the arena; every
// other region keeps its record in an in-use chunk of SEG_TAIL bytes at its end, and the top's region
// reserves that much at its end so the record can be written when the top moves elsewhere.
struct Seg {
  Ref<char> base;
  word size;
  Ref<Seg> next;
};
constexpr word SEG_TAIL = 24;
Seg make_seg(char* base, word size, Seg* next) {
  Seg s;
  s.base = base;
  s.size = size;
  s.next = next;
  return s;
}
static_assert(MEM_OFFSET + sizeof(Seg) <= SEG_TAIL && SEG_TAIL % ALIGN == 0);

// A direct mapping starts with links to the arena's other direct mappings; its chunk follows, and
// the chunk's first word records that offset.
struct DirectLink {
  Ref<DirectLink> prev;
  Ref<DirectLink> next;
};
constexpr word DIRECT_OFFSET = sizeof(DirectLink);
constexpr word DIRECT_PAD = DIRECT_OFFSET + ALIGN;
static_assert(DIRECT_OFFSET % ALIGN == 0);

// Heap regions are placed upward from a random granule in [256 MiB, 448 MiB) (i386) or
// [256 MiB, 768 MiB) (x86-64), far from where the system puts other mappings (top-down from high
// addresses), so that the next region can usually be mapped right behind the current one and merged
// with it; the randomness keeps heap addresses unpredictable. On i386 that leaves at least 64 MiB to
// grow into below 512 MiB, where the shadow memory of 32-bit AddressSanitizer builds begins.
constexpr uintptr_t HEAP_LOW = 0x10000000;
#if KX_64
constexpr uint32_t HEAP_SLOTS = 0x20000000 / KX_ALLOC_GRANULE;
// Every mapping ends below 4 GiB, so that references reach it; with AddressSanitizer below 2 GiB,
// where its shadow memory begins.
#if defined(KX_SANITIZE)
constexpr uintptr_t ADDR_LIMIT = 0x7fff8000;
#else
constexpr uintptr_t ADDR_LIMIT = uintptr_t(1) << 32;
#endif
#else
constexpr uint32_t HEAP_SLOTS = 0x0c000000 / KX_ALLOC_GRANULE;
#endif

}  // namespace

struct KxArena {
  uint32_t smallmap;      // bit i: small bin i is not empty
  uint32_t treemap;       // bit i: tree bin i is not empty
  word dvsize;
  word topsize;
  Ref<Chunk> dv;          // the designated victim: the last split remainder, kept out of the bins
  Ref<Chunk> top;
  // A freed chunk not yet put into its bin. Frees of neighbouring blocks, the collector's sweep above
  // all, merge into it without a bin operation each; any other arena operation first puts it away.
  Ref<Chunk> pending;
  word trim_check;
  uint32_t release_checks;
  Ref<Chunk> smallbins[NBINS];  // bin i holds chunks of 8 * i bytes
  Ref<Chunk> treebins[NBINS];
  Seg seg;                // the region holding the top, head of the region list
  Ref<DirectLink> direct;
  size_t mapped;
  PrngState* prng;
};

namespace {

// The small-block paths are inlined into the entry points: a call costs as much as their work.
#define HOT [[gnu::always_inline]] inline

// ---- Chunks ----------------------------------------------------------------------------------------

char* bytes(const void* p) { return const_cast<char*>(static_cast<const char*>(p)); }
Chunk* at(const void* p, word off) { return reinterpret_cast<Chunk*>(bytes(p) + off); }
Chunk* before(const void* p, word off) { return reinterpret_cast<Chunk*>(bytes(p) - off); }
word csize(const Chunk* p) { return p->head & SIZE_MASK; }
Chunk* next_chunk(Chunk* p) { return at(p, csize(p)); }
void* chunk2mem(Chunk* p) { return at(p, MEM_OFFSET); }
Chunk* mem2chunk(void* mem) { return before(mem, MEM_OFFSET); }
word request2size(word n) { return n < MIN_REQUEST ? MIN_CHUNK : (n + OVERHEAD + ALIGN - 1) & ~(ALIGN - 1); }
word granule_up(word n) { return (n + KX_ALLOC_GRANULE - 1) & ~(KX_ALLOC_GRANULE - 1); }
bool is_direct(const Chunk* p) { return !(p->head & PINUSE) && (p->prev_foot & DIRECT_BIT); }

// A free chunk always follows an in-use one: free neighbours are merged.
void set_free(Chunk* p, word s) {
  p->head = s | PINUSE;
  at(p, s)->prev_foot = s;
}
void set_inuse(Chunk* p, word s) { p->head = (p->head & PINUSE) | s | CINUSE; }
void set_inuse_whole(Chunk* p) {
  p->head |= CINUSE;
  next_chunk(p)->head |= PINUSE;
}

// ---- Memory checkers --------------------------------------------------------------------------------
// In the checking builds the arena tells AddressSanitizer and valgrind which bytes are in use: the
// requested bytes of every allocated block, and nothing else (chunk headers, free chunks, the rounding
// at a block's end). The arena itself is not instrumented, and valgrind's reports are off while it
// runs, since it reads and writes those bytes.

#if defined(KX_MEMCHECK)
struct QuietChecker {
  QuietChecker() { VALGRIND_DISABLE_ERROR_REPORTING; }
  ~QuietChecker() { VALGRIND_ENABLE_ERROR_REPORTING; }
};
#else
struct QuietChecker {};
#endif

void check_mapped(void* p, size_t size) {
#if defined(KX_SANITIZE)
  __asan_poison_memory_region(p, size);
#endif
#if defined(KX_MEMCHECK)
  VALGRIND_MAKE_MEM_NOACCESS(p, size);
#endif
  (void)p, (void)size;
}

void check_unmapping(void* p, size_t size) {
#if defined(KX_SANITIZE)
  __asan_unpoison_memory_region(p, size);
#endif
  (void)p, (void)size;
}

void check_alloc(void* mem, size_t n) {
#if defined(KX_SANITIZE)
  __asan_unpoison_memory_region(mem, n);
#endif
#if defined(KX_MEMCHECK)
  VALGRIND_MALLOCLIKE_BLOCK(mem, n, 0, 0);
#endif
  (void)mem, (void)n;
}

void check_free(void* mem, size_t usable) {
#if defined(KX_SANITIZE)
  __asan_poison_memory_region(mem, usable);
#endif
#if defined(KX_MEMCHECK)
  VALGRIND_FREELIKE_BLOCK(mem, 0);
  VALGRIND_MAKE_MEM_NOACCESS(mem, usable);
#endif
  (void)mem, (void)usable;
}

// ---- Pages from the system (the caller's errno survives every call) ---------------------------------

char* sys_map(void* hint, size_t size, int flags) {
  int saved = errno;
  void* p = mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  errno = saved;
  if (p == MAP_FAILED) return nullptr;
  check_mapped(p, size);
  return static_cast<char*>(p);
}

bool sys_unmap(void* p, size_t size) {
  check_unmapping(p, size);
  int saved = errno;
  int r = munmap(p, size);
  errno = saved;
  return r == 0;
}

// Maps exactly at `want` or not at all (a kernel that ignores the flag takes `want` as a hint).
char* sys_map_at(char* want, size_t size) {
  char* p = sys_map(want, size, MAP_FIXED_NOREPLACE);
  if (p && p != want) {
    sys_unmap(p, size);
    p = nullptr;
  }
  return p;
}

#if KX_64
bool below_limit(const char* p, size_t size) {
  return reinterpret_cast<uintptr_t>(p) <= ADDR_LIMIT && size <= ADDR_LIMIT - reinterpret_cast<uintptr_t>(p);
}

// A mapping below the address limit: at random granules first, then, when the space is crowded,
// at every step from the bottom up.
char* low_map(PrngState* rs, size_t size) {
  if (size > ADDR_LIMIT - HEAP_LOW) return nullptr;
  uintptr_t slots = (ADDR_LIMIT - HEAP_LOW - size) / KX_ALLOC_GRANULE + 1;
  for (int tries = 0; rs && tries < 32; tries++) {
    uintptr_t slot = (kx_prng_u64(rs) >> 32) % (tries == 0 && slots > HEAP_SLOTS ? HEAP_SLOTS : slots);
    if (char* p = sys_map_at(reinterpret_cast<char*>(HEAP_LOW + slot * KX_ALLOC_GRANULE), size)) return p;
  }
  size_t step = size > 0x1000000 ? size : 0x1000000;
  for (uintptr_t at = HEAP_LOW; at + size <= ADDR_LIMIT; at += step)
    if (char* p = sys_map_at(reinterpret_cast<char*>(at), size)) return p;
  return nullptr;
}
#endif

// A heap region right behind `after` if possible, else at a random low address if that is free,
// else (i386) wherever the system puts it.
char* heap_map(PrngState* rs, size_t size, char* after) {
#if KX_64
  if (after && below_limit(after, size)) {
    if (char* p = sys_map_at(after, size)) return p;
  }
  return low_map(rs, size);
#else
  if (after) {
    if (char* p = sys_map_at(after, size)) return p;
  }
  void* hint = nullptr;
  if (rs) {
    uint32_t slot = static_cast<uint32_t>(kx_prng_u64(rs) >> 32) % HEAP_SLOTS;
    hint = reinterpret_cast<void*>(HEAP_LOW + slot * KX_ALLOC_GRANULE);
  }
  return sys_map(hint, size, 0);
#endif
}

// A direct mapping: on i386 the system's default placement (top-down from high addresses).
char* direct_map(PrngState* rs, size_t size) {
#if KX_64
  return low_map(rs, size);
#else
  return sys_map(nullptr, size, 0);
#endif
}

// ---- Small bins ---------------------------------------------------------------------------------------

HOT void insert_small(KxArena* a, Chunk* p, word s) {
  uint32_t i = s >> 3;
  Chunk* h = a->smallbins[i];
  if (h) {
    p->fd = h;
    p->bk = h->bk;
    h->bk->fd = p;
    h->bk = p;
  } else {
    p->fd = p->bk = p;
    a->smallmap |= 1u << i;
  }
  a->smallbins[i] = p;
}

HOT void unlink_small(KxArena* a, Chunk* p, word s) {
  uint32_t i = s >> 3;
  if (p->fd == p) {
    a->smallbins[i] = nullptr;
    a->smallmap &= ~(1u << i);
    return;
  }
  p->bk->fd = p->fd;
  p->fd->bk = p->bk;
  if (a->smallbins[i] == p) a->smallbins[i] = p->fd;
}

// ---- Tree bins ----------------------------------------------------------------------------------------
// Each bin covers half a power of two and is a trie keyed by the size bits below the ones that select
// the bin; every node is itself a chunk, and chunks of equal size form a ring around one node.

uint32_t tree_index(word s) {
  word x = s >> 8;
  if (x > 0xffff) return NBINS - 1;
  uint32_t k = 31 - __builtin_clz(x);
  return (k << 1) + ((s >> (k + 7)) & 1);
}

// Shift that moves the first size bit the trie of bin i branches on to bit 31.
uint32_t tree_shift(uint32_t i) { return i == NBINS - 1 ? 0 : 25 - (i >> 1); }

Chunk* leftmost_child(const Chunk* t) { return t->child[0] ? t->child[0] : t->child[1]; }

void insert_large(KxArena* a, Chunk* p, word s) {
  uint32_t i = tree_index(s);
  p->bin = i;
  p->child[0] = p->child[1] = nullptr;
  Chunk* t = a->treebins[i];
  if (!t) {
    a->treebins[i] = p;
    a->treemap |= 1u << i;
    p->parent = nullptr;
    p->fd = p->bk = p;
    return;
  }
  for (word bits = s << tree_shift(i);; bits <<= 1) {
    if (csize(t) == s) {
      p->parent = nullptr;
      p->fd = t->fd;
      p->bk = t;
      t->fd->bk = p;
      t->fd = p;
      return;
    }
    Ref<Chunk>& c = t->child[bits >> 31];
    if (!c) {
      c = p;
      p->parent = t;
      p->fd = p->bk = p;
      return;
    }
    t = c;
  }
}

// Detaches and returns t's deepest descendant along right-first links; none when t has no children.
Chunk* detach_leaf(Chunk* t) {
  Ref<Chunk>* link = t->child[1] ? &t->child[1] : &t->child[0];
  Chunk* r = *link;
  if (!r) return nullptr;
  for (;;) {
    Ref<Chunk>* next = r->child[1] ? &r->child[1] : &r->child[0];
    if (!*next) break;
    link = next;
    r = *next;
  }
  *link = nullptr;
  return r;
}

void unlink_large(KxArena* a, Chunk* p) {
  Chunk* parent = p->parent;
  bool in_tree = parent || a->treebins[p->bin] == p;
  Chunk* r;
  if (p->bk != p) {  // a chunk of the same size takes p's place
    r = p->fd;
    p->bk->fd = p->fd;
    p->fd->bk = p->bk;
  } else {
    r = detach_leaf(p);
  }
  if (!in_tree) return;
  if (parent) {
    parent->child[parent->child[1] == p] = r;
  } else {
    a->treebins[p->bin] = r;
    if (!r) a->treemap &= ~(1u << p->bin);
  }
  if (r) {
    r->parent = parent;
    for (int k = 0; k < 2; k++) {
      r->child[k] = p->child[k];
      if (r->child[k]) r->child[k]->parent = r;
    }
  }
}

// The free chunk whose size exceeds nb the least, or none.
Chunk* tree_best_fit(KxArena* a, word nb) {
  Chunk* best = nullptr;
  word best_rest = WORD_MAX;
  auto consider = [&](Chunk* t) {
    word s = csize(t);
    if (s >= nb && s - nb < best_rest) {
      best = t;
      best_rest = s - nb;
    }
  };
  uint32_t i = tree_index(nb);
  Chunk* t = a->treebins[i];
  if (t) {
    // Follow nb's bits down the trie. The deepest right subtree passed over holds the sizes above nb
    // that are closest to it among those off the path.
    Chunk* larger = nullptr;
    for (word bits = nb << tree_shift(i);; bits <<= 1) {
      consider(t);
      if (best_rest == 0) return best;
      Chunk* right = t->child[1];
      t = t->child[bits >> 31];
      if (right && right != t) larger = right;
      if (!t) {
        t = larger;
        break;
      }
    }
  }
  if (!t && !best) {
    uint32_t above = a->treemap & ~((2u << i) - 1);
    if (above) t = a->treebins[__builtin_ctz(above)];
  }
  for (; t; t = leftmost_child(t)) consider(t);
  return best;
}

Chunk* tree_smallest(KxArena* a) {
  Chunk* best = a->treebins[__builtin_ctz(a->treemap)];
  for (Chunk* t = leftmost_child(best); t; t = leftmost_child(t))
    if (csize(t) < csize(best)) best = t;
  return best;
}

HOT void insert_chunk(KxArena* a, Chunk* p, word s) {
  if (s <= MAX_SMALL) insert_small(a, p, s);
  else insert_large(a, p, s);
}

HOT void unlink_chunk(KxArena* a, Chunk* p, word s) {
  if (s <= MAX_SMALL) unlink_small(a, p, s);
  else unlink_large(a, p);
}

// Puts the pending chunk into its bin.
HOT void settle(KxArena* a) {
  if (Chunk* p = a->pending) {
    a->pending = nullptr;
    insert_chunk(a, p, csize(p));
  }
}

// Takes a free neighbour out of its bin to merge it.
HOT void take_neighbour(KxArena* a, Chunk* p, word s) {
  if (p == a->pending) a->pending = nullptr;
  else unlink_chunk(a, p, s);
}

// ---- Taking chunks ----------------------------------------------------------------------------------

// Puts the first nb bytes of the free chunk p of size s in use. Returns the free remainder, or none
// when it would be smaller than a chunk and stays with p.
HOT Chunk* carve(Chunk* p, word s, word nb) {
  if (s - nb < MIN_CHUNK) {
    set_inuse_whole(p);
    return nullptr;
  }
  set_inuse(p, nb);
  Chunk* r = at(p, nb);
  set_free(r, s - nb);
  return r;
}

void replace_dv(KxArena* a, Chunk* p, word s) {
  if (a->dv) insert_chunk(a, a->dv, a->dvsize);
  a->dv = p;
  a->dvsize = s;
}

HOT Chunk* take_dv(KxArena* a, word nb) {
  Chunk* p = a->dv;
  Chunk* r = carve(p, a->dvsize, nb);
  a->dvsize = r ? a->dvsize - nb : 0;
  a->dv = r;
  return p;
}

HOT Chunk* take_small(KxArena* a, word nb) {
  uint32_t i = nb >> 3;
  uint32_t bits = a->smallmap >> i;
  if (bits & 3) {  // an exact fit, or one 8 bytes larger that is used whole
    i += ~bits & 1;
    Chunk* p = a->smallbins[i];
    unlink_small(a, p, i << 3);
    set_inuse_whole(p);
    return p;
  }
  if (nb <= a->dvsize) return take_dv(a, nb);
  Chunk* p;
  word s;
  if (bits) {
    i += __builtin_ctz(bits);
    p = a->smallbins[i];
    s = i << 3;
    unlink_small(a, p, s);
  } else if (a->treemap) {
    p = tree_smallest(a);
    s = csize(p);
    unlink_large(a, p);
  } else {
    return nullptr;
  }
  if (Chunk* r = carve(p, s, nb)) replace_dv(a, r, s - nb);
  return p;
}

Chunk* take_large(KxArena* a, word nb) {
  Chunk* v = a->treemap ? tree_best_fit(a, nb) : nullptr;
  if (v && (a->dvsize < nb || csize(v) < a->dvsize)) {
    word s = csize(v);
    unlink_large(a, v);
    if (Chunk* r = carve(v, s, nb)) insert_chunk(a, r, s - nb);
    return v;
  }
  if (nb <= a->dvsize) return take_dv(a, nb);
  return nullptr;
}

HOT void set_top(KxArena* a, Chunk* p, word s) {
  a->top = p;
  a->topsize = s;
  p->head = s | PINUSE;
}

// The top always keeps at least a minimal chunk, so it never vanishes.
HOT Chunk* take_top(KxArena* a, word nb) {
  if (a->topsize < nb + MIN_CHUNK) return nullptr;
  Chunk* p = a->top;
  set_top(a, at(p, nb), a->topsize - nb);
  p->head = nb | PINUSE | CINUSE;
  return p;
}

// ---- Regions ----------------------------------------------------------------------------------------

// Makes the fresh region r hold the top. The old region gets its record chunk at its end, and its
// former top becomes an ordinary free chunk.
void add_segment(KxArena* a, char* r, word size) {
  Chunk* tail = before(a->seg.base + a->seg.size, SEG_TAIL);
  Seg* rec = static_cast<Seg*>(chunk2mem(tail));
  *rec = a->seg;
  tail->head = SEG_TAIL | CINUSE;
  set_free(a->top, a->topsize);
  insert_chunk(a, a->top, a->topsize);
  a->seg = make_seg(r, size, rec);
  set_top(a, reinterpret_cast<Chunk*>(r), size - SEG_TAIL);
}

// Gets a region with room for a chunk of nb bytes: merged into the top's region when the system
// places it right behind, otherwise a region of its own that takes over the top.
bool extend(KxArena* a, word nb) {
  word size = granule_up(nb + SEG_TAIL + MIN_CHUNK);
  char* end = a->seg.base + a->seg.size;
  char* r = heap_map(a->prng, size, end);
  if (!r) return false;
  a->mapped += size;
  a->trim_check = TRIM_THRESHOLD;
  if (r == end) {
    a->seg.size += size;
    set_top(a, a->top, a->topsize + size);
  } else {
    add_segment(a, r, size);
  }
  return true;
}

// Returns regions, other than the top's, that have become one free chunk.
word release_free_segments(KxArena* a) {
  settle(a);
  word released = 0;
  Seg* prev = &a->seg;
  while (Seg* s = prev->next) {
    Seg rec = *s;
    Chunk* p = reinterpret_cast<Chunk*>(rec.base.get());
    word psize = csize(p);
    if (!(p->head & CINUSE) && psize == rec.size - SEG_TAIL) {
      if (p == a->dv) {
        a->dv = nullptr;
        a->dvsize = 0;
      } else {
        unlink_chunk(a, p, psize);
      }
      if (sys_unmap(rec.base, rec.size)) {
        prev->next = rec.next;
        a->mapped -= rec.size;
        released += rec.size;
        continue;
      }
      insert_chunk(a, p, psize);
    }
    prev = s;
  }
  a->release_checks = RELEASE_RATE;
  return released;
}

// Gives back whole granules from the end of the top, keeping one, then any region that has become
// entirely free. When nothing could be given back the check stays off until the next extension.
void trim(KxArena* a) {
  word released = 0;
  word extra = (a->topsize - KX_ALLOC_GRANULE) & ~(KX_ALLOC_GRANULE - 1);
  char* end = a->seg.base + a->seg.size;
  if (extra && sys_unmap(end - extra, extra)) {
    a->seg.size -= extra;
    a->mapped -= extra;
    set_top(a, a->top, a->topsize - extra);
    released = extra;
  }
  released += release_free_segments(a);
  a->trim_check = released ? TRIM_THRESHOLD : WORD_MAX;
}

// ---- Direct mappings --------------------------------------------------------------------------------

Chunk* direct_alloc(KxArena* a, word nb) {
  if (nb > WORD_MAX - DIRECT_PAD - KX_ALLOC_GRANULE) return nullptr;
  word size = granule_up(nb + DIRECT_PAD);
  char* m = direct_map(a->prng, size);
  if (!m) return nullptr;
  DirectLink* d = reinterpret_cast<DirectLink*>(m);
  d->prev = nullptr;
  d->next = a->direct;
  if (a->direct) a->direct->prev = d;
  a->direct = d;
  a->mapped += size;
  Chunk* p = at(m, DIRECT_OFFSET);
  p->prev_foot = DIRECT_OFFSET | DIRECT_BIT;
  p->head = (size - DIRECT_OFFSET) | CINUSE;
  return p;
}

void direct_free(KxArena* a, Chunk* p) {
  word offset = p->prev_foot & ~DIRECT_BIT;
  DirectLink* d = reinterpret_cast<DirectLink*>(reinterpret_cast<char*>(p) - offset);
  if (d->prev) d->prev->next = d->next;
  else a->direct = d->next;
  if (d->next) d->next->prev = d->prev;
  word size = offset + csize(p);
  a->mapped -= size;
  sys_unmap(d, size);
}

// ---- Freeing ----------------------------------------------------------------------------------------

HOT void free_chunk(KxArena* a, Chunk* p) {
  word psize = csize(p);
  Chunk* next = at(p, psize);
  if (!(p->head & PINUSE)) {
    word prevsize = p->prev_foot;
    p = before(p, prevsize);
    psize += prevsize;
    if (p != a->dv) {
      take_neighbour(a, p, prevsize);
    } else if (next->head & CINUSE) {  // only the designated victim grows
      a->dvsize = psize;
      set_free(p, psize);
      next->head &= ~PINUSE;
      return;
    }
  }
  if (next->head & CINUSE) {
    next->head &= ~PINUSE;
  } else if (next == a->top) {
    if (p == a->dv) {
      a->dv = nullptr;
      a->dvsize = 0;
    }
    set_top(a, p, psize + a->topsize);
    if (a->topsize > a->trim_check) trim(a);
    return;
  } else if (next == a->dv) {
    a->dv = p;
    a->dvsize += psize;
    set_free(p, a->dvsize);
    return;
  } else {
    word nsize = csize(next);
    take_neighbour(a, next, nsize);
    psize += nsize;
    if (p == a->dv) {
      a->dvsize = psize;
      set_free(p, psize);
      return;
    }
  }
  set_free(p, psize);
  settle(a);
  a->pending = p;
  if (psize > MAX_SMALL && --a->release_checks == 0) release_free_segments(a);
}

}  // namespace

// ---- Entry points -----------------------------------------------------------------------------------

KxArena* kx_alloc_create(PrngState* rs) {
  [[maybe_unused]] QuietChecker quiet;
  char* base = heap_map(rs, KX_ALLOC_GRANULE, nullptr);
  if (!base) return nullptr;
  Chunk* home = reinterpret_cast<Chunk*>(base);
  word hsize = request2size(sizeof(KxArena));
  home->prev_foot = 0;
  home->head = hsize | PINUSE | CINUSE;
  KxArena* a = static_cast<KxArena*>(chunk2mem(home));
#if defined(KX_SANITIZE)
  // The arena's own record is always in use; clang calls the sanitizer's memset for it.
  __asan_unpoison_memory_region(a, sizeof(KxArena));
#endif
  memset(a, 0, sizeof(KxArena));
  a->trim_check = TRIM_THRESHOLD;
  a->release_checks = RELEASE_RATE;
  a->seg = make_seg(base, KX_ALLOC_GRANULE, nullptr);
  a->mapped = KX_ALLOC_GRANULE;
  set_top(a, at(home, hsize), KX_ALLOC_GRANULE - hsize - SEG_TAIL);
  return a;
}

void kx_alloc_setprng(KxArena* a, PrngState* rs) {
  [[maybe_unused]] QuietChecker quiet;
  a->prng = rs;
}

void kx_alloc_destroy(KxArena* a) {
  [[maybe_unused]] QuietChecker quiet;
  while (DirectLink* d = a->direct) direct_free(a, at(d, DIRECT_OFFSET));
  // The region holding the arena goes last: the head record lives in it.
  char* home = reinterpret_cast<char*>(mem2chunk(a));
  word home_size = 0;
  for (const Seg* s = &a->seg; s;) {
    Seg rec = *s;
    if (rec.base == home) home_size = rec.size;
    else sys_unmap(rec.base, rec.size);
    s = rec.next;
  }
  sys_unmap(home, home_size);
}

namespace {

word usable_size(Chunk* p) { return csize(p) - (is_direct(p) ? MEM_OFFSET : OVERHEAD); }

HOT void* arena_malloc(KxArena* a, size_t n) {
  if (n > KX_ALLOC_MAX_REQUEST) return nullptr;
  settle(a);
  word nb = request2size(n);
  Chunk* p = nb <= MAX_SMALL ? take_small(a, nb) : take_large(a, nb);
  if (!p) p = take_top(a, nb);
  if (!p) {
    if (nb >= KX_ALLOC_GRANULE) p = direct_alloc(a, nb);
    else if (extend(a, nb)) p = take_top(a, nb);
  }
  return p ? chunk2mem(p) : nullptr;
}

HOT void arena_free(KxArena* a, void* mem) {
  if (!mem) return;
  Chunk* p = mem2chunk(mem);
  if (is_direct(p)) direct_free(a, p);
  else free_chunk(a, p);
}

// Moves a block to a fresh one of n bytes, marked in use.
void* arena_move(KxArena* a, void* mem, size_t n) {
  void* fresh = arena_malloc(a, n);
  if (!fresh) return nullptr;
  word usable = usable_size(mem2chunk(mem));
  check_alloc(fresh, n);
#if defined(KX_SANITIZE)
  __asan_unpoison_memory_region(mem, usable);  // the old block is read whole
#endif
  memcpy(fresh, mem, usable < n ? usable : n);
  check_free(mem, usable);
  arena_free(a, mem);
  return fresh;
}

[[maybe_unused]] void* arena_realloc(KxArena* a, void* mem, size_t n) {
  if (n > KX_ALLOC_MAX_REQUEST) return nullptr;
  settle(a);
  Chunk* p = mem2chunk(mem);
  word nb = request2size(n), oldsize = csize(p);
  if (is_direct(p)) {
    if (nb > MAX_SMALL && oldsize >= nb + OVERHEAD && oldsize - nb <= DIRECT_IDLE_MAX) return mem;
  } else if (oldsize >= nb) {
    if (oldsize - nb >= MIN_CHUNK) {
      set_inuse(p, nb);
      Chunk* r = at(p, nb);
      r->head = (oldsize - nb) | PINUSE | CINUSE;
      free_chunk(a, r);
    }
    return mem;
  } else if (next_chunk(p) == a->top && oldsize + a->topsize >= nb + MIN_CHUNK) {
    word tsize = oldsize + a->topsize - nb;
    set_inuse(p, nb);
    set_top(a, at(p, nb), tsize);
    return mem;
  }
  return arena_move(a, mem, n);
}

}  // namespace

void* kx_alloc_malloc(KxArena* a, size_t n) {
  [[maybe_unused]] QuietChecker quiet;
  void* mem = arena_malloc(a, n);
  if (mem) check_alloc(mem, n);
  return mem;
}

void kx_alloc_free(KxArena* a, void* mem) {
  if (!mem) return;
  [[maybe_unused]] QuietChecker quiet;
  check_free(mem, usable_size(mem2chunk(mem)));
  arena_free(a, mem);
}

void* kx_alloc_realloc(KxArena* a, void* mem, size_t n) {
  [[maybe_unused]] QuietChecker quiet;
#if defined(KX_MEMCHECK)
  // valgrind knows a block by its start: a resized block is always a new one.
  return n <= KX_ALLOC_MAX_REQUEST ? arena_move(a, mem, n) : nullptr;
#else
  word old_usable = usable_size(mem2chunk(mem));
  void* fresh = arena_realloc(a, mem, n);
  if (fresh == mem) {
    check_free(mem, old_usable);
    check_alloc(mem, n);
  }
  return fresh;
#endif
}

void* kx_alloc_f(void* ud, void* ptr, size_t, size_t nsize) {
  KxArena* a = static_cast<KxArena*>(ud);
  if (nsize == 0) {
    kx_alloc_free(a, ptr);
    return nullptr;
  }
  return ptr ? kx_alloc_realloc(a, ptr, nsize) : kx_alloc_malloc(a, nsize);
}

void kx_alloc_stats(const KxArena* a, KxAllocStats* st) {
  [[maybe_unused]] QuietChecker quiet;
  st->mapped = a->mapped;
  st->segments = 0;
  for (const Seg* s = &a->seg; s; s = s->next) st->segments++;
  st->direct = 0;
  for (const DirectLink* d = a->direct; d; d = d->next) st->direct++;
  st->top_end = reinterpret_cast<uintptr_t>(a->seg.base.get()) + a->seg.size;
}

// ---- Consistency check ------------------------------------------------------------------------------

namespace {

// Counts the chunks of a trie (rings included) and checks their links and sizes.
bool check_tree(const Chunk* t, const Chunk* parent, uint32_t bin, size_t* count) {
  if (!t) return true;
  if (t->parent != parent || t->bin != bin || tree_index(csize(t)) != bin || (t->head & CINUSE)) return false;
  const Chunk* q = t;
  do {
    if (csize(q) != csize(t) || q->fd->bk != q || q->bk->fd != q) return false;
    if (q != t && q->parent) return false;
    ++*count;
    q = q->fd;
  } while (q != t);
  return check_tree(t->child[0], t, bin, count) && check_tree(t->child[1], t, bin, count);
}

// Walks one region's chunks; counts the free ones.
bool check_region(const KxArena* a, const Seg* s, size_t* count) {
  const char* end = s->base + s->size - SEG_TAIL;
  const Chunk* p = reinterpret_cast<const Chunk*>(s->base.get());
  bool prev_inuse = true;
  while (reinterpret_cast<const char*>(p) < end && p != a->top) {
    word sz = csize(p);
    bool inuse = p->head & CINUSE;
    if (sz < MIN_CHUNK || bool(p->head & PINUSE) != prev_inuse) return false;
    if (!inuse) {
      if (!prev_inuse || at(p, sz)->prev_foot != sz) return false;
      ++*count;
    }
    prev_inuse = inuse;
    p = at(p, sz);
  }
  if (p == a->top) {
    if (s != &a->seg || !prev_inuse || (p->head & ~SIZE_MASK) != PINUSE || csize(p) != a->topsize) return false;
    return reinterpret_cast<const char*>(p) + a->topsize == end;
  }
  if (reinterpret_cast<const char*>(p) != end || s == &a->seg) return false;
  return (p->head & ~PINUSE) == (SEG_TAIL | CINUSE) && bool(p->head & PINUSE) == prev_inuse &&
         chunk2mem(at(p, 0)) == s;
}

}  // namespace

bool kx_alloc_check(const KxArena* a) {
  [[maybe_unused]] QuietChecker quiet;
  size_t in_regions = 0, in_bins = (a->dv ? 1 : 0) + (a->pending ? 1 : 0);
  if (a->pending && (a->pending == a->dv || (a->pending->head & CINUSE))) return false;
  for (const Seg* s = &a->seg; s; s = s->next)
    if (!check_region(a, s, &in_regions)) return false;
  if (a->dv && (csize(a->dv) != a->dvsize || (a->dv->head & CINUSE))) return false;
  for (uint32_t i = 0; i < NBINS; i++) {
    const Chunk* h = a->smallbins[i];
    if (bool(a->smallmap & (1u << i)) != (h != nullptr)) return false;
    for (const Chunk* q = h; q; q = q->fd == h ? nullptr : q->fd.get()) {
      if (csize(q) != i << 3 || (q->head & CINUSE) || q->fd->bk != q) return false;
      in_bins++;
    }
    if (bool(a->treemap & (1u << i)) != (a->treebins[i] != nullptr)) return false;
    if (!check_tree(a->treebins[i], nullptr, i, &in_bins)) return false;
  }
  return in_regions == in_bins;
}
