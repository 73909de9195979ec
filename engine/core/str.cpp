// String interning with the seeded sparse hash and, for costly chains, the dense hash.
#include "core/str.h"

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"

static inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
static inline uint32_t getu32(const char* p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}
static inline uint32_t getbyte(const char* p) { return static_cast<uint8_t>(*p); }

uint32_t kx_str_hash_sparse(uint32_t seed_lo, const char* str, uint32_t len) {
  uint32_t a, b, h = seed_lo ^ len;
  if (len >= 4) {
    a = getu32(str);
    h ^= getu32(str + len - 4);
    b = getu32(str + (len >> 1) - 2);
    h ^= b;
    h -= rol(b, 14);
    b += getu32(str + (len >> 2) - 1);
  } else {
    a = getbyte(str);
    h ^= getbyte(str + len - 1);
    b = getbyte(str + (len >> 1));
    h ^= b;
    h -= rol(b, 14);
  }
  a ^= h;
  a -= rol(h, 11);
  b ^= a;
  b -= rol(a, 25);
  h ^= b;
  h -= rol(b, 16);
  return h;
}

uint32_t kx_str_hash_dense(uint32_t seed_lo, uint32_t seed_hi, uint32_t h, const char* str, uint32_t len) {
  uint32_t b = __builtin_bswap32(rol(seed_hi ^ h, 4));
  if (len <= 12) return b;
  uint32_t a = seed_lo, c = h;
  auto mix = [&](const char* p) {
    a += getu32(p);
    b += getu32(p + 4);
    c += getu32(p + 8);
    c ^= b;
    c -= rol(b, 14);
    a ^= c;
    a -= rol(c, 11);
    b ^= a;
    b -= rol(a, 25);
  };
  mix(str + len - 12);
  for (uint32_t i = 0; i < len - 12; i += 12) mix(str + i);
  c ^= b;
  c -= rol(b, 16);
  a ^= c;
  a -= rol(c, 4);
  b ^= a;
  b -= rol(a, 14);
  return b;
}

static inline GcString* chain_head(uint32_t slot) { return reinterpret_cast<GcString*>(uintptr_t(slot & ~1u)); }
static inline GcString* chain_next(const GcString* s) { return reinterpret_cast<GcString*>(s->gc_next.get()); }

// Inserts s at the head of a chain, keeping the chain's dense flag.
static inline void chain_insert(uint32_t* slot, GcString* s) {
  s->gc_next = obj2gco(chain_head(*slot));
  *slot = kx_ref_bits(s) | (*slot & 1);
}

static inline bool str_isdead(const GlobalState* g, const GcString* s) {
  return (s->gc_marks & (g->gc.current_white ^ KX_GC_WHITES) & KX_GC_WHITES) != 0;
}

static inline uint32_t dense_hash_of(const GlobalState* g, const GcString* s, uint32_t sparse) {
  return kx_str_hash_dense(g->intern.seed_lo, g->intern.seed_hi, sparse, strdata(s), s->len);
}

void kx_str_resize(lua_State* L, uint32_t new_mask) {
  GlobalState* g = G(L);
  InternTable* it = &g->intern;
  if (g->gc.phase == KX_GC_SWEEPSTRING || new_mask > KX_STR_MAXMASK) return;
  uint32_t bytes = (new_mask + 1) * sizeof(uint32_t);
  uint32_t* nslots;
  if (it->slots && new_mask < it->mask) {
    // Shrinking (the collector's doing) only saves memory: without room for the smaller array the
    // table keeps its size, so that a collection step never raises a memory error.
    nslots = static_cast<uint32_t*>(kx_mem_tryrealloc(g, nullptr, 0, bytes));
    if (nslots == nullptr) return;
  } else {
    nslots = static_cast<uint32_t*>(kx_mem_realloc(L, nullptr, 0, bytes));
  }
  memset(nslots, 0, bytes);
  uint32_t old_slots = it->slots ? it->mask + 1 : 0;
  if (it->any_dense) {
    // Count per new slot the strings its sparse hash would place there; crowded slots go dense.
    for (uint32_t i = 0; i < old_slots; i++)
      for (GcString* s = chain_head(it->slots[i]); s; s = chain_next(s)) {
        uint32_t h = s->dense ? kx_str_hash_sparse(it->seed_lo, strdata(s), s->len) : s->hash;
        nslots[h & new_mask]++;
      }
    bool any = false;
    for (uint32_t i = 0; i <= new_mask; i++) {
      nslots[i] = nslots[i] > KX_STR_MAXCHAIN_COST;
      any |= nslots[i] != 0;
    }
    it->any_dense = any;
  }
  for (uint32_t i = old_slots; i-- > 0;) {
    GcString* s = chain_head(it->slots[i]);
    while (s) {
      GcString* next = chain_next(s);
      if (s->dense) {
        uint32_t sparse = kx_str_hash_sparse(it->seed_lo, strdata(s), s->len);
        if (!(nslots[sparse & new_mask] & 1)) {
          s->hash = sparse;
          s->dense = 0;
        }
      } else if (nslots[s->hash & new_mask] & 1) {
        s->hash = dense_hash_of(g, s, s->hash);
        s->dense = 1;
      }
      chain_insert(&nslots[s->hash & new_mask], s);
      s = next;
    }
  }
  if (it->slots) kx_mem_freevec(g, it->slots, old_slots);
  it->slots = nslots;
  it->mask = new_mask;
}

GcString* kx_str_rehash_chain(lua_State* L, uint32_t hash, const char* str, uint32_t len) {
  GlobalState* g = G(L);
  InternTable* it = &g->intern;
  bool sweeping = g->gc.phase == KX_GC_SWEEPSTRING;
  uint32_t* slot = &it->slots[hash & it->mask];
  GcString* s = chain_head(*slot);
  *slot = 1;
  it->any_dense = 1;
  while (s) {
    GcString* next = chain_next(s);
    if (sweeping && str_isdead(g, s)) {
      kx_str_free(g, s);
    } else {
      if (sweeping)
        s->gc_marks = static_cast<uint8_t>((s->gc_marks & ~(KX_GC_WHITES | KX_GC_BLACK)) |
                                           (g->gc.current_white & KX_GC_WHITES));
      if (!s->dense) {
        s->hash = dense_hash_of(g, s, s->hash);
        s->dense = 1;
      }
      chain_insert(&it->slots[s->hash & it->mask], s);
    }
    s = next;
  }
  return kx_str_new(L, str, len);
}

static uint32_t next_string_id(GlobalState* g) {
  InternTable* it = &g->intern;
  if (it->id_run-- == 0) {
    uint64_t r = kx_prng_u64(&g->prng);
    it->next_id = static_cast<uint32_t>(r);
    it->id_run = static_cast<uint8_t>(r >> 56);
  }
  return it->next_id++;
}

GcString* kx_str_new(lua_State* L, const char* str, size_t lenx) {
  GlobalState* g = G(L);
  if (lenx == 0) return &g->empty_string;
  if (lenx >= KX_MAX_STR) kx_err_msg(L, KX_ERR_StringLengthOverflow);
  uint32_t len = static_cast<uint32_t>(lenx);
  InternTable* it = &g->intern;
  uint32_t h = kx_str_hash_sparse(it->seed_lo, str, len);
  bool dense = false;
  if (it->slots[h & it->mask] & 1) {
    h = kx_str_hash_dense(it->seed_lo, it->seed_hi, h, str, len);
    dense = true;
  }
  uint32_t* slot = &it->slots[h & it->mask];
  uint32_t cost = 0;
  for (GcString* s = chain_head(*slot); s; s = chain_next(s)) {
    if (s->hash == h && s->len == len) {
      if (memcmp(str, strdata(s), len) == 0) {
        if (str_isdead(g, s)) s->gc_marks ^= KX_GC_WHITES;
        return s;
      }
      cost += 2;
    } else {
      cost++;
    }
  }
  if (!dense && cost > KX_STR_MAXCHAIN_COST) return kx_str_rehash_chain(L, h, str, len);
  GcString* s = static_cast<GcString*>(kx_mem_realloc(L, nullptr, 0, kx_str_size(len)));
  s->gc_marks = g->gc.current_white & KX_GC_WHITES;
  s->gc_type = KX_ISTR;
  s->reserved = 0;
  s->dense = dense;
  s->id = next_string_id(g);
  s->hash = h;
  s->len = len;
  char* data = strdatawr(s);
  memset(data + (len & ~3u), 0, 4);
  memcpy(data, str, len);
  chain_insert(slot, s);
  if (it->count++ > it->mask) kx_str_resize(L, 2 * it->mask + 1);
  return s;
}

GcString* kx_str_newz(lua_State* L, const char* cstr) { return kx_str_new(L, cstr, strlen(cstr)); }

void kx_str_free(GlobalState* g, GcString* s) {
  g->intern.count--;
  kx_mem_free(g, s, kx_str_size(s->len));
}

int32_t kx_str_cmp(const GcString* a, const GcString* b) {
  uint32_t n = a->len < b->len ? a->len : b->len;
  int r = memcmp(strdata(a), strdata(b), n);
  if (r != 0) return r < 0 ? -1 : 1;
  return static_cast<int32_t>(a->len - b->len);
}

const char* kx_str_find(const char* p, const char* needle, size_t hay_len, size_t n) {
  if (n > hay_len) return nullptr;
  if (n == 0) return p;
  char first = *needle++;
  n--;
  for (size_t left = hay_len - n; left > 0;) {
    const char* q = static_cast<const char*>(memchr(p, first, left));
    if (!q) return nullptr;
    if (memcmp(q + 1, needle, n) == 0) return q;
    left -= static_cast<size_t>(q + 1 - p);
    p = q + 1;
  }
  return nullptr;
}

bool kx_str_haspattern(const GcString* s) {
  const char* p = strdata(s);
  for (uint32_t i = 0; i < s->len; i++) {
    char c = p[i];
    if (c != 0 && strchr("^$*+?.([%-", c)) return true;
  }
  return false;
}
