// The arena allocator: chunk sizes, direct mappings, trimming, region release, in-place reallocation,
// destruction and a randomized stress run with content checks.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/alloc.h"
#include "core/state.h"
#include "lauxlib.h"

namespace {

constexpr uintptr_t kPage = 4096;
constexpr size_t kKiB = 1024;

// Every page of [p, p + len) is mapped (mapped = true) or none is (mapped = false).
bool pages_are(bool mapped, uintptr_t p, size_t len) {
  unsigned char v;
  for (uintptr_t q = p & ~(kPage - 1); q < p + len; q += kPage) {
    bool present = mincore(reinterpret_cast<void*>(q), kPage, &v) == 0;
    if (present != mapped) return false;
  }
  return true;
}

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

KxAllocStats stats(const KxArena* a) {
  KxAllocStats st;
  kx_alloc_stats(a, &st);
  return st;
}

// Occupies the page at `where` so that no region can be merged across it; none when it is taken.
void* wall_at(uintptr_t where) {
  void* p = mmap(reinterpret_cast<void*>(where), kPage, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (addr(p) != where) {
    munmap(p, kPage);
    return nullptr;
  }
  return p;
}

struct Walls {
  std::vector<void*> pages;
  void before_growth(const KxArena* a) {
    if (void* w = wall_at(stats(a).top_end)) pages.push_back(w);
  }
  ~Walls() {
    for (void* p : pages) munmap(p, kPage);
  }
};

class Arena : public ::testing::Test {
 protected:
  PrngState rs{};
  KxArena* a = nullptr;

  void SetUp() override {
    ASSERT_TRUE(kx_prng_seed_secure(&rs));
    a = kx_alloc_create(&rs);
    ASSERT_NE(a, nullptr);
    kx_alloc_setprng(a, &rs);
  }
  void TearDown() override {
    if (!a) return;
    EXPECT_TRUE(kx_alloc_check(a));
    kx_alloc_destroy(a);
  }
  char* alloc(size_t n) { return static_cast<char*>(kx_alloc_malloc(a, n)); }
  char* resize(void* p, size_t n) { return static_cast<char*>(kx_alloc_realloc(a, p, n)); }
  void release(void* p) { kx_alloc_free(a, p); }
};

TEST_F(Arena, SmallRequestsTakeMinimalChunks) {
  // Fresh requests are carved from the top one after another: the address step is the chunk size.
  auto chunk_of = [&](size_t n) {
    char* p = alloc(n);
    char* q = alloc(1);
    return q - p;
  };
  for (size_t n = 0; n <= 12; n++) EXPECT_EQ(chunk_of(n), 16) << n;
  EXPECT_EQ(chunk_of(13), 24);
  EXPECT_EQ(chunk_of(20), 24);
  EXPECT_EQ(chunk_of(21), 32);
  EXPECT_EQ(chunk_of(244), 248);
  EXPECT_EQ(chunk_of(245), 256);
  EXPECT_EQ(addr(alloc(3)) % 8, 0u);
}

TEST_F(Arena, FreedChunksAreMergedAndReused) {
  char* p1 = alloc(100);
  char* p2 = alloc(100);
  EXPECT_EQ(alloc(16), p2 + 104);  // a guard before the top
  release(p1);
  EXPECT_EQ(alloc(100), p1);  // exact-size reuse
  release(p1);
  release(p2);                // merges with p1
  EXPECT_TRUE(kx_alloc_check(a));
  EXPECT_EQ(alloc(200), p1);  // the merged chunk serves a request neither half could
  // Freeing the chunk beside the top returns it to the top: the next request starts there again.
  char* last = alloc(5000);
  release(last);
  EXPECT_EQ(alloc(7000), last);
}

TEST_F(Arena, RunsOfFreesMergeWhicheverWayTheyGo) {
  // The collector frees neighbours one after another, usually downwards: every order must leave
  // one chunk, in a consistent arena, that the next request of the whole size gets.
  for (int order = 0; order < 3; order++) {
    std::vector<char*> blocks;
    for (int i = 0; i < 12; i++) blocks.push_back(alloc(i % 3 ? 36 : 60));
    char* guard = alloc(8);
    size_t whole = guard - blocks[0] - 4;
    if (order == 0) std::reverse(blocks.begin(), blocks.end());
    if (order == 2) std::swap(blocks[3], blocks[8]);
    char* other = nullptr;
    for (size_t i = 0; i < blocks.size(); i++) {
      release(blocks[i]);
      if (i == 5) {
        other = alloc(100);  // served in between: the run so far is a free chunk like any other
        release(other);
      }
      ASSERT_TRUE(kx_alloc_check(a)) << order << " " << i;
    }
    char* all = alloc(whole);
    EXPECT_EQ(all, std::min(blocks.front(), blocks.back())) << order;
    release(all);
    release(guard);
  }
}

TEST_F(Arena, SmallRequestsPreferExactBinsThenTheDesignatedVictim) {
  char* big = alloc(2000);
  alloc(16);
  release(big);
  char* p = alloc(100);  // nothing smaller is free: the large chunk is split
  EXPECT_EQ(p, big);
  char* q = alloc(40);   // the remainder is the designated victim
  EXPECT_EQ(q, p + 104);
  char* x = alloc(24);
  char* y = alloc(24);
  char* z = alloc(24);
  EXPECT_EQ(x, q + 48);
  EXPECT_EQ(z, y + 32);
  release(y);
  EXPECT_EQ(alloc(24), y);  // an exact bin wins over the victim
  release(z);               // joins the victim that follows it
  EXPECT_EQ(alloc(24), z);
  EXPECT_TRUE(kx_alloc_check(a));
}

TEST_F(Arena, LargeRequestsTakeTheBestFit) {
  std::vector<size_t> sizes{296, 704, 2600, 9000, 40000, 100000};
  for (size_t s = 1032; s < 1536; s += 24) sizes.push_back(s);
  std::mt19937 rng(5);
  std::shuffle(sizes.begin(), sizes.end(), rng);
  std::vector<std::pair<size_t, char*>> where;
  for (size_t s : sizes) {
    where.emplace_back(s, alloc(s - 4));  // a chunk of exactly s bytes
    alloc(16);                            // keeps it apart from its neighbours
  }
  for (auto& [s, p] : where) release(p);
  EXPECT_TRUE(kx_alloc_check(a));
  // Each request is 8 bytes short of one free chunk and more than 8 bytes beyond every smaller one.
  std::shuffle(where.begin(), where.end(), rng);
  for (auto& [s, p] : where) EXPECT_EQ(alloc(s - 12), p) << s;
}

TEST_F(Arena, LargeBlocksGetTheirOwnMapping) {
  EXPECT_EQ(stats(a).mapped, KX_ALLOC_GRANULE);
  char* p = alloc(200 * kKiB);
  ASSERT_NE(p, nullptr);
  uintptr_t mapping = addr(p) & ~(kPage - 1);
  EXPECT_EQ(stats(a).mapped, KX_ALLOC_GRANULE + 256 * kKiB);
  EXPECT_EQ(stats(a).direct, 1u);
  EXPECT_TRUE(pages_are(true, mapping, 256 * kKiB));
  memset(p, 0x5a, 200 * kKiB);
  release(p);
  EXPECT_EQ(stats(a).mapped, KX_ALLOC_GRANULE);
  EXPECT_EQ(stats(a).direct, 0u);
  EXPECT_TRUE(pages_are(false, mapping, 256 * kKiB));
}

TEST_F(Arena, DirectBlocksResizeInPlaceWithinTheirSlack) {
  char* p = alloc(200 * kKiB);
  memset(p, 0x77, 200 * kKiB);
  uintptr_t mapping = addr(p) & ~(kPage - 1);
  EXPECT_EQ(resize(p, 230 * kKiB), p);  // grows into the mapping's slack
  EXPECT_EQ(resize(p, 200 * kKiB), p);  // leaves less than 64 KiB idle
  char* moved = resize(p, 170 * kKiB);  // would leave more: a new, smaller mapping
  ASSERT_NE(moved, p);
  EXPECT_EQ(stats(a).direct, 1u);
  EXPECT_TRUE(pages_are(false, mapping, 256 * kKiB));
  p = moved;
  mapping = addr(p) & ~(kPage - 1);
  // Shrinking so far that more than 64 KiB would lie idle moves the block into the heap.
  char* q = resize(p, 100 * kKiB);
  ASSERT_NE(q, p);
  EXPECT_EQ(stats(a).direct, 0u);
  EXPECT_TRUE(pages_are(false, mapping, 256 * kKiB));
  for (size_t i = 0; i < 100 * kKiB; i += 997) ASSERT_EQ(q[i], 0x77);
  // Growing past the granule maps it directly again, contents kept.
  char* r = resize(q, 300 * kKiB);
  EXPECT_EQ(stats(a).direct, 1u);
  for (size_t i = 0; i < 100 * kKiB; i += 997) ASSERT_EQ(r[i], 0x77);
  release(r);
}

TEST_F(Arena, HeapBlocksResizeInPlaceWhenTheyCan) {
  char* p = alloc(1000);
  memset(p, 0x31, 1000);
  EXPECT_EQ(resize(p, 60000), p);  // beside the top: grows into it
  EXPECT_EQ(resize(p, 100), p);    // the surplus goes back to the top
  char* guard = alloc(16);
  EXPECT_EQ(guard, p + 104);
  char* moved = resize(p, 5000);   // hemmed in: moves
  ASSERT_NE(moved, p);
  for (int i = 0; i < 100; i++) ASSERT_EQ(moved[i], 0x31);
  EXPECT_EQ(alloc(100), p);        // the old place is free again
}

TEST_F(Arena, AGrownTopIsTrimmed) {
  std::vector<char*> blocks;
  for (int i = 0; i < 50; i++) blocks.push_back(alloc(100 * kKiB));
  KxAllocStats grown = stats(a);
  // Each new region is mapped right behind the last one and merged with it.
  EXPECT_EQ(grown.segments, 1u);
  EXPECT_GE(grown.mapped, 50 * 100 * kKiB);
  // In order: each block merges with the one before, the last with the top, which then exceeds 2 MiB.
  for (char* p : blocks) release(p);
  KxAllocStats trimmed = stats(a);
  // Whole granules are given back, keeping at least one for the top.
  EXPECT_EQ(trimmed.mapped, 2 * KX_ALLOC_GRANULE);
  EXPECT_TRUE(pages_are(false, trimmed.top_end, grown.top_end - trimmed.top_end));
  // In reverse order the top passes 2 MiB again and again; every time it is cut back.
  for (char*& p : blocks) p = alloc(100 * kKiB);
  for (size_t live = blocks.size(); live-- > 0;) {
    release(blocks[live]);
    ASSERT_LE(stats(a).mapped, live * 100 * kKiB + 0x200000 + 2 * KX_ALLOC_GRANULE) << live;
  }
}

TEST_F(Arena, SeparateRegionsAreReleasedOnceEntirelyFree) {
  Walls walls;
  walls.before_growth(a);
  alloc(100 * kKiB);                 // fills the first region
  char* b2 = alloc(100 * kKiB);      // cannot merge: a region of its own
  ASSERT_EQ(stats(a).segments, 2u);
  walls.before_growth(a);
  alloc(100 * kKiB);                 // a third region; the second is no longer the top's
  ASSERT_EQ(stats(a).segments, 3u);
  EXPECT_TRUE(kx_alloc_check(a));
  uintptr_t second = addr(b2) - 8;
  release(b2);                       // its region is one free chunk now: large free number 1
  char* x = alloc(300);
  alloc(16);                         // keeps x away from the top so that its frees go to a bin
  for (int i = 2; i < 255; i++) {
    release(x);
    x = alloc(300);
  }
  EXPECT_EQ(stats(a).segments, 3u);
  release(x);                        // large free number 255 searches for free regions
  EXPECT_EQ(stats(a).segments, 2u);
  EXPECT_TRUE(pages_are(false, second, KX_ALLOC_GRANULE));
}

TEST_F(Arena, LimitsFailCleanlyAndKeepErrno) {
  errno = 4321;
  char* p = alloc(300 * kKiB);
  ASSERT_NE(p, nullptr);
  release(p);
  EXPECT_EQ(kx_alloc_malloc(a, 0xffffffc0), nullptr);
  EXPECT_EQ(kx_alloc_malloc(a, KX_ALLOC_MAX_REQUEST), nullptr);
  EXPECT_EQ(kx_alloc_malloc(a, 0xf0000000), nullptr);  // the system refuses
  char* q = alloc(10);
  strcpy(q, "kept");
  EXPECT_EQ(resize(q, 0xffffffc0), nullptr);
  EXPECT_STREQ(q, "kept");
  EXPECT_EQ(errno, 4321);
  // The lua_Alloc entry: size 0 frees (none is accepted), a null block allocates.
  EXPECT_EQ(kx_alloc_f(a, nullptr, 0, 0), nullptr);
  EXPECT_EQ(kx_alloc_f(a, q, 10, 0), nullptr);
  char* r = static_cast<char*>(kx_alloc_f(a, nullptr, 0, 24));
  EXPECT_EQ(r, q);
  EXPECT_EQ(kx_alloc_f(a, r, 24, 40), r);
}

TEST(AllocDestroy, ReleasesEveryRegionAndLiveDirectMapping) {
  PrngState rs;
  ASSERT_TRUE(kx_prng_seed_secure(&rs));
  KxArena* a = kx_alloc_create(&rs);
  kx_alloc_setprng(a, &rs);
  std::vector<uintptr_t> pages{addr(a)};
  {
    Walls walls;
    for (size_t n : {16u, 5000u, 100000u, 100000u, 400000u, 300u, 150000u}) {
      if (n == 100000u) walls.before_growth(a);
      void* p = kx_alloc_malloc(a, n);
      ASSERT_NE(p, nullptr);
      pages.push_back(addr(p));
    }
    EXPECT_GE(stats(a).segments, 2u);
    EXPECT_EQ(stats(a).direct, 2u);
    kx_alloc_destroy(a);
  }
  for (uintptr_t p : pages) EXPECT_TRUE(pages_are(false, p, 1)) << std::hex << p;
}

TEST(AllocDestroy, ClosingAnInstanceReleasesItsArena) {
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  GlobalState* g = G(L);
  ASSERT_EQ(g->alloc_fn, kx_alloc_f);
  const KxArena* a = static_cast<const KxArena*>(g->alloc_ud);
  std::vector<char> big(300 * kKiB, 'x');
  lua_pushlstring(L, big.data(), big.size());
  EXPECT_EQ(stats(a).direct, 1u);
  EXPECT_TRUE(kx_alloc_check(a));
  std::vector<uintptr_t> pages{addr(a), addr(L), addr(lua_tostring(L, -1))};
  lua_close(L);
  for (uintptr_t p : pages) EXPECT_TRUE(pages_are(false, p, 1)) << std::hex << p;
}

// ---- Randomized stress ------------------------------------------------------------------------------

struct Slot {
  unsigned char* p = nullptr;
  size_t n = 0;
  unsigned char tag = 0;
};

// The first 4 KiB are checked byte by byte, the rest at a stride, and a whole block also at its end.
template <typename F>
void each_checked_byte(size_t n, bool whole, F f) {
  for (size_t i = 0; i < n; i += i < 4096 ? 1 : 509) f(i);
  if (whole && n > 4096)
    for (size_t i = n - 256; i < n; i++) f(i);
}

unsigned char pattern(const Slot& s, size_t i) { return static_cast<unsigned char>(s.tag + i * 7 + (i >> 8)); }

void fill(Slot& s) {
  each_checked_byte(s.n, true, [&](size_t i) { s.p[i] = pattern(s, i); });
}

// The first n bytes still hold the block's pattern.
bool intact(const Slot& s, size_t n) {
  bool ok = true;
  each_checked_byte(n, n == s.n, [&](size_t i) { ok = ok && s.p[i] == pattern(s, i); });
  return ok;
}

size_t random_size(std::mt19937& rng) {
  uint32_t r = rng() % 1000;
  if (r < 700) return rng() % 260;
  if (r < 940) return 260 + rng() % 4000;
  if (r < 996) return 4000 + rng() % 120000;
  return 120000 + rng() % 400000;
}

void stress(KxArena* a, uint32_t seed, int ops, bool fragment) {
  std::mt19937 rng(seed);
  std::vector<Slot> slots(1500);
  Walls walls;
  for (int op = 1; op <= ops; op++) {
    Slot& s = slots[rng() % slots.size()];
    if (!s.p) {
      s.n = random_size(rng);
      s.p = static_cast<unsigned char*>(kx_alloc_malloc(a, s.n));
      ASSERT_NE(s.p, nullptr);
      s.tag = static_cast<unsigned char>(rng());
      fill(s);
    } else if (rng() % 3 == 0) {
      ASSERT_TRUE(intact(s, s.n)) << "op " << op;
      kx_alloc_free(a, s.p);
      s.p = nullptr;
    } else {
      ASSERT_TRUE(intact(s, s.n)) << "op " << op;
      size_t n = random_size(rng);
      auto* p = static_cast<unsigned char*>(kx_alloc_realloc(a, s.p, n));
      ASSERT_NE(p, nullptr);
      s.p = p;
      ASSERT_TRUE(intact(s, n < s.n ? n : s.n)) << "op " << op;
      s.n = n;
      s.tag = static_cast<unsigned char>(rng());
      fill(s);
    }
    if (op % 50 == 0) {
      ASSERT_TRUE(kx_alloc_check(a)) << "op " << op;
    }
    if (fragment && op % 300 == 0) walls.before_growth(a);
  }
  for (Slot& s : slots) {
    if (!s.p) continue;
    ASSERT_TRUE(intact(s, s.n));
    kx_alloc_free(a, s.p);
  }
  EXPECT_TRUE(kx_alloc_check(a));
  EXPECT_EQ(stats(a).direct, 0u);
}

TEST_F(Arena, StressKeepsEveryBlockIntact) { stress(a, 12345, 60000, false); }

TEST_F(Arena, StressInAFragmentedAddressSpace) {
  // Walls behind the top force many separate regions, which exercises moving the top and releasing
  // regions.
  stress(a, 777, 60000, true);
  EXPECT_GT(stats(a).segments, 1u);
}

TEST_F(Arena, SweepLikeFreeingKeepsEveryBlockIntact) {
  // The collector frees dead objects newest first, forty per step, while the program goes on
  // allocating: long runs of neighbours die one after another with requests in between.
  std::mt19937 rng(99);
  auto fresh_slot = [&] {
    Slot s;
    s.n = 8 + rng() % 120;
    s.p = reinterpret_cast<unsigned char*>(alloc(s.n));
    s.tag = static_cast<unsigned char>(rng());
    fill(s);
    return s;
  };
  std::vector<Slot> live;  // in allocation order
  for (int round = 0; round < 30; round++) {
    for (int i = 0; i < 500; i++) live.push_back(fresh_slot());
    std::vector<Slot> survivors, during;
    for (size_t k = live.size(), visited = 1; k-- > 0; visited++) {
      ASSERT_TRUE(intact(live[k], live[k].n)) << round << " " << k;
      if (rng() % 4) release(live[k].p);
      else survivors.push_back(live[k]);
      if (visited % 40 == 0) {
        ASSERT_TRUE(kx_alloc_check(a)) << round << " " << k;
        for (int j = 0; j < 6; j++) during.push_back(fresh_slot());
      }
    }
    live.assign(survivors.rbegin(), survivors.rend());
    live.insert(live.end(), during.begin(), during.end());
  }
  for (Slot& s : live) {
    ASSERT_TRUE(intact(s, s.n));
    release(s.p);
  }
}

// ---- Micro-benchmark against the C library (run with --gtest_also_run_disabled_tests) ----------------

// Every block is touched, as a real user would, which also keeps the compiler from eliding the calls.
template <typename Alloc, typename Free>
double ns_per_op(const std::vector<uint32_t>& sizes, int pattern, Alloc raw_alloc, Free free_fn) {
  auto alloc_fn = [&](size_t n) {
    void* p = raw_alloc(n);
    *static_cast<volatile char*>(p) = 1;
    return p;
  };
  constexpr size_t kLive = 4096;
  std::vector<void*> live(kLive, nullptr);
  auto t0 = std::chrono::steady_clock::now();
  size_t ops = 0;
  for (int round = 0; round < 20; round++) {
    if (pattern == 0) {  // allocate and free at once
      for (uint32_t n : sizes) free_fn(alloc_fn(n)), ops++;
    } else if (pattern == 1) {  // a pool of live objects, replaced at random
      for (size_t i = 0; i < sizes.size(); i++) {
        void*& slot = live[(sizes[i] * 2654435761u + i) % kLive];
        free_fn(slot);
        slot = alloc_fn(sizes[i]);
        ops++;
      }
    } else {  // build up many objects, then free them all
      std::vector<void*> all(sizes.size());
      for (size_t i = 0; i < sizes.size(); i++) all[i] = alloc_fn(sizes[i]);
      for (void* p : all) free_fn(p);
      ops += sizes.size();
    }
  }
  for (void*& p : live) free_fn(p), p = nullptr;
  auto dt = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  return dt / ops;
}

TEST(AllocBench, DISABLED_SmallPatternsAgainstMalloc) {
  std::mt19937 rng(1);
  std::vector<uint32_t> sizes(200000);
  for (uint32_t& n : sizes) n = 8 + rng() % 120;
  const char* names[] = {"alloc+free", "live pool", "build+free all"};
  for (int pattern = 0; pattern < 3; pattern++) {
    PrngState rs;
    ASSERT_TRUE(kx_prng_seed_secure(&rs));
    KxArena* a = kx_alloc_create(&rs);
    double arena = ns_per_op(sizes, pattern, [&](size_t n) { return kx_alloc_malloc(a, n); },
                             [&](void* p) { kx_alloc_free(a, p); });
    kx_alloc_destroy(a);
    double libc = ns_per_op(sizes, pattern, [](size_t n) { return malloc(n); }, [](void* p) { free(p); });
    printf("%-16s arena %6.1f ns/op   malloc %6.1f ns/op\n", names[pattern], arena, libc);
  }
}

}  // namespace
