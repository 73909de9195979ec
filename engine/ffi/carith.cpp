// Arithmetic and comparisons of C data.
//
// Pointers move by whole elements and compare by address. Numeric operands of at most 8 bytes,
// plain numbers included, are combined as 64-bit integers: signed, or unsigned when either operand
// is an unsigned 64-bit integer. Every operation is defined: addition, subtraction and multiplication
// wrap, division and modulo by zero and the most negative number divided by -1 give 2^63.
#include "ffi/carith.h"

#include "core/err.h"
#include "core/gc.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"

namespace {

struct Operand {
  CTypeEntry* ct;      // after attributes, references and enums; arrays and functions as pointers
  CTypeID id;          // the type of a pointer result
  const uint8_t* p;
  uint8_t tmp[8];
};

void as_pointer(CTypeTable* tab, Operand* a, CTypeID target, const void* address) {
  memcpy(a->tmp, &address, sizeof(address));
  a->p = a->tmp;
  a->id = kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | target), KX_CTSIZE_PTR);
  a->ct = ctype_get(tab, a->id);
}

bool operand(CTypeTable* tab, const Value* o, Operand* a, bool comparison) {
  if (tv_isnum(o)) {
    a->ct = ctype_get(tab, CTID_DOUBLE);
    a->p = reinterpret_cast<const uint8_t*>(&o->n);
    return true;
  }
  if (tv_isnil(o) && comparison) {
    as_pointer(tab, a, CTID_VOID, nullptr);
    return true;
  }
  if (!tv_iscdata(o)) return false;
  GcCdata* cd = cdataV(o);
  a->id = cd->ctype_id;
  a->ct = ctype_raw(tab, a->id);
  a->p = static_cast<const uint8_t*>(cdataptr(cd));
  if (ctype_isref(a->ct->info)) {
    memcpy(&a->p, a->p, sizeof(a->p));
    a->id = ctype_cid(a->ct->info);
    a->ct = ctype_raw(tab, a->id);
  }
  uint32_t info = a->ct->info;
  if (ctype_isarray(info) && !(info & (CTF_COMPLEX | CTF_VECTOR))) {
    as_pointer(tab, a, ctype_cid(info), a->p);
  } else if (ctype_isfunc(info)) {
    void* fn;
    memcpy(&fn, a->p, sizeof(fn));
    as_pointer(tab, a, a->id, fn);
  } else if (ctype_isenum(info)) {
    a->ct = ctype_child(tab, a->ct);
  }
  return true;
}

inline const uint8_t* ptr_value(const Operand* a) {
  const uint8_t* p;
  memcpy(&p, a->p, sizeof(p));
  return p;
}
inline bool is_integer(const Operand* a) { return ctype_isnum(a->ct->info) && !(a->ct->info & CTF_BOOL); }

void push_int64(lua_State* L, CTypeTable* tab, uint64_t v, bool uns) {
  GcCdata* cd = kx_cdata_new(tab, uns ? CTID_UINT64 : CTID_INT64, 8);
  memcpy(cdataptr(cd), &v, 8);
  setcdataV(L->top, cd);
  kx_state_incr_top(L);
}

// An index for pointer arithmetic: integers and numbers (truncated).
int64_t index_of(CTypeTable* tab, const Operand* a) {
  int64_t v;
  kx_cconv_ct_ct(tab, ctype_get(tab, CTID_INT64), a->ct, reinterpret_cast<uint8_t*>(&v), a->p, 0);
  return v;
}

uint32_t elem_size(lua_State* L, CTypeTable* tab, const Operand* a) {
  uint32_t size;
  kx_ctype_info(tab, ctype_cid(a->ct->info), &size);
  if (size == KX_CTSIZE_INVALID) kx_err_callerv(L, KX_ERR_FfiTypeSize);
  return size;
}

int arith_ptr(lua_State* L, CTypeTable* tab, MetaMethod mm, const Operand* a, const Operand* b) {
  bool pa = ctype_isptr(a->ct->info), pb = ctype_isptr(b->ct->info);
  if (pa && pb) {
    uintptr_t x = reinterpret_cast<uintptr_t>(ptr_value(a)), y = reinterpret_cast<uintptr_t>(ptr_value(b));
    switch (mm) {
      case MM_eq: lua_pushboolean(L, x == y); return 1;
      case MM_lt: lua_pushboolean(L, x < y); return 1;
      case MM_le: lua_pushboolean(L, x <= y); return 1;
      case MM_sub: {
        uint32_t esize = elem_size(L, tab, a);
        if (elem_size(L, tab, b) != esize) return 0;
        int64_t diff = static_cast<int64_t>(x - y);
        push_int64(L, tab, static_cast<uint64_t>(esize ? diff / static_cast<int64_t>(esize) : 0), false);
        return 1;
      }
      default: return 0;
    }
  }
  if (!pa) {  // integer + pointer
    if (mm != MM_add || !is_integer(a)) return 0;
    const Operand* t = a;
    a = b;
    b = t;
  }
  if ((mm != MM_add && mm != MM_sub) || !is_integer(b)) return 0;
  int64_t idx = index_of(tab, b);
  uint64_t step = static_cast<uint64_t>(idx) * elem_size(L, tab, a);
  uintptr_t base = reinterpret_cast<uintptr_t>(ptr_value(a));
  uintptr_t r = mm == MM_add ? base + static_cast<uintptr_t>(step) : base - static_cast<uintptr_t>(step);
  GcCdata* cd = kx_cdata_new(tab, a->id, KX_CTSIZE_PTR);
  memcpy(cdataptr(cd), &r, sizeof(r));
  setcdataV(L->top, cd);
  kx_state_incr_top(L);
  return 1;
}

uint64_t to_u64(CTypeTable* tab, const Operand* a, bool uns) {
  CTypeID via = uns ? CTID_UINT64 : CTID_INT64;
  uint64_t v;
  kx_cconv_ct_ct(tab, ctype_get(tab, via), a->ct, reinterpret_cast<uint8_t*>(&v), a->p, 0);
  return v;
}

// base ^ exp by repeated squaring; a negative signed exponent gives the integer part of 1 / base^n.
uint64_t int_pow(uint64_t base, uint64_t exp, bool uns) {
  if (!uns && static_cast<int64_t>(exp) < 0) {
    if (base == 0) return 0x7fffffffffffffffull;
    if (base == 1) return 1;
    if (static_cast<int64_t>(base) == -1) return exp & 1 ? ~0ull : 1;
    return 0;
  }
  uint64_t r = 1;
  for (; exp; exp >>= 1, base *= base)
    if (exp & 1) r *= base;
  return r;
}

constexpr uint64_t MIN64 = 0x8000000000000000ull;

uint64_t int_divmod(uint64_t x, uint64_t y, bool uns, bool div) {
  if (y == 0) return MIN64;
  if (uns) return div ? x / y : x % y;
  int64_t sx = static_cast<int64_t>(x), sy = static_cast<int64_t>(y);
  if (sx == INT64_MIN && sy == -1) return div ? MIN64 : 0;
  return static_cast<uint64_t>(div ? sx / sy : sx % sy);
}

int arith_int64(lua_State* L, CTypeTable* tab, MetaMethod mm, const Operand* a, const Operand* b) {
  auto unsigned64 = [](const Operand* o) {
    return is_integer(o) && !(o->ct->info & CTF_FP) && o->ct->size == 8 && (o->ct->info & CTF_UNSIGNED);
  };
  bool uns = unsigned64(a) || unsigned64(b);
  uint64_t x = to_u64(tab, a, uns), y = to_u64(tab, b, uns);
  uint64_t r;
  switch (mm) {
    case MM_eq: lua_pushboolean(L, x == y); return 1;
    case MM_lt: lua_pushboolean(L, uns ? x < y : static_cast<int64_t>(x) < static_cast<int64_t>(y)); return 1;
    case MM_le: lua_pushboolean(L, uns ? x <= y : static_cast<int64_t>(x) <= static_cast<int64_t>(y)); return 1;
    case MM_add: r = x + y; break;
    case MM_sub: r = x - y; break;
    case MM_mul: r = x * y; break;
    case MM_div: r = int_divmod(x, y, uns, true); break;
    case MM_mod: r = int_divmod(x, y, uns, false); break;
    case MM_pow: r = int_pow(x, y, uns); break;
    case MM_unm: r = 0 - x; break;
    default: return 0;
  }
  push_int64(L, tab, r, uns);
  return 1;
}

}  // namespace

int kx_carith_op(lua_State* L, CTypeTable* tab, MetaMethod mm) {
  const Value* va = L->base;
  const Value* vb = L->base + 1 < L->top ? L->base + 1 : va;
  bool comparison = mm == MM_eq || mm == MM_lt || mm == MM_le;
  Operand a, b;
  if (!operand(tab, va, &a, comparison) || !operand(tab, vb, &b, comparison)) return 0;
  if (ctype_isptr(a.ct->info) || ctype_isptr(b.ct->info)) return arith_ptr(L, tab, mm, &a, &b);
  if (ctype_isnum(a.ct->info) && ctype_isnum(b.ct->info) && a.ct->size <= 8 && b.ct->size <= 8)
    return arith_int64(L, tab, mm, &a, &b);
  return 0;
}
