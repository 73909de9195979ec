// C data objects.
#include "ffi/cdata.h"

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/str.h"
#include "core/table.h"
#include "ffi/cconv.h"
#include "ffi/lib_ffi.h"

uint32_t kx_cdata_fixedsize(uint32_t info, uint32_t size) {
  return ctype_isfunc(info) || size == KX_CTSIZE_INVALID ? KX_CTSIZE_PTR : size;
}

GcCdata* kx_cdata_new(CTypeTable* tab, CTypeID id, uint32_t size) {
  GcCdata* cd = reinterpret_cast<GcCdata*>(kx_mem_newgco(tab->thread, sizeof(GcCdata) + size));
  cd->gc_type = KX_ICDATA;
  cd->ctype_id = static_cast<uint16_t>(id);
  return cd;
}

// The variable-length layout: the object sits after an extra header in a block of its own, placed so
// that the payload is aligned, and is linked into the object list by hand.
static GcCdata* cdata_newvar(CTypeTable* tab, CTypeID id, uint32_t size, uint32_t align) {
  lua_State* L = tab->thread;
  GlobalState* g = G(L);
  uint32_t alignment = 1u << align;
  uint32_t extra = alignment < 16 ? 16 : alignment + 8;
  size_t total = extra + sizeof(GcCdata) + size;
  char* block = static_cast<char*>(kx_mem_realloc(L, nullptr, 0, total));
  // Room for the header and the object, then up to alignment - 8 bytes to align the payload.
  uintptr_t payload = reinterpret_cast<uintptr_t>(block) + sizeof(CdataVarHeader) + sizeof(GcCdata);
  payload = (payload + alignment - 1) & ~uintptr_t(alignment - 1);
  GcCdata* cd = reinterpret_cast<GcCdata*>(payload) - 1;
  CdataVarHeader* h = reinterpret_cast<CdataVarHeader*>(cd) - 1;
  h->offset = static_cast<uint16_t>(reinterpret_cast<char*>(cd) - block);
  h->extra = static_cast<uint16_t>(extra);
  h->len = size;
  cd->gc_next = g->gc.root;
  g->gc.root = obj2gco(cd);
  cd->gc_marks = static_cast<uint8_t>(kx_gc_newwhite(g) | KX_GC_CDATA_VAR);
  cd->gc_type = KX_ICDATA;
  cd->ctype_id = static_cast<uint16_t>(id);
  return cd;
}

GcCdata* kx_cdata_newx(CTypeTable* tab, CTypeID id, uint32_t size, uint32_t info) {
  uint32_t align = ctype_align(info);
  if (ctype_isvla(info) || (!ctype_isfunc(info) && align > KX_CDATA_MAXALIGN_FIXED))
    return cdata_newvar(tab, id, size, align);
  return kx_cdata_new(tab, id, kx_cdata_fixedsize(info, size));
}

GcCdata* kx_cdata_newctype(CTypeTable* tab, CTypeID id) {
  GcCdata* cd = kx_cdata_new(tab, CTID_CTYPEID, 4);
  *static_cast<uint32_t*>(cdataptr(cd)) = id;
  return cd;
}

void kx_cdata_free(GlobalState* g, GcCdata* cd) {
  if (cdata_isvar(cd)) {
    const CdataVarHeader* h = cdata_varhdr(cd);
    kx_mem_free(g, reinterpret_cast<char*>(cd) - h->offset, h->extra + sizeof(GcCdata) + h->len);
    return;
  }
  uint32_t size;
  uint32_t info = kx_ctype_info(kx_ctype_state(g), cd->ctype_id, &size);
  kx_mem_free(g, cd, sizeof(GcCdata) + kx_cdata_fixedsize(info, size));
}

void kx_cdata_setfin(lua_State* L, GcCdata* cd, const Value* fn) {
  GlobalState* g = G(L);
  GcTable* t = reinterpret_cast<GcTable*>(g->roots[KX_ROOT_FFI_FINALIZERS].get());
  Value key;
  setcdataV(&key, cd);
  if (tv_isnil(fn)) {
    Value* slot = const_cast<Value*>(kx_tab_get(L, t, &key));
    if (!tv_isnil(slot)) setnilV(slot);
    cd->gc_marks &= static_cast<uint8_t>(~KX_GC_CDATA_FIN);
    return;
  }
  copyV(kx_tab_set(L, t, &key), fn);
  kx_gc_barriert(g, t, fn);
  cd->gc_marks |= KX_GC_CDATA_FIN;
}

// ---- Indexing ----------------------------------------------------------------------------------------------

namespace {

// The entry of a type after attributes, with their qualifiers added to *qual.
CTypeEntry* skip_attribs(CTypeTable* tab, CTypeID id, uint32_t* qual) {
  CTypeEntry* ct = ctype_get(tab, id);
  while (ctype_isattrib(ct->info)) {
    if (ctype_attrib(ct->info) == CTA_QUAL) *qual |= ct->size;
    ct = ctype_get(tab, ctype_cid(ct->info));
  }
  return ct;
}

// An index key as an integer: a number (truncated) or an integer C data object.
bool index_integer(CTypeTable* tab, const Value* key, int64_t* idx) {
  if (tv_isnum(key)) {
    *idx = kx_cconv_num2i64(numV(key));
    return true;
  }
  uint64_t v;
  if (tv_iscdata(key) && kx_cdata_int64(tab->global, cdataV(key), &v) != KX_CINT_NONE) {
    *idx = static_cast<int64_t>(v);
    return true;
  }
  return false;
}

CTypeEntry* index_string(CTypeTable* tab, CTypeEntry* ct, uint8_t** pp, GcString* name, uint32_t* qual) {
  if (ctype_isstruct(ct->info)) {
    uint32_t ofs;
    CTypeEntry* f = kx_ctype_getfieldq(tab, ct, name, &ofs, qual);
    if (f && !ctype_isconstval(f->info)) *pp += ofs;
    return f;
  }
  if (ctype_iscomplex(ct->info) && name->len == 2) {
    const char* s = strdata(name);
    uint32_t half = ct->size / 2;
    if (s[0] == 'r' && s[1] == 'e') return ctype_get(tab, ctype_cid(ct->info));
    if (s[0] == 'i' && s[1] == 'm') {
      *pp += half;
      return ctype_get(tab, ctype_cid(ct->info));
    }
  }
  return nullptr;
}

}  // namespace

CTypeEntry* kx_cdata_index(CTypeTable* tab, GcCdata* cd, const Value* key, uint8_t** pp, uint32_t* qual) {
  uint8_t* p = static_cast<uint8_t*>(cdataptr(cd));
  CTypeID id = cd->ctype_id;
  if (id == CTID_CTYPEID) {  // a ctype object: the constants of its struct
    CTypeEntry* ct = ctype_raw(tab, *reinterpret_cast<uint32_t*>(p));
    if (!tv_isstr(key) || !ctype_isstruct(ct->info)) return nullptr;
    uint32_t ofs;
    CTypeEntry* f = kx_ctype_getfieldq(tab, ct, strV(key), &ofs, qual);
    return f && ctype_isconstval(f->info) ? f : nullptr;
  }
  CTypeEntry* ct = skip_attribs(tab, id, qual);
  if (ctype_isref(ct->info)) {
    memcpy(&p, p, sizeof(p));
    ct = skip_attribs(tab, ctype_cid(ct->info), qual);
  }
  int64_t idx;
  if (index_integer(tab, key, &idx)) {
    bool array = ctype_isarray(ct->info) && !(ct->info & CTF_COMPLEX);
    if (!array && !ctype_isptr(ct->info)) return nullptr;
    if (ctype_isptr(ct->info)) memcpy(&p, p, sizeof(p));
    CTypeID eid = ctype_cid(ct->info);
    uint32_t esize;
    uint32_t einfo = kx_ctype_info(tab, eid, &esize);
    if (esize == KX_CTSIZE_INVALID) kx_err_callerv(tab->thread, KX_ERR_FfiTypeSize);
    *qual |= (einfo | (array ? ct->info : 0)) & CTF_QUAL;
    *pp = p + static_cast<uintptr_t>(idx) * esize;
    return ctype_get(tab, eid);
  }
  if (!tv_isstr(key)) return nullptr;
  if (ctype_isptr(ct->info)) {
    CTypeEntry* target = ctype_child(tab, ct);
    if (!ctype_isstruct(target->info)) return nullptr;
    memcpy(&p, p, sizeof(p));
    ct = skip_attribs(tab, ctype_cid(ct->info), qual);
  }
  *pp = p;
  return index_string(tab, ct, pp, strV(key), qual);
}

// ---- Services for the lower layers --------------------------------------------------------------------

void kx_cdata_open(lua_State* L) { kx_ffi_open(L); }

GcCdata* kx_cdata_newconst(lua_State* L, uint16_t id, const void* payload) {
  CTypeTable* tab = kx_ffi_open(L);
  uint32_t size = id == KX_CTID_COMPLEX ? 16 : 8;
  GcCdata* cd = kx_cdata_new(tab, id, size);
  memcpy(cdataptr(cd), payload, size);
  return cd;
}

CdataIntKind kx_cdata_int64(GlobalState* g, const GcCdata* cd, uint64_t* v) {
  CTypeTable* tab = kx_ctype_state(g);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, cd->ctype_id, &size);
  if (!ctype_isnum(info)) return KX_CINT_NONE;
  const uint8_t* p = static_cast<const uint8_t*>(cdataptr(cd));
  if (size == 8 && !(info & (CTF_FP | CTF_BOOL))) {
    memcpy(v, p, 8);
    return info & CTF_UNSIGNED ? KX_CINT_U64 : KX_CINT_I64;
  }
  int64_t x;
  kx_cconv_ct_ct(tab, ctype_get(tab, CTID_INT64), ctype_raw(tab, cd->ctype_id), reinterpret_cast<uint8_t*>(&x), p, 0);
  *v = static_cast<uint64_t>(x);
  return KX_CINT_OTHER;
}

bool kx_cdata_tonumber(GlobalState* g, const GcCdata* cd, double* n) {
  CTypeTable* tab = kx_ctype_state(g);
  uint32_t size;
  uint32_t info = kx_ctype_info(tab, cd->ctype_id, &size);
  if (!ctype_isnum(info) || (info & CTF_BOOL)) return false;
  kx_cconv_ct_ct(tab, ctype_get(tab, CTID_DOUBLE), ctype_raw(tab, cd->ctype_id), reinterpret_cast<uint8_t*>(n),
                 static_cast<const uint8_t*>(cdataptr(cd)), 0);
  return true;
}

bool kx_cdata_complex(GlobalState* g, const GcCdata* cd, double parts[2]) {
  CTypeTable* tab = kx_ctype_state(g);
  CTypeEntry* ct = ctype_raw(tab, cd->ctype_id);
  if (!ctype_iscomplex(ct->info) || ct->size != 16) return false;
  memcpy(parts, cdataptr(cd), 16);
  return true;
}

const void* kx_cdata_topointer(lua_State* L, int narg) {
  CTypeTable* tab = kx_ctype_cts(L);
  const void* p;
  kx_cconv_ct_tv(tab, ctype_get(tab, CTID_P_CVOID), reinterpret_cast<uint8_t*>(&p), L->base + narg - 1, ccf_arg(narg));
  return p;
}

GcCdata* kx_cdata_newptr(lua_State* L, void* p) {
  CTypeTable* tab = kx_ffi_open(L);
  GcCdata* cd = kx_cdata_new(tab, CTID_P_UINT8, KX_CTSIZE_PTR);
  memcpy(cdataptr(cd), &p, sizeof(p));
  return cd;
}
