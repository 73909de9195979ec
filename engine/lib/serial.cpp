// Serialization of values into string buffers and back.
//
// The encoder writes through a local write position and asks the buffer for room once per value (a
// string's bytes included). The decoder reads between two positions and checks every count against
// the bytes left before it allocates anything, so truncated or hostile input can neither read past
// the end nor make it allocate more than the input could describe. No collector step runs while
// either works: new tables are filled without write barriers, and decoded keys wait in C locals.
#include "lib/serial.h"

#include "core/cdata.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/table.h"
#include "vm/err.h"

// ---- Dictionaries -----------------------------------------------------------------------------------------

// Hash bits for n entries: 2^k slots, k = 1 for one entry, else the smallest k with 2^k >= n.
static uint32_t hbits_for(uint32_t n) {
  if (n <= 1) return n;
  return 32 - static_cast<uint32_t>(__builtin_clz(n - 1));
}

void kx_serial_dict_prepare(lua_State* L, GcTable* dict, bool strings) {
  if (dict->node != &G(L)->nil_node) return;  // prepared before, or keyed by the script: used as it is
  uint32_t len = kx_tab_len(dict);
  kx_tab_resize(L, dict, dict->asize, hbits_for(len));
  for (uint32_t i = 1; i <= len && i < dict->asize; i++) {
    Value entry;
    copyV(&entry, &dict->array[i]);
    if (tv_isfalse(&entry)) continue;
    if (strings ? !tv_isstr(&entry) : !tv_istab(&entry)) kx_err_caller(L, KX_ERR_BadOptionsTable);
    Value* slot = kx_tab_set(L, dict, &entry);
    if (tv_isnil(slot)) slot->u64 = i - 1;
  }
  kx_gc_barrierback(G(L), dict);
}

// The index under which a dictionary lists obj, or -1. The hash entry is only a hint: the script may
// have changed the table since it was prepared, so the array slot it names must still hold obj.
static int64_t dict_index(lua_State* L, GcTable* dict, const Value* obj) {
  const Value* hit = tv_isstr(obj) ? kx_tab_getstr(dict, strV(obj)) : kx_tab_get(L, dict, obj);
  if (hit == nullptr || !tv_isnum(hit)) return -1;
  uint64_t i = hit->u64;
  if (i + 1 >= dict->asize || dict->array[i + 1].u64 != obj->u64) return -1;
  return static_cast<int64_t>(i);
}

// ---- Encoding ---------------------------------------------------------------------------------------------

struct Encoder {
  lua_State* L;
  StrBufExt* sbx;
  uint32_t start;  // unread length when the encode began; restored when it fails
};

static inline char* room(Encoder* en, char* w, uint32_t n) {
  StrBuf* sb = &en->sbx->sb;
  if (n <= static_cast<uint32_t>(sb->e - w)) return w;
  sb->w = w;
  return kx_buf_more2(sb, n);
}

static inline char* put_u124(char* w, uint32_t v) {
  if (v < 0xe0) {
    *w++ = static_cast<char>(v);
  } else if (v < 0x1fe0) {
    v -= 0xe0;
    *w++ = static_cast<char>(0xe0 | (v >> 8));
    *w++ = static_cast<char>(v);
  } else {
    *w++ = static_cast<char>(0xff);
    memcpy(w, &v, 4);  // the engine runs on little-endian processors only
    w += 4;
  }
  return w;
}

[[noreturn]] static void enc_fail(Encoder* en, ErrorCode code, const char* arg) {
  StrBufExt* sbx = en->sbx;
  sbx->sb.w = sbx->r + en->start;
  if (arg) kx_err_callerv(en->L, code, arg);
  kx_err_caller(en->L, code);
}

static char* enc_value(Encoder* en, char* w, const Value* v);

static char* enc_table(Encoder* en, char* w, GcTable* t) {
  StrBufExt* sbx = en->sbx;
  if (sbx->depth-- == 0) enc_fail(en, KX_ERR_SerializeTooDeep, nullptr);
  uint32_t narray = t->asize;
  while (narray > 0 && tv_isnil(&t->array[narray - 1])) narray--;
  uint32_t start = narray > 0 && tv_isnil(&t->array[0]) ? 1 : 0;
  TableNode* node = t->node;
  uint32_t nhash = 0;
  for (uint32_t i = 0; i <= t->hmask; i++) nhash += !tv_isnil(&node[i].val);
  w = room(en, w, 6 + 1 + 5 + 5);  // metatable index, tag, narray, nhash
  if (sbx->dict_mt && t->metatable) {
    Value mt;
    settabV(&mt, t->metatable);
    int64_t i = dict_index(en->L, sbx->dict_mt, &mt);
    if (i >= 0) {
      *w++ = KX_SER_TAB_MT;
      w = put_u124(w, static_cast<uint32_t>(i));
    }
  }
  uint32_t tag = KX_SER_TAB + (narray ? (start ? 4 : 2) : 0) + (nhash ? 1 : 0);
  *w++ = static_cast<char>(tag);
  if (narray) w = put_u124(w, narray);
  if (nhash) w = put_u124(w, nhash);
  for (uint32_t i = start; i < narray; i++) w = enc_value(en, w, &t->array[i]);
  GcTable* dict = sbx->dict_str;
  for (uint32_t i = t->hmask + 1; i-- > 0;) {
    const TableNode* n = &node[i];
    if (tv_isnil(&n->val)) continue;
    int64_t k = dict && tv_isstr(&n->key) ? dict_index(en->L, dict, &n->key) : -1;
    if (k >= 0) {
      w = room(en, w, 6);
      *w++ = KX_SER_DICT_STR;
      w = put_u124(w, static_cast<uint32_t>(k));
    } else {
      w = enc_value(en, w, &n->key);
    }
    w = enc_value(en, w, &n->val);
  }
  sbx->depth++;
  return w;
}

// 64-bit integers and complex doubles with their raw bytes; other C data cannot be serialized.
static char* enc_cdata(Encoder* en, char* w, const Value* v) {
  GlobalState* g = G(en->L);
  uint64_t x;
  double parts[2];
  CdataIntKind kind = kx_cdata_int64(g, cdataV(v), &x);
  if (kind == KX_CINT_I64 || kind == KX_CINT_U64) {
    *w++ = static_cast<char>(kind == KX_CINT_I64 ? KX_SER_INT64 : KX_SER_UINT64);
    memcpy(w, &x, 8);
    return w + 8;
  }
  if (!kx_cdata_complex(g, cdataV(v), parts)) enc_fail(en, KX_ERR_CannotSerialize, kx_obj_typename_of(v));
  w = room(en, w, 17);
  *w++ = static_cast<char>(KX_SER_COMPLEX);
  memcpy(w, parts, 16);
  return w + 16;
}

static char* enc_value(Encoder* en, char* w, const Value* v) {
  if (tv_isstr(v)) {
    const GcString* s = strV(v);
    uint32_t len = s->len;
    w = room(en, w, 5 + len);
    w = put_u124(w, KX_SER_STR + len);
    memcpy(w, strdata(s), len);
    return w + len;
  }
  w = room(en, w, 9);
  if (tv_isnum(v)) {
    *w++ = KX_SER_NUM;
    memcpy(w, &v->n, 8);
    return w + 8;
  }
  if (tv_isprim(v)) {
    *w++ = static_cast<char>(~kx_tag(v));  // nil, false, true are tags 0, 1, 2
    return w;
  }
  if (tv_istab(v)) return enc_table(en, w, tabV(v));
  if (tv_islightud(v)) {
    uintptr_t p = reinterpret_cast<uintptr_t>(lightudV(v));
    if (p == 0) {
      *w++ = KX_SER_NULL;
      return w;
    }
    // The format keeps 4 bytes of address: a wider one would come back as another pointer.
    if (kx_ref_fits(reinterpret_cast<void*>(p))) {
      uint32_t p32 = static_cast<uint32_t>(p);
      *w++ = KX_SER_LIGHTUD;
      memcpy(w, &p32, 4);
      return w + 4;
    }
  }
  if (tv_iscdata(v)) return enc_cdata(en, w, v);
  enc_fail(en, KX_ERR_CannotSerialize, kx_obj_typename_of(v));
}

void kx_serial_put(lua_State* L, StrBufExt* sbx, const Value* v) {
  Encoder en{L, sbx, static_cast<uint32_t>(sbx->sb.w - sbx->r)};
  sbx->depth = KX_SER_DEPTH;
  sbx->sb.w = enc_value(&en, sbx->sb.w, v);
}

// ---- Decoding ---------------------------------------------------------------------------------------------

struct Decoder {
  lua_State* L;
  StrBufExt* sbx;
  const char* p;  // next byte
  const char* e;  // end of the data
};

[[noreturn]] static void dec_truncated(Decoder* de) { kx_err_caller(de->L, KX_ERR_UnexpectedBufferEnd); }

static inline size_t left(const Decoder* de) { return static_cast<size_t>(de->e - de->p); }

static inline uint32_t get_u124(Decoder* de) {
  if (de->p == de->e) dec_truncated(de);
  uint32_t v = static_cast<uint8_t>(*de->p++);
  if (v < 0xe0) return v;
  if (v != 0xff) {
    if (de->p == de->e) dec_truncated(de);
    return ((v & 0x1f) << 8) + static_cast<uint8_t>(*de->p++) + 0xe0;
  }
  if (left(de) < 4) dec_truncated(de);
  memcpy(&v, de->p, 4);
  de->p += 4;
  return v;
}

static inline const char* get_bytes(Decoder* de, size_t n) {
  if (n > left(de)) dec_truncated(de);
  const char* q = de->p;
  de->p += n;
  return q;
}

// Entry i + 1 of a dictionary's array part, which must have the given type.
static const Value* dict_entry(Decoder* de, GcTable* dict, uint32_t i, uint32_t tag) {
  if (dict && uint64_t(i) + 1 < dict->asize && kx_tag(&dict->array[i + 1]) == tag) return &dict->array[i + 1];
  kx_err_callerv(de->L, KX_ERR_BadDictionaryIndex, static_cast<int32_t>(i + 1));
}

static void dec_value(Decoder* de, Value* out);

static void dec_table(Decoder* de, Value* out, uint32_t tag) {
  StrBufExt* sbx = de->sbx;
  if (sbx->depth-- == 0) kx_err_caller(de->L, KX_ERR_SerializeTooDeep);
  uint32_t narray = tag >= KX_SER_TAB + 2 ? get_u124(de) : 0;
  uint32_t nhash = tag & 1 ? get_u124(de) : 0;
  uint32_t start = tag >= KX_SER_TAB + 4 ? 1 : 0;
  // Every value takes at least one byte: counts the rest of the input cannot hold are truncation.
  if (narray > start && narray - start > left(de)) dec_truncated(de);
  if (nhash > left(de) / 2) dec_truncated(de);
  GcTable* t = kx_tab_new(de->L, narray, hbits_for(nhash));
  settabV(out, t);
  for (uint32_t i = start; i < narray; i++) dec_value(de, &t->array[i]);
  for (uint32_t i = 0; i < nhash; i++) {
    Value key;
    dec_value(de, &key);
    Value* slot = kx_tab_set(de->L, t, &key);
    if (!tv_isnil(slot)) kx_err_caller(de->L, KX_ERR_DuplicateTableKey);
    dec_value(de, slot);
  }
  sbx->depth++;
}

// C data need the ffi loaded (the decoder runs no collector step, which opening it could); the
// parts of a complex number come from outside and their NaNs are made canonical.
static void dec_cdata(Decoder* de, Value* out, uint32_t tag) {
  if (G(de->L)->ctype_state == nullptr) kx_err_callerv(de->L, KX_ERR_BadSerializeTag, tag);
  if (tag != KX_SER_COMPLEX) {
    setcdataV(out, kx_cdata_newconst(de->L, tag == KX_SER_INT64 ? KX_CTID_INT64 : KX_CTID_UINT64, get_bytes(de, 8)));
    return;
  }
  Value parts[2];
  memcpy(parts, get_bytes(de, 16), 16);
  for (Value& p : parts) setnumV_canon(&p, p.n);
  setcdataV(out, kx_cdata_newconst(de->L, KX_CTID_COMPLEX, parts));
}

static void dec_value(Decoder* de, Value* out) {
  uint32_t tag = get_u124(de);
  if (tag >= KX_SER_STR) {
    size_t n = tag - KX_SER_STR;
    const char* q = get_bytes(de, n);
    setstrV(out, kx_str_new(de->L, q, n));
    return;
  }
  switch (tag) {
    case KX_SER_NIL:
    case KX_SER_FALSE:
    case KX_SER_TRUE:
      setpriV(out, ~tag);
      return;
    case KX_SER_NULL:
      setlightudV(out, nullptr);
      return;
    case KX_SER_LIGHTUD: {
      uint32_t p;
      memcpy(&p, get_bytes(de, 4), 4);
      setlightudV(out, reinterpret_cast<void*>(static_cast<uintptr_t>(p)));
      return;
    }
    case KX_SER_INT: {
      int32_t k;
      memcpy(&k, get_bytes(de, 4), 4);
      setnumV(out, k);
      return;
    }
    case KX_SER_NUM: {
      double n;
      memcpy(&n, get_bytes(de, 8), 8);
      setnumV_canon(out, n);
      return;
    }
    case KX_SER_TAB:
    case KX_SER_TAB + 1:
    case KX_SER_TAB + 2:
    case KX_SER_TAB + 3:
    case KX_SER_TAB + 4:
    case KX_SER_TAB + 5:
      dec_table(de, out, tag);
      return;
    case KX_SER_TAB_MT: {
      const Value* mt = dict_entry(de, de->sbx->dict_mt, get_u124(de), KX_TTAB);
      uint32_t ttag = get_u124(de);
      if (ttag < KX_SER_TAB || ttag > KX_SER_TAB + 5) kx_err_callerv(de->L, KX_ERR_BadSerializeTag, ttag);
      dec_table(de, out, ttag);
      tabV(out)->metatable = tabV(mt);  // the table is new and white: no barrier
      return;
    }
    case KX_SER_DICT_STR:
      copyV(out, dict_entry(de, de->sbx->dict_str, get_u124(de), KX_TSTR));
      return;
    case KX_SER_INT64:
    case KX_SER_UINT64:
    case KX_SER_COMPLEX:
      dec_cdata(de, out, tag);
      return;
    default:
      kx_err_callerv(de->L, KX_ERR_BadSerializeTag, tag);
  }
}

const char* kx_serial_get(lua_State* L, StrBufExt* sbx, Value* out) {
  Decoder de{L, sbx, sbx->r, sbx->sb.w};
  sbx->depth = KX_SER_DEPTH;
  dec_value(&de, out);
  return de.p;
}
