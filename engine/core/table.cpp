// Tables: array part, hash part with in-array collision chains, resizing, iteration and length.
#include "core/table.h"

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"

static inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

static inline uint32_t hashmix(uint32_t lo, uint32_t hi) {
  lo ^= hi;
  lo -= rol(hi, 14);
  hi = rol(hi, 19) ^ lo;
  hi -= rol(lo, 13);
  return hi;
}

// ---- Main positions -------------------------------------------------------------------------------------

static inline TableNode* hashstr(const GcTable* t, const GcString* s) { return &t->node[s->id & t->hmask]; }

// The shift drops the sign bit, so +0 and -0 share a main position.
static inline TableNode* hashnum(const GcTable* t, const Value* key) {
  return &t->node[hashmix(key->w.lo, key->w.hi << 1) & t->hmask];
}

static inline TableNode* hashint(const GcTable* t, int32_t k) {
  Value key;
  key.n = static_cast<double>(k);
  return hashnum(t, &key);
}

static TableNode* hashkey(const GcTable* t, const Value* key) {
  if (tv_isstr(key)) return hashstr(t, strV(key));
  if (tv_isnum(key)) return hashnum(t, key);
  if (tv_isbool(key)) return &t->node[(tv_istrue(key) ? 1 : 0) & t->hmask];
  uint32_t p = key->w.lo;
  return &t->node[hashmix(p, p - 0x04c11db7) & t->hmask];
}

// Raw key equality for keys that are not numbers.
static inline bool samekey(const Value* a, const Value* b) {
  return kx_tag(a) == kx_tag(b) && (tv_isprim(a) || a->w.lo == b->w.lo);
}

static inline uint32_t hbits_for(uint32_t n) {
  if (n == 0) return 0;
  if (n == 1) return 1;
  return 32 - static_cast<uint32_t>(__builtin_clz(n - 1));
}

static inline uint32_t hbits_of(const GcTable* t) {
  return t->hmask ? 32 - static_cast<uint32_t>(__builtin_clz(t->hmask)) : 0;
}

// ---- Creation and freeing ------------------------------------------------------------------------------

static void nodes_clear(TableNode* node, uint32_t hmask) {
  for (uint32_t i = 0; i <= hmask; i++) {
    setnilV(&node[i].val);
    setnilV(&node[i].key);
    node[i].next = nullptr;
  }
  node[0].free_top = node + hmask + 1;
}

static void table_newhash(lua_State* L, GcTable* t, uint32_t hbits) {
  if (hbits == 0) {
    t->node = &G(L)->nil_node;
    t->hmask = 0;
    return;
  }
  if (hbits > KX_MAX_HBITS) kx_err_msg(L, KX_ERR_TableOverflow);
  uint32_t hsize = 1u << hbits;
  TableNode* node = kx_mem_newvec<TableNode>(L, hsize);
  nodes_clear(node, hsize - 1);
  t->node = node;
  t->hmask = hsize - 1;
}

GcTable* kx_tab_new(lua_State* L, uint32_t asize, uint32_t hbits) {
  GlobalState* g = G(L);
  if (asize > KX_MAX_ASIZE || hbits > KX_MAX_HBITS) kx_err_msg(L, KX_ERR_TableOverflow);
  bool inline_array = asize > 0 && asize <= KX_INLINE_ASIZE_MAX;
  size_t size = sizeof(GcTable) + (inline_array ? asize * sizeof(Value) : 0);
  GcTable* t = reinterpret_cast<GcTable*>(kx_mem_newgco(L, size));
  // Consistent before any further allocation, which may fail and leave t for the sweep.
  t->gc_type = KX_ITAB;
  t->nomm = 0xff;
  t->colo = inline_array ? static_cast<int8_t>(asize) : 0;
  t->array = inline_array ? reinterpret_cast<Value*>(t + 1) : nullptr;
  t->gray_link = nullptr;
  t->metatable = nullptr;
  t->node = &g->nil_node;
  t->asize = inline_array ? asize : 0;
  t->hmask = 0;
  if (asize > 0 && !inline_array) {
    t->array = kx_mem_newvec<Value>(L, asize);
    t->asize = asize;
  }
  for (uint32_t i = 0; i < asize; i++) setnilV(&t->array[i]);
  table_newhash(L, t, hbits);
  return t;
}

GcTable* kx_tab_new_ah(lua_State* L, int32_t narr, int32_t nhash) {
  return kx_tab_new(L, narr > 0 ? static_cast<uint32_t>(narr) + 1 : 0,
                    nhash > 0 ? hbits_for(static_cast<uint32_t>(nhash)) : 0);
}

GcTable* kx_tab_new1(lua_State* L, uint32_t packed) { return kx_tab_new(L, packed & 0xffffff, packed >> 24); }

GcTable* kx_tab_dup(lua_State* L, const GcTable* kt) {
  GcTable* t = kx_tab_new(L, kt->asize, hbits_of(kt));
  t->nomm = 0;
  if (kt->asize < 64) {
    for (uint32_t i = 0; i < kt->asize; i++) copyV(&t->array[i], &kt->array[i]);
  } else {
    memcpy(t->array, kt->array, kt->asize * sizeof(Value));
  }
  if (kt->hmask > 0) {
    TableNode* node = t->node;
    const TableNode* knode = kt->node;
    // Links are relocated by their index: the two node arrays may lie more than 2 GiB apart.
    for (uint32_t i = 0; i <= kt->hmask; i++) {
      const TableNode* kn = &knode[i];
      TableNode* n = &node[i];
      // Keys whose values are computed at run time hold the template itself: they get nil here.
      if (tv_istab(&kn->val)) setnilV(&n->val);
      else copyV(&n->val, &kn->val);
      copyV(&n->key, &kn->key);
      n->next = kn->next ? node + (kn->next - knode) : nullptr;
    }
    node[0].free_top = node + (knode[0].free_top - knode);
  }
  return t;
}

void kx_tab_clear(GcTable* t) {
  for (uint32_t i = 0; i < t->asize; i++) setnilV(&t->array[i]);
  if (t->hmask > 0) nodes_clear(t->node, t->hmask);
}

void kx_tab_free(GlobalState* g, GcTable* t) {
  if (t->hmask > 0) kx_mem_freevec(g, t->node, t->hmask + 1);
  if (t->colo <= 0 && t->asize > 0) kx_mem_freevec(g, t->array, t->asize);
  kx_mem_free(g, t, sizeof(GcTable) + (t->colo & 0x7f) * sizeof(Value));
}

// ---- Resizing --------------------------------------------------------------------------------------------

void kx_tab_resize(lua_State* L, GcTable* t, uint32_t asize, uint32_t hbits) {
  GlobalState* g = G(L);
  if (asize > KX_MAX_ASIZE || hbits > KX_MAX_HBITS) kx_err_msg(L, KX_ERR_TableOverflow);
  uint32_t oldasize = t->asize, oldhmask = t->hmask;
  TableNode* oldnode = t->node;
  if (asize > oldasize) {
    Value* array;
    if (t->colo > 0) {
      // The inline part stays allocated with the object; the array moves out.
      array = kx_mem_newvec<Value>(L, asize);
      memcpy(array, t->array, oldasize * sizeof(Value));
      t->colo = static_cast<int8_t>(t->colo | KX_COLO_MOVED);
    } else {
      array = kx_mem_reallocvec(L, t->array, oldasize, asize);
    }
    for (uint32_t i = oldasize; i < asize; i++) setnilV(&array[i]);
    t->array = array;
    t->asize = asize;
  }
  if (hbits > 0) {
    uint32_t hsize = 1u << hbits;
    TableNode* node = kx_mem_newvec<TableNode>(L, hsize);
    nodes_clear(node, hsize - 1);
    t->node = node;
    t->hmask = hsize - 1;
  } else {
    t->node = &g->nil_node;
    t->hmask = 0;
  }
  if (asize < oldasize) {
    t->asize = asize;
    for (uint32_t i = asize; i < oldasize; i++)
      if (!tv_isnil(&t->array[i])) copyV(kx_tab_setinth(L, t, static_cast<int32_t>(i)), &t->array[i]);
    if (t->colo <= 0) {
      if (asize) {
        t->array = kx_mem_reallocvec(L, t->array, oldasize, asize);
      } else {
        kx_mem_freevec(g, t->array, oldasize);
        t->array = nullptr;
      }
    }
  }
  if (oldhmask > 0) {
    for (uint32_t i = 0; i <= oldhmask; i++) {
      TableNode* n = &oldnode[i];
      if (!tv_isnil(&n->val)) copyV(kx_tab_set(L, t, &n->key), &n->val);
    }
    kx_mem_freevec(g, oldnode, oldhmask + 1);
  }
}

void kx_tab_reasize(lua_State* L, GcTable* t, uint32_t n) { kx_tab_resize(L, t, n + 1, hbits_of(t)); }

// Integer keys are counted in bins by magnitude: bin 0 holds keys 0-2, bin b holds 2^b+1 ... 2^(b+1).
constexpr uint32_t KX_TAB_BINS = 28;

static inline uint32_t bin_of(uint32_t k) { return k <= 2 ? 0 : 31 - static_cast<uint32_t>(__builtin_clz(k - 1)); }

static uint32_t count_intkey(const Value* key, uint32_t* bins) {
  int32_t k;
  if (tv_isnum(key) && kx_num2int_exact(key->n, &k) && static_cast<uint32_t>(k) < KX_MAX_ASIZE) {
    bins[bin_of(static_cast<uint32_t>(k))]++;
    return 1;
  }
  return 0;
}

static uint32_t count_array(const GcTable* t, uint32_t* bins) {
  uint32_t na = 0;
  for (uint32_t i = 0; i < t->asize; i++)
    if (!tv_isnil(&t->array[i])) {
      bins[bin_of(i)]++;
      na++;
    }
  return na;
}

static void rehash(lua_State* L, GcTable* t, const Value* newkey) {
  uint32_t bins[KX_TAB_BINS] = {};
  uint32_t narray = count_array(t, bins);
  uint32_t na = narray, nh = 0;
  for (uint32_t i = 0; i <= t->hmask; i++) {
    TableNode* n = &t->node[i];
    if (!tv_isnil(&n->val)) {
      nh++;
      na += count_intkey(&n->key, bins);
    }
  }
  na += count_intkey(newkey, bins);
  // The largest array of 2^(b+1) + 1 slots that would be more than half full.
  uint32_t asize = 0, in_array = 0, sum = 0;
  for (uint32_t b = 0; b < KX_TAB_BINS && 2 * na > (1u << b) && sum < na; b++) {
    sum += bins[b];
    if (bins[b] > 0 && 2 * sum > (1u << b)) {
      asize = (2u << b) + 1;
      in_array = sum;
    }
  }
  kx_tab_resize(L, t, asize, hbits_for(nh + narray + 1 - in_array));
}

// ---- Lookup ----------------------------------------------------------------------------------------------

TableNode* kx_tab_getinth(GcTable* t, int32_t k) {
  double d = static_cast<double>(k);
  TableNode* n = hashint(t, k);
  do {
    if (tv_isnum(&n->key) && n->key.n == d) return n;
  } while ((n = n->next) != nullptr);
  return nullptr;
}

static TableNode* find_node(const GcTable* t, const Value* key) {
  TableNode* n = hashkey(t, key);
  if (tv_isnum(key)) {
    do {
      if (tv_isnum(&n->key) && n->key.n == key->n) return n;
    } while ((n = n->next) != nullptr);
  } else {
    do {
      if (samekey(&n->key, key)) return n;
    } while ((n = n->next) != nullptr);
  }
  return nullptr;
}

const Value* kx_tab_get(lua_State* L, GcTable* t, const Value* key) {
  const Value* v = nullptr;
  if (tv_isstr(key)) {
    v = kx_tab_getstr(t, strV(key));
  } else if (tv_isnum(key)) {
    int32_t k;
    if (kx_num2int_exact(key->n, &k)) v = kx_tab_getint(t, k);
    else if (TableNode* n = find_node(t, key)) v = &n->val;
  } else if (!tv_isnil(key)) {
    TableNode* n = find_node(t, key);
    v = n ? &n->val : nullptr;
  }
  return v ? v : niltv(G(L));
}

// ---- Stores ----------------------------------------------------------------------------------------------

// Moves the entry of a non-main-position node n to the free node and relinks the chains through it.
static void move_collider(const GcTable* t, TableNode* n, TableNode* freenode) {
  TableNode* prev = hashkey(t, &n->key);
  while (prev->next != n) prev = prev->next;
  prev->next = freenode;
  copyV(&freenode->val, &n->val);
  copyV(&freenode->key, &n->key);
  freenode->next = n->next;
  n->next = nullptr;
  setnilV(&n->val);
  // A node of the moved chain whose main position is n belongs behind n now; after that, any
  // entry left outside its main position is relinked behind its main position.
  TableNode* cur = freenode;
  while (TableNode* nn = cur->next) {
    if (!tv_isnil(&nn->val) && hashkey(t, &nn->key) == n) {
      cur->next = nn->next;
      nn->next = n->next;
      n->next = nn;
      while ((nn = cur->next) != nullptr) {
        TableNode* mn = tv_isnil(&nn->val) ? nn : hashkey(t, &nn->key);
        if (mn != nn && mn != cur) {
          cur->next = nn->next;
          nn->next = mn->next;
          mn->next = nn;
        } else {
          cur = nn;
        }
      }
      break;
    }
    cur = nn;
  }
}

Value* kx_tab_newkey(lua_State* L, GcTable* t, const Value* key) {
  TableNode* n = hashkey(t, key);
  if (!tv_isnil(&n->val) || t->hmask == 0) {
    TableNode* nodebase = t->node;
    TableNode* freenode = nodebase->free_top;
    do {
      if (freenode == nodebase) {
        rehash(L, t, key);
        return kx_tab_set(L, t, key);
      }
    } while (!tv_isnil(&(--freenode)->key));
    nodebase->free_top = freenode;
    if (hashkey(t, &n->key) != n) {
      move_collider(t, n, freenode);
    } else {
      freenode->next = n->next;
      n->next = freenode;
      n = freenode;
    }
  }
  copyV(&n->key, key);
  if (tv_isnum(key) && key->n == 0) n->key.u64 = 0;  // -0 is stored as +0
  kx_gc_barrierback(G(L), t);
  return &n->val;
}

Value* kx_tab_setstr(lua_State* L, GcTable* t, const GcString* key) {
  t->nomm = 0;
  TableNode* n = hashstr(t, key);
  do {
    if (tv_isstr(&n->key) && strV(&n->key) == key) return &n->val;
  } while ((n = n->next) != nullptr);
  Value k;
  setstrV(&k, key);
  return kx_tab_newkey(L, t, &k);
}

Value* kx_tab_setinth(lua_State* L, GcTable* t, int32_t k) {
  if (TableNode* n = kx_tab_getinth(t, k)) return &n->val;
  Value key;
  key.n = static_cast<double>(k);
  return kx_tab_newkey(L, t, &key);
}

Value* kx_tab_setint(lua_State* L, GcTable* t, int32_t k) {
  if (static_cast<uint32_t>(k) < t->asize) return &t->array[k];
  return kx_tab_setinth(L, t, k);
}

Value* kx_tab_set(lua_State* L, GcTable* t, const Value* key) {
  t->nomm = 0;
  if (tv_isstr(key)) return kx_tab_setstr(L, t, strV(key));
  if (tv_isnum(key)) {
    int32_t k;
    if (kx_num2int_exact(key->n, &k)) return kx_tab_setint(L, t, k);
    if (key->n != key->n) kx_err_msg(L, KX_ERR_TableIndexNaN);
  } else if (tv_isnil(key)) {
    kx_err_msg(L, KX_ERR_TableIndexNil);
  }
  if (TableNode* n = find_node(t, key)) return &n->val;
  return kx_tab_newkey(L, t, key);
}

// ---- Iteration -------------------------------------------------------------------------------------------

// The position of a key: 0 for nil, k + 1 in the array part, asize + node + 1 in the hash part,
// -1 when absent.
static int64_t keyindex(GcTable* t, const Value* key) {
  if (tv_isnil(key)) return 0;
  if (key->w.hi == KX_ITERKEY_TAG) return key->w.lo;
  if (tv_isnum(key)) {
    int32_t k;
    if (kx_num2int_exact(key->n, &k) && static_cast<uint32_t>(k) < t->asize) return static_cast<int64_t>(k) + 1;
  }
  TableNode* n = find_node(t, key);
  if (n == nullptr) return -1;
  return static_cast<int64_t>(t->asize) + (n - t->node) + 1;
}

int kx_tab_next(GcTable* t, const Value* key, Value out[2]) {
  int64_t idx = keyindex(t, key);
  if (idx < 0) return -1;
  uint32_t i = static_cast<uint32_t>(idx);
  for (; i < t->asize; i++) {
    if (!tv_isnil(&t->array[i])) {
      setnumV(&out[0], i);
      copyV(&out[1], &t->array[i]);
      return 1;
    }
  }
  for (i -= t->asize; i <= t->hmask; i++) {
    TableNode* n = &t->node[i];
    if (!tv_isnil(&n->val)) {
      copyV(&out[0], &n->key);
      copyV(&out[1], &n->val);
      return 1;
    }
  }
  return 0;
}

// ---- Length ----------------------------------------------------------------------------------------------

static inline bool hasint(GcTable* t, uint32_t k) {
  const Value* v = kx_tab_getint(t, static_cast<int32_t>(k));
  return v && !tv_isnil(v);
}

static uint32_t unbound_search(GcTable* t, uint32_t j) {
  uint32_t i = j + 1;
  while (hasint(t, i)) {
    j = i;
    if (i > 0x7ffffffdu / 2) {
      // Absurdly sparse or adversarial: scan linearly.
      i = 1;
      while (hasint(t, i)) i++;
      return i - 1;
    }
    i *= 2;
  }
  while (i - j > 1) {
    uint32_t m = (i + j) / 2;
    if (hasint(t, m)) j = m;
    else i = m;
  }
  return j;
}

uint32_t kx_tab_len(GcTable* t) {
  uint32_t j = t->asize;
  if (j > 1 && tv_isnil(&t->array[j - 1])) {
    uint32_t lo = 0, hi = j - 1;
    while (hi - lo > 1) {
      uint32_t m = (lo + hi) / 2;
      if (tv_isnil(&t->array[m])) hi = m;
      else lo = m;
    }
    return lo;
  }
  if (j) j--;
  if (t->hmask == 0) return j;
  return unbound_search(t, j);
}

uint32_t kx_tab_len_hint(GcTable* t, uint32_t hint) {
  if (hint < t->asize && !tv_isnil(&t->array[hint])) {
    if (hint + 1 < t->asize) {
      if (tv_isnil(&t->array[hint + 1])) return hint;
    } else if (t->hmask == 0) {
      return hint;
    }
  }
  return kx_tab_len(t);
}
