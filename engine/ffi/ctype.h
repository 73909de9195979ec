// The C type table: every C type, typedef, field, parameter, constant and keyword that the foreign
// function interface knows is one 16-byte entry, named by its index, the type id.
//
// Anonymous types (pointers, arrays, qualified variants) are interned by their info word and size;
// named entries are chained in the same hash by their name. Layouts follow the build's System V ABI:
// x86-64, or i386 where 8-byte scalars align to 4 inside structs and long double is 12 bytes.
#pragma once

#include "core/cdata.h"
#include "core/state.h"

using CTypeID = uint32_t;

struct CTypeEntry {
  uint32_t info;        // kind, flags and child id (below)
  uint32_t size;        // bytes, KX_CTSIZE_INVALID for none; offset of a field; value of a constant
  uint16_t sib;         // next field, parameter, enum constant or attribute
  uint16_t next;        // next entry of the same hash chain
  Ref<GcString> name;
};
static_assert(sizeof(CTypeEntry) == 16);

constexpr uint32_t KX_CTSIZE_INVALID = 0xffffffffu;
constexpr uint32_t KX_CTYPE_HASH = 128;
constexpr uint32_t KX_CTYPE_MAXID = 65536;
constexpr uint32_t KX_CTYPE_MAXSIZE = 0x7fffffffu;  // a C type is smaller than 2^31 bytes

struct CallState;      // call interfaces (ccall.cpp)
struct CallbackState;  // callback slots (ccallback.cpp)

struct CTypeTable {
  CTypeEntry* entries;
  uint32_t used;             // ids 0 ... used - 1
  uint32_t capacity;
  Ref<lua_State> thread;     // allocations and errors: the thread calling into the interface
  Ref<GlobalState> global;
  Ref<GcTable> misc_map;     // -id: metatable bound by ffi.metatype; "": callback metatable
  CallState* calls;          // null until the first native call
  CallbackState* callbacks;  // null until the first callback
  int32_t saved_errno;       // errno right after the last native call
  uint16_t hash[KX_CTYPE_HASH];
};
static_assert(sizeof(CTypeTable) <= 400);

// ---- Info word -------------------------------------------------------------------------------------

enum CTKind : uint32_t {
  CT_NUM, CT_STRUCT, CT_PTR, CT_ARRAY, CT_VOID, CT_ENUM, CT_FUNC, CT_TYPEDEF,  // types
  CT_ATTRIB, CT_FIELD, CT_BITFIELD, CT_CONSTVAL, CT_EXTERN, CT_KW,           // auxiliary entries
};

constexpr uint32_t CTF_BOOL = 1u << 27;        // Num
constexpr uint32_t CTF_VECTOR = 1u << 27;      // Array
constexpr uint32_t CTF_FP = 1u << 26;          // Num
constexpr uint32_t CTF_COMPLEX = 1u << 26;     // Array
constexpr uint32_t CTF_CONST = 1u << 25;
constexpr uint32_t CTF_VOLATILE = 1u << 24;
constexpr uint32_t CTF_UNSIGNED = 1u << 23;    // Num, Bitfield
constexpr uint32_t CTF_REF = 1u << 23;         // Ptr
constexpr uint32_t CTF_UNION = 1u << 23;       // Struct
constexpr uint32_t CTF_VARARG = 1u << 23;      // Func
constexpr uint32_t CTF_LONG = 1u << 22;        // Num
constexpr uint32_t CTF_SSEREGPARM = 1u << 22;  // Func
constexpr uint32_t CTF_VLA = 1u << 20;         // Array, Struct
constexpr uint32_t CTF_QUAL = CTF_CONST | CTF_VOLATILE;

constexpr uint32_t CTSHIFT_KIND = 28;
constexpr uint32_t CTSHIFT_ALIGN = 16, CTMASK_ALIGN = 15;   // types: log2 of the alignment
constexpr uint32_t CTSHIFT_CCONV = 16, CTMASK_CCONV = 3;    // Func: calling convention
constexpr uint32_t CTSHIFT_REGPARM = 18, CTMASK_REGPARM = 3;  // Func: register parameters
constexpr uint32_t CTSHIFT_ATTRIB = 16, CTMASK_ATTRIB = 255;  // Attrib: which attribute
// Bitfield: bit position in the container, width, container size in bytes.
constexpr uint32_t CTSHIFT_BITPOS = 0, CTMASK_BITPOS = 63;
constexpr uint32_t CTSHIFT_BITBSZ = 8, CTMASK_BITBSZ = 63;
constexpr uint32_t CTSHIFT_BITCSZ = 16, CTMASK_BITCSZ = 15;
constexpr uint32_t CTMASK_CID = 0xffff;

// Attributes.
enum CTAttrib : uint32_t { CTA_NONE, CTA_QUAL, CTA_ALIGN, CTA_SUBTYPE, CTA_REDIR, CTA_BAD };
// Calling conventions.
enum CTCallConv : uint32_t { CTCC_CDECL, CTCC_THISCALL, CTCC_FASTCALL, CTCC_STDCALL };

constexpr uint32_t ctinfo(CTKind kind, uint32_t flags) { return (uint32_t(kind) << CTSHIFT_KIND) | flags; }
constexpr uint32_t ctinfo_attr(CTAttrib a, CTypeID child) {
  return ctinfo(CT_ATTRIB, (uint32_t(a) << CTSHIFT_ATTRIB) | child);
}
constexpr CTKind ctype_kind(uint32_t info) { return CTKind(info >> CTSHIFT_KIND); }
constexpr CTypeID ctype_cid(uint32_t info) { return info & CTMASK_CID; }
constexpr uint32_t ctype_align(uint32_t info) { return (info >> CTSHIFT_ALIGN) & CTMASK_ALIGN; }
constexpr uint32_t ctype_alignflag(uint32_t exp) { return exp << CTSHIFT_ALIGN; }
constexpr CTAttrib ctype_attrib(uint32_t info) { return CTAttrib((info >> CTSHIFT_ATTRIB) & CTMASK_ATTRIB); }
constexpr uint32_t ctype_cconv(uint32_t info) { return (info >> CTSHIFT_CCONV) & CTMASK_CCONV; }
constexpr uint32_t ctype_bitpos(uint32_t info) { return (info >> CTSHIFT_BITPOS) & CTMASK_BITPOS; }
constexpr uint32_t ctype_bitbsz(uint32_t info) { return (info >> CTSHIFT_BITBSZ) & CTMASK_BITBSZ; }

constexpr bool ctype_isnum(uint32_t info) { return ctype_kind(info) == CT_NUM; }
constexpr bool ctype_isstruct(uint32_t info) { return ctype_kind(info) == CT_STRUCT; }
constexpr bool ctype_isptr(uint32_t info) { return ctype_kind(info) == CT_PTR; }
constexpr bool ctype_isarray(uint32_t info) { return ctype_kind(info) == CT_ARRAY; }
constexpr bool ctype_isvoid(uint32_t info) { return ctype_kind(info) == CT_VOID; }
constexpr bool ctype_isenum(uint32_t info) { return ctype_kind(info) == CT_ENUM; }
constexpr bool ctype_isfunc(uint32_t info) { return ctype_kind(info) == CT_FUNC; }
constexpr bool ctype_isattrib(uint32_t info) { return ctype_kind(info) == CT_ATTRIB; }
constexpr bool ctype_isfield(uint32_t info) { return ctype_kind(info) == CT_FIELD; }
constexpr bool ctype_isbitfield(uint32_t info) { return ctype_kind(info) == CT_BITFIELD; }
constexpr bool ctype_isconstval(uint32_t info) { return ctype_kind(info) == CT_CONSTVAL; }
constexpr bool ctype_isextern(uint32_t info) { return ctype_kind(info) == CT_EXTERN; }
constexpr bool ctype_istypedef(uint32_t info) { return ctype_kind(info) == CT_TYPEDEF; }
constexpr bool ctype_isinteger(uint32_t info) { return (info & (0xfu << CTSHIFT_KIND | CTF_BOOL | CTF_FP)) == 0; }
constexpr bool ctype_isref(uint32_t info) { return (info & (0xfu << CTSHIFT_KIND | CTF_REF)) == (ctinfo(CT_PTR, CTF_REF)); }
constexpr bool ctype_iscomplex(uint32_t info) {
  return (info & (0xfu << CTSHIFT_KIND | CTF_COMPLEX)) == ctinfo(CT_ARRAY, CTF_COMPLEX);
}
constexpr bool ctype_isvector(uint32_t info) {
  return (info & (0xfu << CTSHIFT_KIND | CTF_VECTOR)) == ctinfo(CT_ARRAY, CTF_VECTOR);
}
constexpr bool ctype_isvla(uint32_t info) {
  return (ctype_isarray(info) || ctype_isstruct(info)) && (info & CTF_VLA);
}

// Tokens of the C declaration language. Keyword entries carry theirs; keywords 269-283 set one
// declaration-specifier bit each (token - CTOK_FIRSTDECL).
enum CTToken : int32_t {
  CTOK_OFS = 256,
  CTOK_IDENT = 256, CTOK_STRING, CTOK_INTEGER, CTOK_EOF, CTOK_OROR, CTOK_ANDAND, CTOK_EQ, CTOK_NE, CTOK_LE,
  CTOK_GE, CTOK_SHL, CTOK_SHR, CTOK_DEREF,
  CTOK_VOID, CTOK_BOOL, CTOK_CHAR, CTOK_INT, CTOK_FP, CTOK_LONG, CTOK_LONGLONG, CTOK_SHORT, CTOK_COMPLEX,
  CTOK_SIGNED, CTOK_UNSIGNED, CTOK_CONST, CTOK_VOLATILE, CTOK_RESTRICT, CTOK_INLINE, CTOK_TYPEDEF,
  CTOK_EXTERN, CTOK_STATIC, CTOK_AUTO, CTOK_REGISTER, CTOK_EXTENSION, CTOK_ASM, CTOK_ATTRIBUTE,
  CTOK_DECLSPEC, CTOK_CCDECL, CTOK_PTRSZ, CTOK_STRUCT, CTOK_UNION, CTOK_ENUM, CTOK_SIZEOF, CTOK_ALIGNOF,
  CTOK_FIRSTDECL = CTOK_VOID, CTOK_LASTDECL = CTOK_INLINE,
  CTOK_FIRSTSCL = CTOK_TYPEDEF, CTOK_LASTSCL = CTOK_REGISTER,
};
static_assert(CTOK_VOID == 269 && CTOK_LONGLONG == 275 && CTOK_TYPEDEF == 284 && CTOK_ALIGNOF == 299);

// ---- Predefined entries ------------------------------------------------------------------------------

constexpr CTypeID CTID_NONE = 0;
constexpr CTypeID CTID_VOID = 1;
constexpr CTypeID CTID_CVOID = 2;
constexpr CTypeID CTID_BOOL = 3;
constexpr CTypeID CTID_CCHAR = 4;
constexpr CTypeID CTID_INT8 = 5;
constexpr CTypeID CTID_UINT8 = 6;
constexpr CTypeID CTID_INT16 = 7;
constexpr CTypeID CTID_UINT16 = 8;
constexpr CTypeID CTID_INT32 = 9;
constexpr CTypeID CTID_UINT32 = 10;
constexpr CTypeID CTID_INT64 = 11;
constexpr CTypeID CTID_UINT64 = 12;
constexpr CTypeID CTID_INT128 = 13;
constexpr CTypeID CTID_UINT128 = 14;
constexpr CTypeID CTID_FLOAT = 15;
constexpr CTypeID CTID_DOUBLE = 16;
constexpr CTypeID CTID_COMPLEX_FLOAT = 17;
constexpr CTypeID CTID_COMPLEX_DOUBLE = 18;
constexpr CTypeID CTID_P_VOID = 19;
constexpr CTypeID CTID_P_CVOID = 20;
constexpr CTypeID CTID_P_CCHAR = 21;
constexpr CTypeID CTID_P_UINT8 = 22;
constexpr CTypeID CTID_A_CCHAR = 23;
constexpr CTypeID CTID_CTYPEID = 24;
constexpr CTypeID CTID_FIRST_TYPEDEF = 25;
constexpr CTypeID CTID_FIRST_KEYWORD = 44;
constexpr CTypeID CTID_PREDEFINED = 102;
static_assert(KX_CTID_INT64 == CTID_INT64 && KX_CTID_UINT64 == CTID_UINT64 && KX_CTID_COMPLEX == CTID_COMPLEX_DOUBLE);
// Integers as wide as a pointer.
constexpr CTypeID CTID_INTPTR = KX_64 ? CTID_INT64 : CTID_INT32;
constexpr CTypeID CTID_UINTPTR = KX_64 ? CTID_UINT64 : CTID_UINT32;
constexpr uint32_t KX_CTSIZE_PTR = sizeof(void*);
constexpr uint32_t KX_CTALIGN_PTR = KX_64 ? 3 : 2;

// ---- Operations --------------------------------------------------------------------------------------

// Creates the type table with its predefined entries (ffi module opening).
CTypeTable* kx_ctype_init(lua_State* L);
inline CTypeTable* kx_ctype_state(GlobalState* g) { return static_cast<CTypeTable*>(g->ctype_state); }
// The table, with L as the thread that allocates and raises errors from now on.
inline CTypeTable* kx_ctype_cts(lua_State* L) {
  CTypeTable* tab = kx_ctype_state(G(L));
  tab->thread = L;
  return tab;
}

inline CTypeEntry* ctype_get(CTypeTable* tab, CTypeID id) { return &tab->entries[id]; }
inline CTypeID ctype_typeid(CTypeTable* tab, const CTypeEntry* ct) { return static_cast<CTypeID>(ct - tab->entries); }
// The entry after skipping attributes.
inline CTypeEntry* ctype_raw(CTypeTable* tab, CTypeID id) {
  CTypeEntry* ct = ctype_get(tab, id);
  while (ctype_isattrib(ct->info)) ct = ctype_get(tab, ctype_cid(ct->info));
  return ct;
}
inline CTypeEntry* ctype_child(CTypeTable* tab, const CTypeEntry* ct) { return ctype_raw(tab, ctype_cid(ct->info)); }

// A new zeroed entry; *ct points to it (entries move when the array grows).
CTypeID kx_ctype_new(CTypeTable* tab, CTypeEntry** ct);
// The shared entry with exactly this info and size, created when missing.
CTypeID kx_ctype_intern(CTypeTable* tab, uint32_t info, uint32_t size);
// Names an entry and chains it by that name, ahead of earlier entries of the same name.
void kx_ctype_addname(CTypeTable* tab, CTypeID id, GcString* name);
// The entry named name whose kind bit is in kind_mask; 0 when there is none.
CTypeID kx_ctype_getname(CTypeTable* tab, CTypeEntry** ct, GcString* name, uint32_t kind_mask);
// The info of the type id names, after attributes and enums, with the qualifiers and the alignment of
// attributes on the way; *size is its size.
uint32_t kx_ctype_info(CTypeTable* tab, CTypeID id, uint32_t* size);
// The field named name of a struct or union, searching anonymous members too; *ofs is its offset and
// the qualifiers of anonymous members on the way are added to *qual. Null when absent.
CTypeEntry* kx_ctype_getfieldq(CTypeTable* tab, CTypeEntry* ct, GcString* name, uint32_t* ofs, uint32_t* qual);
inline CTypeEntry* kx_ctype_getfield(CTypeTable* tab, CTypeEntry* ct, GcString* name, uint32_t* ofs) {
  uint32_t qual = 0;
  return kx_ctype_getfieldq(tab, ct, name, ofs, &qual);
}
// The size of a variable-length array or struct with count elements in its variable part.
uint32_t kx_ctype_vlsize(CTypeTable* tab, CTypeEntry* ct, uint32_t count);
// A metamethod of the metatable bound to a type, or null.
const Value* kx_ctype_meta(CTypeTable* tab, CTypeID id, MetaMethod mm);
// The C text of a type, with an optional declared name in the middle.
GcString* kx_ctype_repr(lua_State* L, CTypeID id, GcString* name);
