// C data objects: allocation in the fixed and the variable-length layout, finalizers, and where an
// index operation on a C data object points.
#pragma once

#include "core/cdata.h"
#include "ffi/ctype.h"

// The extra header of an object in the variable-length layout, directly before the object: a
// variable-length array or struct, or a type aligned to more than 8 bytes.
struct CdataVarHeader {
  uint16_t offset;  // from the start of the allocation to the object
  uint16_t extra;   // bytes of the allocation before the object
  uint32_t len;     // payload bytes
};
static_assert(sizeof(CdataVarHeader) == 8);

constexpr uint32_t KX_CDATA_MAXALIGN_FIXED = 3;  // fixed objects align their payload to 8 bytes

inline const CdataVarHeader* cdata_varhdr(const GcCdata* cd) {
  return reinterpret_cast<const CdataVarHeader*>(cd) - 1;
}
inline bool cdata_isvar(const GcCdata* cd) { return (cd->gc_marks & KX_GC_CDATA_VAR) != 0; }
inline uint32_t cdata_varlen(const GcCdata* cd) { return cdata_varhdr(cd)->len; }

// A new object of type id with size bytes of uninitialised payload; info is the type's info word.
GcCdata* kx_cdata_newx(CTypeTable* tab, CTypeID id, uint32_t size, uint32_t info);
// A new fixed-layout object (types aligned to at most 8 bytes).
GcCdata* kx_cdata_new(CTypeTable* tab, CTypeID id, uint32_t size);
// A ctype object: a C data object of the type-id type holding id.
GcCdata* kx_cdata_newctype(CTypeTable* tab, CTypeID id);
// The payload bytes of an object of this type in the fixed layout: function objects hold an address.
uint32_t kx_cdata_fixedsize(uint32_t info, uint32_t size);

// Where an index operation on a C data object points: an element's type entry, a field, bit field or
// constant entry, with the address in *pp and the qualifiers on the way added to *qual. Pointers
// and references are followed, numbers and integer C data index arrays and pointers, strings name
// fields (also through a pointer to a struct), "re" and "im" the parts of a complex number, and a
// ctype object's string keys its struct's constants. Null when the key does not resolve.
CTypeEntry* kx_cdata_index(CTypeTable* tab, GcCdata* cd, const Value* key, uint8_t** pp, uint32_t* qual);

// Sets (a function) or clears (nil) the finalizer of a C data object.
void kx_cdata_setfin(lua_State* L, GcCdata* cd, const Value* fn);
