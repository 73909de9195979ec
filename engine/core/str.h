// Interned strings: equal byte sequences are always the same GcString.
//
// Strings live only on the chains of the interning table (never on the collector's object list).
// Each chain head word carries a flag in its lowest bit: 1 means the chain is dense, its strings
// hashed and placed by the dense hash, which the table switches to when a chain grows costly under
// the sparse hash (which reads at most four words of any string).
#pragma once

#include "core/value.h"

struct GcString {
  KX_GC_HEADER;       // type byte 4; gc_next links the string into its interning chain
  uint8_t reserved;   // 0, or the number 1-24 of the reserved word this string spells
  uint8_t dense;      // 1 when hash is the dense hash
  uint32_t id;        // identity number; tables hash strings by it
  uint32_t hash;      // content hash, sparse or dense
  uint32_t len;       // length in bytes
  // followed by the bytes, zero-padded to the next multiple of 4 beyond len
};
static_assert(sizeof(GcString) == 20);
static_assert(offsetof(GcString, reserved) == 6 && offsetof(GcString, dense) == 7);
static_assert(offsetof(GcString, id) == 8 && offsetof(GcString, hash) == 12 && offsetof(GcString, len) == 16);

constexpr uint32_t KX_MAX_STR = 0x7fffff00;  // strings are shorter than this

inline const char* strdata(const GcString* s) { return reinterpret_cast<const char*>(s + 1); }
inline char* strdatawr(GcString* s) { return reinterpret_cast<char*>(s + 1); }
// Bytes of a string object with len bytes of content.
inline uint32_t kx_str_size(uint32_t len) { return sizeof(GcString) + 4 + (len & ~3u); }

// The interning table of a GlobalState.
struct InternTable {
  uint32_t* slots;     // chain heads (string references); bit 0 marks a dense chain
  uint32_t mask;       // slot count - 1; all ones before the first allocation
  uint32_t count;      // number of interned strings
  uint32_t next_id;    // identity number of the next new string
  uint8_t id_run;      // sequential ids left before the next random restart
  uint8_t any_dense;   // 1 when at least one slot is dense
  uint32_t seed_lo, seed_hi;
};

// Chains whose failed lookups cost more than this switch to the dense hash.
constexpr uint32_t KX_STR_MAXCHAIN_COST = 32;
// The slot array never grows beyond 2^25 slots.
constexpr uint32_t KX_STR_MAXMASK = 0x3fffffe;

GcString* kx_str_new(lua_State* L, const char* bytes, size_t len);
GcString* kx_str_newz(lua_State* L, const char* cstr);
void kx_str_resize(lua_State* L, uint32_t new_mask);
GcString* kx_str_rehash_chain(lua_State* L, uint32_t hash, const char* bytes, uint32_t len);
void kx_str_free(GlobalState* g, GcString* s);
int32_t kx_str_cmp(const GcString* a, const GcString* b);
const char* kx_str_find(const char* haystack, const char* needle, size_t hay_len, size_t needle_len);
bool kx_str_haspattern(const GcString* s);

uint32_t kx_str_hash_sparse(uint32_t seed_lo, const char* bytes, uint32_t len);
uint32_t kx_str_hash_dense(uint32_t seed_lo, uint32_t seed_hi, uint32_t h_sparse, const char* bytes,
                           uint32_t len);
