// Tables: an array part for small non-negative integer keys (starting at key 0) and a hash part of
// fixed-size nodes whose collision chains live inside the node array.
#pragma once

#include "core/str.h"
#include "core/value.h"

struct TableNode {
  Value val;            // nil marks an empty node or a removed entry
  Value key;            // nil only in a node never used since the last resize or clear
  Ref<TableNode> next;      // next node of the collision chain
  Ref<TableNode> free_top;  // node 0 only: the hash part's free-node pointer (one past the last free)
};
static_assert(sizeof(TableNode) == 24);
static_assert(offsetof(TableNode, key) == 8 && offsetof(TableNode, next) == 16 && offsetof(TableNode, free_top) == 20);

struct GcTable {
  KX_GC_HEADER;         // type byte 11; marks 0x08/0x10: weak keys/values
  uint8_t nomm;         // bit i: this table, as a metatable, has no metamethod number i (i < 8)
  int8_t colo;          // 0 separate array; 1-16 inline slots after the object; | 0x80 moved out
  Ref<Value> array;       // asize slots; slot i holds key i
  Ref<GcObj> gray_link;
  Ref<GcTable> metatable;
  Ref<TableNode> node;    // hmask + 1 nodes, or the GlobalState's nil_node
  uint32_t asize;
  uint32_t hmask;
};
static_assert(sizeof(GcTable) == 32);
static_assert(offsetof(GcTable, nomm) == 6 && offsetof(GcTable, colo) == 7 && offsetof(GcTable, array) == 8);
static_assert(offsetof(GcTable, gray_link) == 12 && offsetof(GcTable, metatable) == 16);
static_assert(offsetof(GcTable, node) == 20 && offsetof(GcTable, asize) == 24 && offsetof(GcTable, hmask) == 28);

constexpr uint32_t KX_MAX_ASIZE = 0x8000001;   // 2^27 + 1 array slots
constexpr uint32_t KX_MAX_HBITS = 26;          // 2^26 hash nodes
constexpr int8_t KX_COLO_MOVED = int8_t(0x80);  // inline array moved out
constexpr uint32_t KX_INLINE_ASIZE_MAX = 16;

// High word of an iteration key that carries a position in its low word (specialised iteration).
constexpr uint32_t KX_ITERKEY_TAG = 0xfffe7fff;

inline Value* arrayslot(const GcTable* t, uint32_t i) { return &t->array[i]; }
inline TableNode* noderef(const GcTable* t) { return t->node; }

GcTable* kx_tab_new(lua_State* L, uint32_t asize, uint32_t hbits);
GcTable* kx_tab_new_ah(lua_State* L, int32_t narr, int32_t nhash);
GcTable* kx_tab_new1(lua_State* L, uint32_t packed);
GcTable* kx_tab_dup(lua_State* L, const GcTable* kt);
void kx_tab_clear(GcTable* t);
void kx_tab_free(GlobalState* g, GcTable* t);
void kx_tab_resize(lua_State* L, GcTable* t, uint32_t asize, uint32_t hbits);
void kx_tab_reasize(lua_State* L, GcTable* t, uint32_t n);

const Value* kx_tab_get(lua_State* L, GcTable* t, const Value* key);
// The value slot of a string key, or null; the hot lookup of fields, methods and globals.
inline const Value* kx_tab_getstr(const GcTable* t, const GcString* key) {
  const TableNode* n = &t->node[key->id & t->hmask];
  do {
    if (n->key.u64 == kx_tagged(KX_TSTR, kx_ref_bits(key))) return &n->val;
  } while ((n = n->next) != nullptr);
  return nullptr;
}
TableNode* kx_tab_getinth(GcTable* t, int32_t k);
// The value slot of an integer key, or null; the array part needs no call.
inline const Value* kx_tab_getint(GcTable* t, int32_t k) {
  if (static_cast<uint32_t>(k) < t->asize) return &t->array[k];
  TableNode* n = kx_tab_getinth(t, k);
  return n ? &n->val : nullptr;
}
Value* kx_tab_set(lua_State* L, GcTable* t, const Value* key);
Value* kx_tab_setstr(lua_State* L, GcTable* t, const GcString* key);
Value* kx_tab_setint(lua_State* L, GcTable* t, int32_t k);
Value* kx_tab_setinth(lua_State* L, GcTable* t, int32_t k);
Value* kx_tab_newkey(lua_State* L, GcTable* t, const Value* key);
int kx_tab_next(GcTable* t, const Value* key, Value out[2]);
uint32_t kx_tab_len(GcTable* t);
uint32_t kx_tab_len_hint(GcTable* t, uint32_t hint);
