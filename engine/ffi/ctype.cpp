// The C type table: predefined entries, interning, names, fields and the text of types.
#include "ffi/ctype.h"

#include <bit>

#include "core/cdata.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/str.h"
#include "core/table.h"
#include "ffi/ccall.h"
#include "ffi/ccallback.h"

namespace {

// ---- Predefined entries ---------------------------------------------------------------------------------

struct Predef {
  uint32_t info;
  uint32_t size;
};

constexpr uint32_t A(uint32_t exp) { return ctype_alignflag(exp); }
constexpr uint32_t A8 = KX_64 ? 3 : 2;  // 8-byte scalars align to 4 inside structs on i386
constexpr uint32_t NOSIZE = KX_CTSIZE_INVALID;
constexpr uint32_t PTR(CTypeID to) { return ctinfo(CT_PTR, A(KX_CTALIGN_PTR) | to); }

// Ids 0 ... 24: the types every table starts with.
constexpr Predef predef_types[CTID_FIRST_TYPEDEF] = {
    {ctinfo_attr(CTA_BAD, 0), 0},
    {ctinfo(CT_VOID, 0), NOSIZE},
    {ctinfo(CT_VOID, CTF_CONST), NOSIZE},
    {ctinfo(CT_NUM, CTF_BOOL | CTF_UNSIGNED), 1},
    {ctinfo(CT_NUM, CTF_CONST), 1},
    {ctinfo(CT_NUM, 0), 1},
    {ctinfo(CT_NUM, CTF_UNSIGNED), 1},
    {ctinfo(CT_NUM, A(1)), 2},
    {ctinfo(CT_NUM, CTF_UNSIGNED | A(1)), 2},
    {ctinfo(CT_NUM, A(2)), 4},
    {ctinfo(CT_NUM, CTF_UNSIGNED | A(2)), 4},
    {ctinfo(CT_NUM, A(A8)), 8},
    {ctinfo(CT_NUM, CTF_UNSIGNED | A(A8)), 8},
    {ctinfo(CT_NUM, A(4)), 16},
    {ctinfo(CT_NUM, CTF_UNSIGNED | A(4)), 16},
    {ctinfo(CT_NUM, CTF_FP | A(2)), 4},
    {ctinfo(CT_NUM, CTF_FP | A(A8)), 8},
    {ctinfo(CT_ARRAY, CTF_COMPLEX | A(2) | CTID_FLOAT), 8},
    {ctinfo(CT_ARRAY, CTF_COMPLEX | A(A8) | CTID_DOUBLE), 16},
    {PTR(CTID_VOID), KX_CTSIZE_PTR},
    {PTR(CTID_CVOID), KX_CTSIZE_PTR},
    {PTR(CTID_CCHAR), KX_CTSIZE_PTR},
    {PTR(CTID_UINT8), KX_CTSIZE_PTR},
    {ctinfo(CT_ARRAY, CTF_CONST | CTID_CCHAR), NOSIZE},
    {ctinfo(CT_ENUM, A(2) | CTID_INT32), 4},
};

// Ids 25 ... 43: typedefs, named in order from the name list.
constexpr CTypeID predef_typedefs[CTID_FIRST_KEYWORD - CTID_FIRST_TYPEDEF] = {
    CTID_P_VOID, CTID_P_VOID, CTID_P_VOID, CTID_INTPTR, CTID_UINTPTR, CTID_INT32, CTID_INT8,
    CTID_INT16, CTID_INT32, CTID_INT64, CTID_INT128, CTID_UINT8, CTID_UINT16, CTID_UINT32,
    CTID_UINT64, CTID_UINT128, CTID_INTPTR, CTID_UINTPTR, CTID_INTPTR,
};

// Ids 44 ... 101: keywords with their token and size code.
constexpr Predef predef_keywords[CTID_PREDEFINED - CTID_FIRST_KEYWORD] = {
    {CTOK_VOID, NOSIZE}, {CTOK_BOOL, 0}, {CTOK_BOOL, 1}, {CTOK_CHAR, 1}, {CTOK_INT, 4}, {CTOK_INT, 1},
    {CTOK_INT, 2}, {CTOK_INT, 4}, {CTOK_INT, 8}, {CTOK_INT, 16}, {CTOK_FP, 4}, {CTOK_FP, 8},
    {CTOK_LONG, 0}, {CTOK_SHORT, 0}, {CTOK_COMPLEX, 0}, {CTOK_COMPLEX, 0}, {CTOK_COMPLEX, 0},
    {CTOK_COMPLEX, 0}, {CTOK_SIGNED, 0}, {CTOK_SIGNED, 0}, {CTOK_SIGNED, 0}, {CTOK_UNSIGNED, 0},
    {CTOK_CONST, 0}, {CTOK_CONST, 0}, {CTOK_CONST, 0}, {CTOK_VOLATILE, 0}, {CTOK_VOLATILE, 0},
    {CTOK_VOLATILE, 0}, {CTOK_RESTRICT, 0}, {CTOK_RESTRICT, 0}, {CTOK_RESTRICT, 0}, {CTOK_INLINE, 0},
    {CTOK_INLINE, 0}, {CTOK_INLINE, 0}, {CTOK_TYPEDEF, 0}, {CTOK_EXTERN, 0}, {CTOK_STATIC, 0},
    {CTOK_AUTO, 0}, {CTOK_REGISTER, 0}, {CTOK_EXTENSION, 0}, {CTOK_ASM, 0}, {CTOK_ASM, 0},
    {CTOK_ASM, 0}, {CTOK_ATTRIBUTE, 0}, {CTOK_ATTRIBUTE, 0}, {CTOK_DECLSPEC, 0},
    {CTOK_CCDECL, CTCC_CDECL}, {CTOK_CCDECL, CTCC_THISCALL}, {CTOK_CCDECL, CTCC_FASTCALL},
    {CTOK_CCDECL, CTCC_STDCALL}, {CTOK_PTRSZ, 4}, {CTOK_PTRSZ, 8}, {CTOK_STRUCT, 0}, {CTOK_UNION, 0},
    {CTOK_ENUM, 0}, {CTOK_SIZEOF, 0}, {CTOK_ALIGNOF, 0}, {CTOK_ALIGNOF, 0},
};

// The names of the typedefs and keywords, in id order.
constexpr char predef_names[] =
    "va_list\0__builtin_va_list\0__gnuc_va_list\0ptrdiff_t\0size_t\0wchar_t\0int8_t\0int16_t\0int32_t\0"
    "int64_t\0int128_t\0uint8_t\0uint16_t\0uint32_t\0uint64_t\0uint128_t\0intptr_t\0uintptr_t\0ssize_t\0"
    "void\0_Bool\0bool\0char\0int\0__int8\0__int16\0__int32\0__int64\0__int128\0float\0double\0long\0short\0"
    "_Complex\0complex\0__complex\0__complex__\0signed\0__signed\0__signed__\0unsigned\0const\0__const\0"
    "__const__\0volatile\0__volatile\0__volatile__\0restrict\0__restrict\0__restrict__\0inline\0__inline\0"
    "__inline__\0typedef\0extern\0static\0auto\0register\0__extension__\0asm\0__asm\0__asm__\0__attribute\0"
    "__attribute__\0__declspec\0__cdecl\0__thiscall\0__fastcall\0__stdcall\0__ptr32\0__ptr64\0struct\0"
    "union\0enum\0sizeof\0__alignof\0__alignof__";

constexpr uint32_t INITIAL_CAPACITY = 128;

// ---- Hashing --------------------------------------------------------------------------------------------

inline uint32_t hashrot(uint32_t a, uint32_t b) {
  uint32_t c = (a ^ b) - std::rotl(b, 14);
  uint32_t d = c ^ std::rotl(b, 19);
  return d - std::rotl(c, 13);
}
inline uint32_t bucket_info(uint32_t info, uint32_t size) { return hashrot(info, size) & (KX_CTYPE_HASH - 1); }
inline uint32_t bucket_name(const GcString* name) {
  uint32_t p = kx_ref_bits(name);
  return hashrot(p, p - 0x04c11db7) & (KX_CTYPE_HASH - 1);
}

void chain_by_info(CTypeTable* tab, CTypeID id) {
  CTypeEntry* ct = ctype_get(tab, id);
  uint32_t h = bucket_info(ct->info, ct->size);
  ct->next = tab->hash[h];
  tab->hash[h] = static_cast<uint16_t>(id);
}

void fill_predefined(lua_State* L, CTypeTable* tab) {
  const char* name = predef_names;
  for (CTypeID id = 0; id < CTID_PREDEFINED; id++) {
    CTypeEntry* ct = ctype_get(tab, id);
    if (id < CTID_FIRST_TYPEDEF) {
      ct->info = predef_types[id].info;
      ct->size = predef_types[id].size;
      if (id != CTID_CTYPEID) chain_by_info(tab, id);
      continue;
    }
    if (id < CTID_FIRST_KEYWORD) {
      ct->info = ctinfo(CT_TYPEDEF, predef_typedefs[id - CTID_FIRST_TYPEDEF]);
      ct->size = 0;
    } else {
      const Predef& kw = predef_keywords[id - CTID_FIRST_KEYWORD];
      ct->info = ctinfo(CT_KW, kw.info);
      ct->size = kw.size;
    }
    GcString* s = kx_str_newz(L, name);
    s->gc_marks |= KX_GC_FIXED;
    name += s->len + 1;
    kx_ctype_addname(tab, id, s);
  }
  tab->used = CTID_PREDEFINED;
}

// ---- Type text ------------------------------------------------------------------------------------------

// Text grown from the middle outward: prefixes to the left, suffixes to the right.
struct Repr {
  char buf[512];
  char* pb;
  char* pe;
  bool ok;
};

void repr_prepend(Repr* r, const char* s, size_t n, bool word) {
  size_t need = n + (word && r->pe > r->pb);
  if (!r->ok || static_cast<size_t>(r->pb - r->buf) < need) {
    r->ok = false;
    return;
  }
  if (need > n) *--r->pb = ' ';
  r->pb -= n;
  memcpy(r->pb, s, n);
}
inline void repr_word(Repr* r, const char* s) { repr_prepend(r, s, strlen(s), true); }
inline void repr_sym(Repr* r, const char* s) { repr_prepend(r, s, strlen(s), false); }

void repr_append(Repr* r, const char* s, size_t n) {
  if (!r->ok || static_cast<size_t>(r->buf + sizeof(r->buf) - r->pe) < n) {
    r->ok = false;
    return;
  }
  memcpy(r->pe, s, n);
  r->pe += n;
}

void repr_uint(char* out, uint32_t v) {
  char tmp[12];
  int n = 0;
  do tmp[n++] = static_cast<char>('0' + v % 10);
  while ((v /= 10) != 0);
  while (n) *out++ = tmp[--n];
  *out = 0;
}

void repr_quals(Repr* r, uint32_t qual) {
  if (qual & CTF_VOLATILE) repr_word(r, "volatile");
  if (qual & CTF_CONST) repr_word(r, "const");
}

void repr_name_or_id(Repr* r, CTypeTable* tab, CTypeID id) {
  const GcString* name = ctype_get(tab, id)->name;
  if (name) {
    repr_prepend(r, strdata(name), name->len, true);
  } else {
    char num[12];
    repr_uint(num, id);
    repr_word(r, num);
  }
}

void repr_num(Repr* r, uint32_t info, uint32_t size) {
  char word[24];
  if (info & CTF_BOOL) {
    repr_word(r, "bool");
  } else if (info & CTF_FP) {
    repr_word(r, size == 8 ? "double" : size == 4 ? "float" : "long double");
  } else if (size == 1) {
    repr_word(r, info & CTF_UNSIGNED ? "unsigned char" : "char");
  } else if (size >= 8) {
    char* p = word;
    if (info & CTF_UNSIGNED) *p++ = 'u';
    memcpy(p, "int", 3);
    repr_uint(p + 3, 8 * size);
    strcat(word, "_t");
    repr_word(r, word);
  } else {
    const char* base = size == 4 ? "int" : "short";
    repr_word(r, base);
    if (info & CTF_UNSIGNED) repr_word(r, "unsigned");
  }
}

// Wraps everything so far in parentheses: a pointer to an array or function.
void repr_wrap(Repr* r) {
  repr_sym(r, "(");
  repr_append(r, ")", 1);
}

void repr_array(Repr* r, CTypeTable* tab, const CTypeEntry* ct) {
  char num[16];
  num[0] = '[';
  if (ct->info & CTF_VLA) {
    memcpy(num + 1, "?]", 3);
  } else if (ct->size == KX_CTSIZE_INVALID) {
    memcpy(num + 1, "]", 2);
  } else {
    uint32_t esize;
    kx_ctype_info(tab, ctype_cid(ct->info), &esize);
    repr_uint(num + 1, esize && esize != KX_CTSIZE_INVALID ? ct->size / esize : 0);
    strcat(num, "]");
  }
  repr_append(r, num, strlen(num));
}

// Walks from the outer type to the inner ones; returns when a type that ends the walk is written.
void repr_walk(Repr* r, CTypeTable* tab, CTypeID id) {
  uint32_t qual = 0;
  bool ptrto = false;
  for (;;) {
    const CTypeEntry* ct = ctype_get(tab, id);
    uint32_t info = ct->info;
    switch (ctype_kind(info)) {
      case CT_NUM:
        repr_num(r, info, ct->size);
        repr_quals(r, qual | info);
        return;
      case CT_STRUCT:
        repr_name_or_id(r, tab, id);
        repr_word(r, info & CTF_UNION ? "union" : "struct");
        repr_quals(r, qual | info);
        return;
      case CT_ENUM:
        if (id == CTID_CTYPEID) {
          repr_word(r, "ctype");
          return;
        }
        repr_name_or_id(r, tab, id);
        repr_word(r, "enum");
        repr_quals(r, qual | info);
        return;
      case CT_VOID:
        repr_word(r, "void");
        repr_quals(r, qual | info);
        return;
      case CT_TYPEDEF:
        repr_prepend(r, strdata(ct->name), ct->name->len, true);
        repr_quals(r, qual);
        return;
      case CT_PTR:
        repr_quals(r, info);
        repr_sym(r, info & CTF_REF ? "&" : "*");
        qual = 0;
        ptrto = true;
        break;
      case CT_ARRAY:
        if (info & CTF_COMPLEX) {
          if (ct->size == 8) repr_word(r, "float");
          repr_word(r, "complex");
          return;
        }
        if (info & CTF_VECTOR) {
          char text[48] = "__attribute__((vector_size(";
          repr_uint(text + strlen(text), ct->size);
          strcat(text, ")))");
          repr_word(r, text);
        } else {
          if (ptrto) repr_wrap(r);
          repr_array(r, tab, ct);
        }
        qual |= info & CTF_QUAL;
        ptrto = false;
        break;
      case CT_FUNC:
        if (ptrto) repr_wrap(r);
        repr_append(r, "()", 2);
        ptrto = false;
        break;
      case CT_ATTRIB:
        if (ctype_attrib(info) == CTA_QUAL) qual |= ct->size;
        break;
      default:  // fields, constants and externs stand for their type
        break;
    }
    id = ctype_cid(info);
  }
}

}  // namespace

// ---- Table ----------------------------------------------------------------------------------------------

CTypeTable* kx_ctype_init(lua_State* L) {
  GlobalState* g = G(L);
  CTypeTable* tab = kx_mem_newobj<CTypeTable>(L);
  memset(tab, 0, sizeof(CTypeTable));
  g->ctype_state = tab;
  tab->thread = L;
  tab->global = g;
  tab->entries = kx_mem_newvec<CTypeEntry>(L, INITIAL_CAPACITY);
  memset(tab->entries, 0, INITIAL_CAPACITY * sizeof(CTypeEntry));
  tab->capacity = INITIAL_CAPACITY;
  tab->misc_map = kx_tab_new(L, 0, 0);
  fill_predefined(L, tab);
  return tab;
}

void kx_ctype_freestate(GlobalState* g) {
  CTypeTable* tab = kx_ctype_state(g);
  if (tab == nullptr) return;
  kx_ccallback_freestate(g, tab);
  kx_ccall_freestate(g, tab);
  kx_mem_freevec(g, tab->entries, tab->capacity);
  kx_mem_free(g, tab, sizeof(CTypeTable));
  g->ctype_state = nullptr;
}

void kx_ctype_thread_freed(GlobalState* g, lua_State* L1) {
  CTypeTable* tab = kx_ctype_state(g);
  if (tab->thread == L1) tab->thread = mainthread(g);
}

void kx_ctype_gcmark(GlobalState* g) {
  CTypeTable* tab = kx_ctype_state(g);
  kx_gc_mark(g, obj2gco(tab->misc_map));
  if (GcTable* funcs = kx_ccallback_funcs(tab)) kx_gc_mark(g, obj2gco(funcs));
  for (CTypeID id = CTID_PREDEFINED; id < tab->used; id++)
    if (GcString* s = tab->entries[id].name) kx_gc_mark(g, obj2gco(s));
}

CTypeID kx_ctype_new(CTypeTable* tab, CTypeEntry** ct) {
  CTypeID id = tab->used;
  if (id >= tab->capacity) {
    lua_State* L = tab->thread;
    if (id >= KX_CTYPE_MAXID) kx_err_msg(L, KX_ERR_TableOverflow);
    uint32_t ncap = tab->capacity < 4 ? 8 : tab->capacity * 2;
    if (ncap > KX_CTYPE_MAXID) ncap = KX_CTYPE_MAXID;
    tab->entries = kx_mem_reallocvec(L, tab->entries, tab->capacity, ncap);
    tab->capacity = ncap;
  }
  tab->used = id + 1;
  CTypeEntry* e = ctype_get(tab, id);
  memset(e, 0, sizeof(CTypeEntry));
  *ct = e;
  return id;
}

CTypeID kx_ctype_intern(CTypeTable* tab, uint32_t info, uint32_t size) {
  uint32_t h = bucket_info(info, size);
  for (CTypeID id = tab->hash[h]; id; id = tab->entries[id].next) {
    const CTypeEntry* ct = ctype_get(tab, id);
    if (ct->info == info && ct->size == size && !ct->name) return id;
  }
  CTypeEntry* ct;
  CTypeID id = kx_ctype_new(tab, &ct);
  ct->info = info;
  ct->size = size;
  ct->next = tab->hash[h];
  tab->hash[h] = static_cast<uint16_t>(id);
  return id;
}

void kx_ctype_addname(CTypeTable* tab, CTypeID id, GcString* name) {
  CTypeEntry* ct = ctype_get(tab, id);
  uint32_t h = bucket_name(name);
  ct->name = name;
  ct->next = tab->hash[h];
  tab->hash[h] = static_cast<uint16_t>(id);
}

CTypeID kx_ctype_getname(CTypeTable* tab, CTypeEntry** ctp, GcString* name, uint32_t kind_mask) {
  for (CTypeID id = tab->hash[bucket_name(name)]; id; id = tab->entries[id].next) {
    CTypeEntry* ct = ctype_get(tab, id);
    if (ct->name == name && ((kind_mask >> ctype_kind(ct->info)) & 1)) {
      *ctp = ct;
      return id;
    }
  }
  *ctp = ctype_get(tab, 0);
  return 0;
}

uint32_t kx_ctype_info(CTypeTable* tab, CTypeID id, uint32_t* size) {
  uint32_t qual = 0, align = ~0u;
  const CTypeEntry* ct = ctype_get(tab, id);
  for (;;) {
    uint32_t info = ct->info;
    if (ctype_isenum(info)) {
      ct = ctype_get(tab, ctype_cid(info));
    } else if (ctype_isattrib(info)) {
      if (ctype_attrib(info) == CTA_QUAL) qual |= ct->size;
      else if (ctype_attrib(info) == CTA_ALIGN && align == ~0u) align = ct->size;
      ct = ctype_get(tab, ctype_cid(info));
    } else {
      break;
    }
  }
  *size = ct->size;
  uint32_t info = ct->info | qual;
  if (align != ~0u) info = (info & ~(CTMASK_ALIGN << CTSHIFT_ALIGN)) | ctype_alignflag(align);
  return info;
}

CTypeEntry* kx_ctype_getfieldq(CTypeTable* tab, CTypeEntry* ct, GcString* name, uint32_t* ofs, uint32_t* qual) {
  while (ct->sib) {
    ct = ctype_get(tab, ct->sib);
    if (ct->name == name) {
      *ofs = ct->size;
      return ct;
    }
    if (ctype_isattrib(ct->info) && ctype_attrib(ct->info) == CTA_SUBTYPE) {
      CTypeEntry* sub = ctype_get(tab, ctype_cid(ct->info));
      uint32_t q = 0;
      while (ctype_isattrib(sub->info)) {
        if (ctype_attrib(sub->info) == CTA_QUAL) q |= sub->size;
        sub = ctype_get(tab, ctype_cid(sub->info));
      }
      if (CTypeEntry* f = kx_ctype_getfieldq(tab, sub, name, ofs, qual)) {
        *qual |= q;
        *ofs += ct->size;
        return f;
      }
    }
  }
  return nullptr;
}

uint32_t kx_ctype_vlsize(CTypeTable* tab, CTypeEntry* ct, uint32_t count) {
  uint64_t base = 0;
  if (ctype_isstruct(ct->info)) {
    CTypeEntry* last = nullptr;
    for (CTypeEntry* f = ct; f->sib;) {
      f = ctype_get(tab, f->sib);
      if (ctype_isfield(f->info)) last = f;
    }
    if (last == nullptr) return KX_CTSIZE_INVALID;
    base = last->size;
    ct = ctype_raw(tab, ctype_cid(last->info));
  }
  if (!ctype_isarray(ct->info)) return KX_CTSIZE_INVALID;
  uint32_t esize;
  kx_ctype_info(tab, ctype_cid(ct->info), &esize);
  if (esize == KX_CTSIZE_INVALID) return KX_CTSIZE_INVALID;
  uint64_t size = base + uint64_t(count) * esize;
  return size > KX_CTYPE_MAXSIZE ? KX_CTSIZE_INVALID : static_cast<uint32_t>(size);
}

const Value* kx_ctype_meta(CTypeTable* tab, CTypeID id, MetaMethod mm) {
  CTypeEntry* ct = ctype_get(tab, id);
  while (ctype_isattrib(ct->info) || ctype_isref(ct->info)) {
    id = ctype_cid(ct->info);
    ct = ctype_get(tab, id);
  }
  Value key;
  if (ctype_isptr(ct->info) && ctype_isfunc(ctype_child(tab, ct)->info)) setstrV(&key, &tab->global->empty_string);
  else setnumV(&key, -static_cast<double>(id));
  const Value* mt = kx_tab_get(tab->thread, tab->misc_map, &key);
  if (!tv_istab(mt)) return nullptr;
  const Value* mo = kx_tab_getstr(tabV(mt), mmname(tab->global, mm));
  return mo && !tv_isnil(mo) ? mo : nullptr;
}

GcString* kx_ctype_repr(lua_State* L, CTypeID id, GcString* name) {
  Repr r;
  r.pb = r.pe = r.buf + sizeof(r.buf) / 2;
  r.ok = true;
  if (name) repr_prepend(&r, strdata(name), name->len, true);
  repr_walk(&r, kx_ctype_state(G(L)), id);
  if (!r.ok) return kx_str_new(L, "?", 1);
  return kx_str_new(L, r.pb, static_cast<size_t>(r.pe - r.pb));
}
