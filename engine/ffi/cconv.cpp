// Conversions between C types and between C values and Lua values.
//
// Floating values pass through long double, which holds every double and every 64-bit integer
// exactly, so each conversion rounds at most once. Conversions to integers are defined for every
// value: out-of-range values and NaN give 2^63 (then truncated to the destination's size).
#include "ffi/cconv.h"

#include "core/buf.h"
#include "core/err.h"
#include "core/str.h"
#include "core/table.h"
#include "ffi/ccallback.h"
#include "ffi/cdata.h"

int64_t kx_cconv_num2i64(double n) {
  if (n >= -9223372036854775808.0 && n < 9223372036854775808.0) return static_cast<int64_t>(n);
  return INT64_MIN;
}

uint64_t kx_cconv_num2u64(double n) {
  if (n >= 0 && n < 18446744073709551616.0) return static_cast<uint64_t>(n);
  return static_cast<uint64_t>(kx_cconv_num2i64(n));
}

namespace {

constexpr long double TWO63 = 9223372036854775808.0L;

int64_t ld2i64(long double v) {
  if (v >= -TWO63 && v < TWO63) return static_cast<int64_t>(v);
  return INT64_MIN;
}

uint64_t ld2u64(long double v) {
  if (v >= 0 && v < 2 * TWO63) return static_cast<uint64_t>(v);
  return static_cast<uint64_t>(ld2i64(v));
}

// ---- Raw reads and writes ------------------------------------------------------------------------------

// An integer of 1 to 16 bytes, extended to 64 bits by its signedness (16 bytes: the low half).
int64_t read_int(const uint8_t* p, uint32_t size, bool uns) {
  switch (size) {
    case 1: return uns ? int64_t(*p) : int64_t(int8_t(*p));
    case 2: {
      uint16_t v;
      memcpy(&v, p, 2);
      return uns ? int64_t(v) : int64_t(int16_t(v));
    }
    case 4: {
      uint32_t v;
      memcpy(&v, p, 4);
      return uns ? int64_t(v) : int64_t(int32_t(v));
    }
    default: {
      int64_t v;
      memcpy(&v, p, 8);
      return v;
    }
  }
}

// The low size bytes of v; a 16-byte integer gets the sign (or zero) extension in its high half.
void write_int(uint8_t* p, uint32_t size, int64_t v, bool negative) {
  if (size >= 8) {
    memcpy(p, &v, 8);
    if (size == 16) memset(p + 8, negative ? 0xff : 0, 8);
    return;
  }
  memcpy(p, &v, size);
}

long double read_fp(const uint8_t* p, uint32_t size) {
  if (size == 4) {
    float f;
    memcpy(&f, p, 4);
    return f;
  }
  if (size == 8) {
    double d;
    memcpy(&d, p, 8);
    return d;
  }
  long double x;
  memcpy(&x, p, sizeof(long double) < size ? sizeof(long double) : size);
  return x;
}

void write_fp(uint8_t* p, uint32_t size, long double v) {
  if (size == 4) {
    float f = static_cast<float>(v);
    memcpy(p, &f, 4);
  } else if (size == 8) {
    double d = static_cast<double>(v);
    memcpy(p, &d, 8);
  } else {
    memset(p, 0, size);
    memcpy(p, &v, sizeof(long double) < size ? sizeof(long double) : size);
  }
}

inline void* read_ptr(const uint8_t* p) {
  void* q;
  memcpy(&q, p, sizeof(q));
  return q;
}
inline void write_ptr(uint8_t* p, const void* q) { memcpy(p, &q, sizeof(q)); }

bool any_nonzero(const uint8_t* p, uint32_t size) {
  for (uint32_t i = 0; i < size; i++)
    if (p[i]) return true;
  return false;
}

// ---- Classes and compatibility ----------------------------------------------------------------------

// The class of a type; an enum is classed, and then converted, as its underlying integer type.
CConvClass cclass(CTypeTable* tab, CTypeEntry** ct) {
  uint32_t info = (*ct)->info;
  switch (ctype_kind(info)) {
    case CT_NUM: return info & CTF_BOOL ? CCX_BOOL : info & CTF_FP ? CCX_FLOAT : CCX_INT;
    case CT_ENUM:
      *ct = ctype_child(tab, *ct);
      return CCX_INT;
    case CT_PTR: return CCX_PTR;
    case CT_ARRAY: return info & CTF_COMPLEX ? CCX_COMPLEX : info & CTF_VECTOR ? CCX_VECTOR : CCX_ARRAY;
    case CT_STRUCT: return CCX_STRUCT;
    default: return CCX_NONE;
  }
}

uint32_t qual_of(CTypeTable* tab, CTypeID id) {
  uint32_t size;
  return kx_ctype_info(tab, id, &size) & CTF_QUAL;
}

bool same_type(CTypeTable* tab, CTypeEntry* a, CTypeEntry* b) {
  if (a == b) return true;
  if (!ctype_isarray(a->info) || !ctype_isarray(b->info)) return false;
  if (a->size != b->size || ((a->info ^ b->info) & (CTF_VLA | CTF_VECTOR | CTF_COMPLEX))) return false;
  return same_type(tab, ctype_child(tab, a), ctype_child(tab, b));
}

// Targets of two pointers: same kind and size, numbers of the same class, pointers to compatible
// targets with identical qualifiers, the identical struct or union.
bool targets_compatible(CTypeTable* tab, CTypeEntry* d, CTypeEntry* s) {
  if (d == s) return true;
  if (ctype_kind(d->info) != ctype_kind(s->info) || d->size != s->size) return false;
  switch (ctype_kind(d->info)) {
    case CT_NUM: return ((d->info ^ s->info) & (CTF_BOOL | CTF_FP)) == 0;
    case CT_PTR: {
      CTypeID dt = ctype_cid(d->info), st = ctype_cid(s->info);
      if (qual_of(tab, dt) != qual_of(tab, st)) return false;
      return targets_compatible(tab, ctype_raw(tab, dt), ctype_raw(tab, st));
    }
    case CT_STRUCT: return false;
    case CT_ARRAY: return targets_compatible(tab, ctype_child(tab, d), ctype_child(tab, s));
    default: return true;
  }
}

// Whether a pointer to starget may become a pointer to dtarget without a cast: no qualifier is
// dropped, and a void target on either side accepts anything.
bool ptr_compatible(CTypeTable* tab, CTypeID dtarget, CTypeID starget) {
  if (qual_of(tab, starget) & ~qual_of(tab, dtarget)) return false;
  CTypeEntry* d = ctype_raw(tab, dtarget);
  CTypeEntry* s = ctype_raw(tab, starget);
  if (ctype_isvoid(d->info) || ctype_isvoid(s->info)) return true;
  return targets_compatible(tab, d, s);
}

// ---- Errors --------------------------------------------------------------------------------------------

[[noreturn]] void cconv_err(CTypeTable* tab, CTypeEntry* d, CTypeEntry* s, uint32_t flags, const Value* tv) {
  lua_State* L = tab->thread;
  const char* src = tv ? kx_obj_typename_of(tv) : strdata(kx_ctype_repr(L, ctype_typeid(tab, s), nullptr));
  GcString* dst = kx_ctype_repr(L, ctype_typeid(tab, d), nullptr);
  if (flags & CCF_ARG) kx_err_argv(L, static_cast<int>(flags >> 8), KX_ERR_FfiCannotConvert, src, strdata(dst));
  kx_err_callerv(L, KX_ERR_FfiCannotConvert, src, strdata(dst));
}

[[noreturn]] void init_err(CTypeTable* tab, CTypeEntry* d) {
  lua_State* L = tab->thread;
  kx_err_callerv(L, KX_ERR_FfiTooManyInitializers, strdata(kx_ctype_repr(L, ctype_typeid(tab, d), nullptr)));
}

// ---- C to C ------------------------------------------------------------------------------------------

// The value of a number class (boolean, integer, floating, complex: its real part) as long double.
long double as_fp(CConvClass sc, const CTypeEntry* s, const uint8_t* sp) {
  switch (sc) {
    case CCX_BOOL: return any_nonzero(sp, s->size) ? 1 : 0;
    case CCX_INT: {
      bool uns = (s->info & CTF_UNSIGNED) != 0;
      int64_t v = read_int(sp, s->size, uns);
      return uns && s->size >= 8 ? static_cast<long double>(static_cast<uint64_t>(v)) : static_cast<long double>(v);
    }
    case CCX_FLOAT: return read_fp(sp, s->size);
    default: return read_fp(sp, s->size / 2);  // complex
  }
}

void conv_ct_ct(CTypeTable* tab, CTypeEntry* d, CTypeEntry* s, uint8_t* dp, const uint8_t* sp, uint32_t flags,
                const Value* tv) {
  CTypeEntry* dn = d;
  CTypeEntry* sn = s;
  CConvClass dc = cclass(tab, &dn), sc = cclass(tab, &sn);
  uint32_t dsize = dn->size;
  bool cast = (flags & CCF_CAST) != 0;
  switch (dc) {
    case CCX_BOOL: {
      bool b;
      if (sc == CCX_BOOL || sc == CCX_INT) b = any_nonzero(sp, sn->size);
      else if (sc == CCX_FLOAT) b = read_fp(sp, sn->size) != 0;
      else break;
      write_int(dp, dsize, b, false);
      return;
    }
    case CCX_INT: {
      bool uns = (dn->info & CTF_UNSIGNED) != 0;
      if (sc == CCX_BOOL || sc == CCX_INT) {
        bool suns = (sn->info & CTF_UNSIGNED) != 0 || sc == CCX_BOOL;
        int64_t v = read_int(sp, sn->size, suns);
        write_int(dp, dsize, v, !suns && v < 0);
      } else if (sc == CCX_FLOAT || sc == CCX_COMPLEX) {
        long double x = as_fp(sc, sn, sp);
        int64_t v = dsize >= 8 && uns ? static_cast<int64_t>(ld2u64(x)) : ld2i64(x);
        write_int(dp, dsize, v, x < 0);
      } else if (cast && sc == CCX_PTR) {
        write_int(dp, dsize, static_cast<int64_t>(reinterpret_cast<uintptr_t>(read_ptr(sp))), false);
      } else if (cast && sc == CCX_ARRAY) {
        write_int(dp, dsize, static_cast<int64_t>(reinterpret_cast<uintptr_t>(sp)), false);
      } else {
        break;
      }
      return;
    }
    case CCX_FLOAT:
      if (sc > CCX_COMPLEX) break;
      if (sc == CCX_FLOAT && dsize == 8 && sn->size == 8) memcpy(dp, sp, 8);
      else write_fp(dp, dsize, as_fp(sc, sn, sp));
      return;
    case CCX_COMPLEX: {
      uint32_t esize = dsize / 2;
      if (sc == CCX_COMPLEX) {
        uint32_t ssize = sn->size / 2;
        write_fp(dp, esize, read_fp(sp, ssize));
        write_fp(dp + esize, esize, read_fp(sp + ssize, ssize));
      } else if (sc <= CCX_FLOAT) {
        write_fp(dp, esize, as_fp(sc, sn, sp));
        write_fp(dp + esize, esize, 0);
      } else {
        break;
      }
      return;
    }
    case CCX_VECTOR: {
      if (sc == CCX_VECTOR) {
        if (sn->size != dsize) break;
        memcpy(dp, sp, dsize);
        return;
      }
      if (sc > CCX_COMPLEX) break;
      CTypeEntry* elem = ctype_child(tab, dn);
      uint32_t esize = elem->size;
      conv_ct_ct(tab, elem, sn, dp, sp, flags, tv);
      for (uint32_t i = esize; i + esize <= dsize; i += esize) memcpy(dp + i, dp, esize);
      return;
    }
    case CCX_PTR: {
      const void* p;
      CTypeID dtarget = ctype_cid(dn->info);
      if (sc == CCX_INT && cast) {
        p = reinterpret_cast<const void*>(static_cast<uintptr_t>(read_int(sp, sn->size, true)));
      } else if (sc == CCX_FLOAT && cast && (flags & CCF_FROMTV)) {
        p = reinterpret_cast<const void*>(static_cast<uintptr_t>(ld2i64(read_fp(sp, sn->size))));
      } else if (sc == CCX_PTR) {
        if (!cast && !ptr_compatible(tab, dtarget, ctype_cid(sn->info))) break;
        p = read_ptr(sp);
      } else if (sc == CCX_ARRAY) {
        if (!cast && !ptr_compatible(tab, dtarget, ctype_cid(sn->info))) break;
        p = sp;
      } else if (sc == CCX_STRUCT) {
        if (!cast && !ptr_compatible(tab, dtarget, ctype_typeid(tab, sn))) break;
        p = sp;
      } else {
        break;
      }
      write_ptr(dp, p);
      return;
    }
    case CCX_ARRAY:
    case CCX_STRUCT:
      if (sc != dc || !same_type(tab, dn, sn)) break;
      memmove(dp, sp, dsize);
      return;
    default:
      break;
  }
  cconv_err(tab, d, s, flags, tv);
}

// ---- Lua to C ------------------------------------------------------------------------------------------

// The constant named name among an enum's constants.
bool enum_constant(CTypeTable* tab, CTypeEntry* e, GcString* name, uint32_t* value) {
  for (CTypeEntry* c = e; c->sib;) {
    c = ctype_get(tab, c->sib);
    if (c->name == name && ctype_isconstval(c->info)) {
      *value = c->size;
      return true;
    }
  }
  return false;
}

void init_array_tab(CTypeTable* tab, CTypeEntry* d, uint32_t size, uint8_t* dp, GcTable* t, uint32_t flags);
void init_struct_tab(CTypeTable* tab, CTypeEntry* d, uint8_t* dp, GcTable* t, uint32_t flags);

// A string stored into an array of bytes: its bytes and the terminating NUL, as far as they fit.
void init_bytes(uint8_t* dp, uint32_t size, const GcString* s) {
  uint32_t n = s->len + 1 < size ? s->len + 1 : size;
  memcpy(dp, strdata(s), n);
}

bool is_byte_array(const CTypeEntry* d, CTypeTable* tab) {
  return ctype_isarray(d->info) && !(d->info & (CTF_VECTOR | CTF_COMPLEX)) && ctype_child(tab, d)->size == 1;
}

// The address of a userdata's contents: a file handle's stream, a string buffer's data.
void* udata_address(GcUdata* ud) {
  if (ud->udtype == KX_UDTYPE_IO_FILE) return read_ptr(static_cast<const uint8_t*>(uddata(ud)));
  if (ud->udtype == KX_UDTYPE_BUFFER) return static_cast<StrBufExt*>(uddata(ud))->r;
  return uddata(ud);
}

void conv_tv(CTypeTable* tab, CTypeEntry* d, uint32_t dsize, uint8_t* dp, const Value* o, uint32_t flags) {
  CTypeEntry* s;
  const uint8_t* sp;
  alignas(8) uint8_t tmp[16];
  const Value* tv = o;
  if (tv_isnum(o) && ctype_isnum(d->info) && !(d->info & CTF_BOOL) && d->size <= 8) {  // the common case
    if (d->info & CTF_FP) {
      if (d->size == 8) memcpy(dp, &o->n, 8);
      else write_fp(dp, d->size, o->n);
    } else {
      bool uns = (d->info & CTF_UNSIGNED) != 0;
      int64_t v = d->size == 8 && uns ? static_cast<int64_t>(kx_cconv_num2u64(o->n)) : kx_cconv_num2i64(o->n);
      write_int(dp, d->size, v, false);
    }
    return;
  }
  if (tv_isnum(o)) {
    s = ctype_get(tab, CTID_DOUBLE);
    sp = reinterpret_cast<const uint8_t*>(&o->n);
  } else if (tv_iscdata(o)) {
    GcCdata* cd = cdataV(o);
    s = ctype_raw(tab, cd->ctype_id);
    sp = static_cast<const uint8_t*>(cdataptr(cd));
    tv = nullptr;
    if (ctype_isref(s->info)) {
      sp = static_cast<const uint8_t*>(read_ptr(sp));
      s = ctype_child(tab, s);
    } else if (ctype_isfunc(s->info)) {  // a function: a pointer to it
      s = ctype_get(tab, kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | cd->ctype_id), KX_CTSIZE_PTR));
    }
  } else if (tv_isstr(o)) {
    GcString* str = strV(o);
    if (ctype_isenum(d->info)) {
      uint32_t v;
      if (!enum_constant(tab, d, str, &v)) cconv_err(tab, d, ctype_get(tab, CTID_A_CCHAR), flags, o);
      memcpy(dp, &v, 4);
      return;
    }
    if (is_byte_array(d, tab)) {
      init_bytes(dp, dsize, str);
      return;
    }
    s = ctype_get(tab, CTID_A_CCHAR);
    sp = reinterpret_cast<const uint8_t*>(strdata(str));
  } else if (tv_istab(o) && ctype_isarray(d->info) && !(d->info & (CTF_VECTOR | CTF_COMPLEX))) {
    init_array_tab(tab, d, dsize, dp, tabV(o), flags);
    return;
  } else if (tv_istab(o) && ctype_isstruct(d->info)) {
    init_struct_tab(tab, d, dp, tabV(o), flags);
    return;
  } else if (tv_isfunc(o) && ctype_isptr(d->info) && ctype_isfunc(ctype_child(tab, d)->info)) {
    write_ptr(dp, kx_ccallback_new(tab, ctype_typeid(tab, d), o));
    return;
  } else {
    void* p;
    if (tv_isbool(o)) {
      tmp[0] = tv_istrue(o);
      s = ctype_get(tab, CTID_BOOL);
    } else {
      if (tv_isnil(o)) p = nullptr;
      else if (tv_islightud(o)) p = lightudV(o);
      else if (tv_isudata(o)) p = udata_address(udataV(o));
      else cconv_err(tab, d, ctype_get(tab, CTID_P_VOID), flags, o);
      write_ptr(tmp, p);
      s = ctype_get(tab, CTID_P_VOID);
    }
    sp = tmp;
  }
  conv_ct_ct(tab, d, s, dp, sp, flags | (tv ? CCF_FROMTV : 0), tv);
}

// Arrays from tables: t[0], t[1], ... (from t[1] when t[0] is nil) up to the first nil. One value
// fills every element; after several, the rest is zero.
void init_array_tab(CTypeTable* tab, CTypeEntry* d, uint32_t size, uint8_t* dp, GcTable* t, uint32_t flags) {
  CTypeEntry* elem = ctype_child(tab, d);
  uint32_t esize = elem->size;
  if (esize == 0 || esize == KX_CTSIZE_INVALID) cconv_err(tab, d, ctype_get(tab, CTID_P_VOID), flags, nullptr);
  uint32_t count = size == KX_CTSIZE_INVALID ? 0 : size / esize;
  const Value* v0 = kx_tab_getint(t, 0);
  int32_t i = v0 && !tv_isnil(v0) ? 0 : 1;
  uint32_t n = 0;
  for (;; i++, n++) {
    const Value* v = kx_tab_getint(t, i);
    if (v == nullptr || tv_isnil(v)) break;
    if (n >= count) init_err(tab, d);
    conv_tv(tab, elem, esize, dp + n * esize, v, flags);
  }
  if (n == 1) {
    for (uint32_t k = 1; k < count; k++) memcpy(dp + k * esize, dp, esize);
  } else {
    memset(dp + n * esize, 0, (count - n) * esize);
  }
}

// Struct fields from a table: positionally from t[0] or t[1] on, or by name when there is no first
// positional value. A gap after a positional value ends the initialisation; a union takes its first
// initialised field.
struct FieldInit {
  GcTable* t;
  int32_t next;  // next positional index, or -1 when fields are taken by name
  bool done;
};

void init_fields(CTypeTable* tab, CTypeEntry* st, uint8_t* dp, FieldInit* fi, uint32_t flags) {
  bool isunion = (st->info & CTF_UNION) != 0;
  for (CTypeEntry* f = st; f->sib && !fi->done;) {
    f = ctype_get(tab, f->sib);
    if (ctype_isattrib(f->info) && ctype_attrib(f->info) == CTA_SUBTYPE) {
      CTypeEntry* sub = ctype_child(tab, f);
      if (ctype_isstruct(sub->info)) init_fields(tab, sub, dp + f->size, fi, flags);
      continue;
    }
    if (!ctype_isfield(f->info) && !ctype_isbitfield(f->info)) continue;
    const Value* v;
    if (fi->next >= 0) {
      v = kx_tab_getint(fi->t, fi->next++);
      if (v == nullptr || tv_isnil(v)) {
        fi->done = true;
        return;
      }
    } else {
      if (f->name == nullptr) continue;
      v = kx_tab_getstr(fi->t, f->name);
      if (v == nullptr || tv_isnil(v)) continue;
    }
    if (ctype_isbitfield(f->info)) {
      kx_cconv_bf_tv(tab, f, dp + f->size, v);
    } else {
      CTypeEntry* ft = ctype_raw(tab, ctype_cid(f->info));
      conv_tv(tab, ft, ft->size, dp + f->size, v, flags);
    }
    if (isunion) return;
  }
}

void init_struct_tab(CTypeTable* tab, CTypeEntry* d, uint8_t* dp, GcTable* t, uint32_t flags) {
  memset(dp, 0, d->size);
  FieldInit fi{t, -1, false};
  const Value* v0 = kx_tab_getint(t, 0);
  const Value* v1 = kx_tab_getint(t, 1);
  if (v0 && !tv_isnil(v0)) fi.next = 0;
  else if (v1 && !tv_isnil(v1)) fi.next = 1;
  init_fields(tab, d, dp, &fi, flags);
}

// Several values, one field after another; returns how many were taken.
uint32_t init_fields_from(CTypeTable* tab, CTypeEntry* st, uint8_t* dp, const Value* o, uint32_t n, uint32_t k) {
  for (CTypeEntry* f = st; f->sib && k < n;) {
    f = ctype_get(tab, f->sib);
    if (ctype_isattrib(f->info) && ctype_attrib(f->info) == CTA_SUBTYPE) {
      CTypeEntry* sub = ctype_child(tab, f);
      if (ctype_isstruct(sub->info)) k = init_fields_from(tab, sub, dp + f->size, o, n, k);
      continue;
    }
    if (ctype_isbitfield(f->info)) {
      kx_cconv_bf_tv(tab, f, dp + f->size, o + k++);
    } else if (ctype_isfield(f->info)) {
      CTypeEntry* ft = ctype_raw(tab, ctype_cid(f->info));
      conv_tv(tab, ft, ft->size, dp + f->size, o + k++, 0);
    } else {
      continue;
    }
    if (st->info & CTF_UNION) break;
  }
  return k;
}

}  // namespace

void kx_cconv_ct_ct(CTypeTable* tab, CTypeEntry* d, CTypeEntry* s, uint8_t* dp, const uint8_t* sp, uint32_t flags) {
  conv_ct_ct(tab, d, s, dp, sp, flags, nullptr);
}

bool kx_cconv_same_target(CTypeTable* tab, CTypeID dt, CTypeID st) {
  if (qual_of(tab, dt) != qual_of(tab, st)) return false;
  return targets_compatible(tab, ctype_raw(tab, dt), ctype_raw(tab, st));
}

void kx_cconv_ct_tv(CTypeTable* tab, CTypeEntry* d, uint8_t* dp, const Value* o, uint32_t flags) {
  conv_tv(tab, d, d->size, dp, o, flags);
}

// ---- C to Lua --------------------------------------------------------------------------------------------

bool kx_cconv_tv_ct(CTypeTable* tab, CTypeEntry* s, CTypeID sid, Value* o, const uint8_t* sp) {
  uint32_t info = s->info;
  if (ctype_isnum(info)) {
    if (info & CTF_BOOL) {
      setboolV(o, any_nonzero(sp, s->size));
      return false;
    }
    if (info & CTF_FP) {
      if (s->size == 8) {
        double d;
        memcpy(&d, sp, 8);
        setnumV_canon(o, d);
      } else {
        setnumV_canon(o, static_cast<double>(read_fp(sp, s->size)));
      }
      return false;
    }
    if (s->size <= 4) {
      setnumV(o, static_cast<double>(read_int(sp, s->size, (info & CTF_UNSIGNED) != 0)));
      return false;
    }
  } else if (ctype_isstruct(info) || (ctype_isarray(info) && !(info & (CTF_VECTOR | CTF_COMPLEX)))) {
    CTypeID ref = kx_ctype_intern(tab, ctinfo(CT_PTR, CTF_REF | ctype_alignflag(KX_CTALIGN_PTR) | sid), KX_CTSIZE_PTR);
    GcCdata* cd = kx_cdata_new(tab, ref, KX_CTSIZE_PTR);
    write_ptr(static_cast<uint8_t*>(cdataptr(cd)), sp);
    setcdataV(o, cd);
    return true;
  } else if (ctype_isvoid(info) || ctype_isfunc(info) || s->size == KX_CTSIZE_INVALID) {
    cconv_err(tab, ctype_get(tab, CTID_DOUBLE), s, 0, nullptr);
  }
  GcCdata* cd = kx_cdata_newx(tab, sid, s->size, info);
  memcpy(cdataptr(cd), sp, s->size);
  setcdataV(o, cd);
  return true;
}

// ---- Bit fields ----------------------------------------------------------------------------------------

// A bit field is read from the bytes that hold it, starting at its container: a field of a packed
// struct may extend past its container's end.
namespace {
uint32_t bf_bytes(uint32_t info) { return (ctype_bitpos(info) + ctype_bitbsz(info) + 7) / 8; }
}  // namespace

void kx_cconv_tv_bf(CTypeTable*, const CTypeEntry* f, Value* o, const uint8_t* sp) {
  uint32_t info = f->info, pos = ctype_bitpos(info), bsz = ctype_bitbsz(info);
  uint64_t v = 0;
  memcpy(&v, sp, bf_bytes(info));
  v = (v >> pos) & ((uint64_t(1) << bsz) - 1);
  if (info & CTF_BOOL) {
    setboolV(o, v != 0);
  } else if (info & CTF_UNSIGNED) {
    setnumV(o, static_cast<double>(v));
  } else {
    uint64_t sign = uint64_t(1) << (bsz - 1);
    setnumV(o, static_cast<double>(static_cast<int64_t>((v ^ sign) - sign)));
  }
}

void kx_cconv_bf_tv(CTypeTable* tab, const CTypeEntry* f, uint8_t* dp, const Value* o) {
  uint32_t info = f->info, pos = ctype_bitpos(info), bsz = ctype_bitbsz(info);
  CTypeID via = info & CTF_BOOL ? CTID_BOOL : info & CTF_UNSIGNED ? CTID_UINT32 : CTID_INT32;
  alignas(4) uint8_t tmp[4] = {0, 0, 0, 0};
  kx_cconv_ct_tv(tab, ctype_get(tab, via), tmp, o, 0);
  uint32_t x;
  memcpy(&x, tmp, 4);
  if (via == CTID_BOOL) x &= 1;
  uint64_t mask = ((uint64_t(1) << bsz) - 1) << pos;
  uint64_t v = 0;
  uint32_t n = bf_bytes(info);
  memcpy(&v, dp, n);
  v = (v & ~mask) | ((uint64_t(x) << pos) & mask);
  memcpy(dp, &v, n);
}

// ---- Initialisers ----------------------------------------------------------------------------------------

bool kx_cconv_multi_init(CTypeTable* tab, CTypeEntry* d, const Value* o) {
  bool aggregate = ctype_isstruct(d->info) || (ctype_isarray(d->info) && !(d->info & CTF_COMPLEX));
  if (!aggregate) return false;
  if (tv_isstr(o) || tv_istab(o)) return false;
  return !(tv_iscdata(o) && ctype_raw(tab, cdataV(o)->ctype_id) == d);
}

void kx_cconv_ct_init(CTypeTable* tab, CTypeEntry* d, uint32_t size, uint8_t* dp, const Value* o, uint32_t n) {
  memset(dp, 0, size);
  if (n == 0) return;
  if (n == 1 && !kx_cconv_multi_init(tab, d, o)) {
    conv_tv(tab, d, size, dp, o, 0);
    return;
  }
  if (ctype_isarray(d->info)) {
    CTypeEntry* elem = ctype_child(tab, d);
    uint32_t esize = elem->size;
    uint32_t count = esize ? size / esize : 0;
    if (n > count) init_err(tab, d);
    for (uint32_t i = 0; i < n; i++) conv_tv(tab, elem, esize, dp + i * esize, o + i, 0);
    if (n == 1)
      for (uint32_t i = 1; i < count; i++) memcpy(dp + i * esize, dp, esize);
    return;
  }
  if (ctype_isstruct(d->info)) {
    if (init_fields_from(tab, d, dp, o, n, 0) < n) init_err(tab, d);
    return;
  }
  init_err(tab, d);
}
