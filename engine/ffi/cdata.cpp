// C data objects.
#include "ffi/cdata.h"

#include "core/gc.h"
#include "core/mem.h"
#include "core/table.h"

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
