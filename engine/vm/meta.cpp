// Metamethod lookup and the slow paths of the instructions.
#include "vm/meta.h"

#include <cmath>

#include "bytecode/bc.h"
#include "core/arith.h"
#include "core/cdata.h"
#include "core/err.h"
#include "core/frame.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "core/table.h"

// ---- Lookup --------------------------------------------------------------------------------------------

GcTable* kx_meta_getmt(GlobalState* g, const Value* o) {
  if (tv_istab(o)) return tabV(o)->metatable;
  if (tv_isudata(o)) return udataV(o)->metatable;
  return basemt(g, tv_itype(o));
}

const Value* kx_meta_lookup(lua_State* L, const Value* o, MetaMethod mm) {
  GlobalState* g = G(L);
  if (GcTable* mt = kx_meta_getmt(g, o)) {
    const Value* mo = kx_tab_getstr(mt, mmname(g, mm));
    if (mo) return mo;
  }
  return niltv(g);
}

Value* kx_meta_calltop(lua_State* L) {
  Value* frame = L->base - 1;
  GcFunc* fn = funcV(frame);
  if (frame > L->stack && isluafunc(fn)) return L->base + funcproto(fn)->frame_size;
  return L->top;
}

// Places a continuation and a call of mo with (a, b) at the top of the current frame; returns the
// new base.
static Value* mmcall(lua_State* L, ContKind cont, const Value* mo, const Value* a, const Value* b) {
  Value* top = kx_meta_calltop(L);
  setcont_kind(top, cont);
  copyV(top + 1, mo);
  copyV(top + 2, a);
  copyV(top + 3, b);
  return top + 2;
}

// ---- Indexing ----------------------------------------------------------------------------------------------

constexpr int KX_MAX_INDEX_CHAIN = 100;

const Value* kx_meta_tget(lua_State* L, const Value* o, const Value* k) {
  GlobalState* g = G(L);
  for (int loop = 0; loop < KX_MAX_INDEX_CHAIN; loop++) {
    const Value* mo;
    if (tv_istab(o)) {
      GcTable* t = tabV(o);
      const Value* v;
      if (tv_isstr(k)) {  // the common case: fields and methods through __index tables
        v = kx_tab_getstr(t, strV(k));
        if (v == nullptr) v = niltv(g);
      } else {
        v = kx_tab_get(L, t, k);
      }
      if (!tv_isnil(v)) return v;
      mo = kx_meta_fast(g, t->metatable, MM_index);
      if (mo == nullptr) return v;
    } else {
      mo = kx_meta_lookup(L, o, MM_index);
      if (tv_isnil(mo)) kx_err_optype(L, o, KX_ERR_OpIndex);
    }
    if (tv_isfunc(mo)) {
      L->top = mmcall(L, KX_CONT_RA, mo, o, k);
      return nullptr;
    }
    o = mo;
  }
  kx_err_msg(L, KX_ERR_GetChainLoop);
}

Value* kx_meta_tset(lua_State* L, const Value* o, const Value* k) {
  GlobalState* g = G(L);
  for (int loop = 0; loop < KX_MAX_INDEX_CHAIN; loop++) {
    const Value* mo;
    if (tv_istab(o)) {
      GcTable* t = tabV(o);
      Value* v = const_cast<Value*>(kx_tab_get(L, t, k));
      if (!tv_isnil(v)) {
        t->nomm = 0;
        kx_gc_barrierback(g, t);
        return v;
      }
      mo = kx_meta_fast(g, t->metatable, MM_newindex);
      if (mo == nullptr) {
        t->nomm = 0;
        kx_gc_barrierback(g, t);
        if (v != niltv(g)) return v;
        return kx_tab_set(L, t, k);  // raises for nil and NaN keys
      }
    } else {
      mo = kx_meta_lookup(L, o, MM_newindex);
      if (tv_isnil(mo)) kx_err_optype(L, o, KX_ERR_OpIndex);
    }
    if (tv_isfunc(mo)) {
      L->top = mmcall(L, KX_CONT_NOP, mo, o, k);
      return nullptr;
    }
    o = mo;
  }
  kx_err_msg(L, KX_ERR_SetChainLoop);
}

// ---- Arithmetic ---------------------------------------------------------------------------------------------

// A number, or a string that converts to one.
static const Value* str2num(const Value* o, Value* tmp) {
  if (tv_isnum(o)) return o;
  if (tv_isstr(o) && kx_strscan_num(strV(o), tmp)) return tmp;
  return nullptr;
}

static uint32_t arith_op(uint32_t op) {
  if (op == BC_POW) return KX_ARITH_POW;
  if (op == BC_UNM) return KX_ARITH_UNM;
  return (op - BC_ADDVN) % 5;
}

Value* kx_meta_arith(lua_State* L, Value* ra, const Value* rb, const Value* rc, uint32_t op) {
  Value tb, tc;
  const Value* b = str2num(rb, &tb);
  const Value* c = str2num(rc, &tc);
  if (b && c) {
    setnumV(ra, kx_arith_num(arith_op(op), numV(b), numV(c)));
    return nullptr;
  }
  MetaMethod mm = static_cast<MetaMethod>(bcmode_mm(op));
  const Value* mo = kx_meta_lookup(L, rb, mm);
  if (tv_isnil(mo)) mo = kx_meta_lookup(L, rc, mm);
  if (tv_isnil(mo)) kx_err_optype(L, b ? rc : rb, KX_ERR_OpArith);
  return mmcall(L, KX_CONT_RA, mo, rb, rc);
}

// An operand of a 64-bit bitwise operation: a number (truncated) or a numeric C data object;
// *uns when it is an unsigned 64-bit integer.
static bool bit_operand(GlobalState* g, const Value* o, uint64_t* x, bool* uns) {
  *uns = false;
  if (tv_isnum(o)) {
    double n = numV(o);
    *x = n >= -9223372036854775808.0 && n < 9223372036854775808.0 ? static_cast<uint64_t>(static_cast<int64_t>(n))
                                                                  : 0x8000000000000000ull;
    return true;
  }
  if (!tv_iscdata(o)) return false;
  CdataIntKind kind = kx_cdata_int64(g, cdataV(o), x);
  *uns = kind == KX_CINT_U64;
  return kind != KX_CINT_NONE;
}

// Strings are not converted and there are no bitwise metamethods. With C data operands the operation
// is carried out on 64 bits, giving a 64-bit C data result; shift counts use their low six bits.
void kx_meta_bitop(lua_State* L, Value* ra, const Value* rb, const Value* rc, uint32_t op) {
  GlobalState* g = G(L);
  uint64_t x, y;
  bool ux, uy;
  if (!bit_operand(g, rb, &x, &ux)) kx_err_optype(L, rb, KX_ERR_OpArith);
  if (!bit_operand(g, rc, &y, &uy)) kx_err_optype(L, rc, KX_ERR_OpArith);
  bool shift = op == BC_BSHL || op == BC_BSHR || op == BC_BSAR;
  bool uns = ux || (uy && !shift);
  uint64_t r;
  switch (op) {
    case BC_BNOT: r = ~x; break;
    case BC_BAND: r = x & y; break;
    case BC_BOR: r = x | y; break;
    case BC_BXOR: r = x ^ y; break;
    case BC_BSHL: r = x << (y & 63); break;
    case BC_BSHR: r = x >> (y & 63); break;
    default: r = static_cast<uint64_t>(static_cast<int64_t>(x) >> (y & 63)); break;
  }
  setcdataV(ra, kx_cdata_newconst(L, uns ? KX_CTID_UINT64 : KX_CTID_INT64, &r));
}

// ---- Concatenation -----------------------------------------------------------------------------------------

bool kx_meta_isstrlike(const Value* o) {
  return tv_isstr(o) || tv_isnum(o) || (tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_BUFFER);
}

static uint32_t piece_len(const Value* o) {
  if (tv_isstr(o)) return strV(o)->len;
  if (tv_isnum(o)) return 32;
  const StrBufExt* sbx = static_cast<const StrBufExt*>(uddata(udataV(o)));
  return static_cast<uint32_t>(sbx->sb.w - sbx->r);
}

static void put_piece(StrBuf* sb, const Value* o) {
  if (tv_isstr(o)) {
    kx_buf_putstr(sb, strV(o));
  } else if (tv_isnum(o)) {
    kx_strfmt_putnum(sb, numV(o));
  } else {
    const StrBufExt* sbx = static_cast<const StrBufExt*>(uddata(udataV(o)));
    kx_buf_putmem(sb, sbx->r, static_cast<uint32_t>(sbx->sb.w - sbx->r));
  }
}

Value* kx_meta_cat(lua_State* L, Value* top, int32_t left) {
  do {
    if (!(kx_meta_isstrlike(top - 1) && kx_meta_isstrlike(top))) {
      const Value* mo = kx_meta_lookup(L, top - 1, MM_concat);
      if (tv_isnil(mo)) mo = kx_meta_lookup(L, top, MM_concat);
      if (tv_isnil(mo)) kx_err_optype(L, kx_meta_isstrlike(top - 1) ? top : top - 1, KX_ERR_OpConcat);
      // The pair's own slots hold the continuation and the call: left slot, function, two arguments.
      copyV(top + 2, top);
      copyV(top + 1, top - 1);
      copyV(top, mo);
      setcont_kind(top - 1, KX_CONT_CAT);
      return top + 1;
    }
    // Join the longest run of string-like operands at the right end.
    int32_t n = 2;
    uint64_t total = static_cast<uint64_t>(piece_len(top)) + piece_len(top - 1);
    while (n <= left && kx_meta_isstrlike(top - n)) total += piece_len(top - n++);
    if (total > 0x7ffffeff) kx_err_msg(L, KX_ERR_StringLengthOverflow);
    StrBuf* sb = kx_buf_tmp(L);
    Value* first = top - (n - 1);
    for (Value* o = first; o <= top; o++) put_piece(sb, o);
    setstrV(first, kx_buf_tostr(sb));
    left -= n - 1;
    top = first;
  } while (left >= 1);
  return nullptr;
}

// ---- Length, comparison, equality -------------------------------------------------------------------------

Value* kx_meta_len(lua_State* L, const Value* o) {
  const Value* mo = kx_meta_lookup(L, o, MM_len);
  if (tv_isnil(mo)) {
    if (tv_istab(o)) {
      if (GcTable* mt = tabV(o)->metatable) mt->nomm |= 1u << MM_len;
      return nullptr;
    }
    kx_err_optype(L, o, KX_ERR_OpLength);
  }
  return mmcall(L, KX_CONT_RA, mo, o, o);
}

uintptr_t kx_meta_comp(lua_State* L, const Value* a, const Value* b, uint32_t op) {
  bool le = op == BC_ISLE || op == BC_ISGT;
  bool negate = op == BC_ISGE || op == BC_ISGT;
  if (tv_isstr(a) && tv_isstr(b)) {
    int32_t c = kx_str_cmp(strV(a), strV(b));
    return (le ? c <= 0 : c < 0) != negate;
  }
  for (;;) {
    MetaMethod mm = le ? MM_le : MM_lt;
    const Value* mo = kx_meta_lookup(L, a, mm);
    if (tv_isnil(mo)) mo = kx_meta_lookup(L, b, mm);
    if (!tv_isnil(mo)) {
      Value* nb = mmcall(L, negate ? KX_CONT_CONDF : KX_CONT_CONDT, mo, a, b);
      return reinterpret_cast<uintptr_t>(nb);
    }
    if (!le) kx_err_comp(L, a, b);
    // a <= b as not (b < a), through __lt.
    le = false;
    negate = !negate;
    const Value* t = a;
    a = b;
    b = t;
  }
}

uintptr_t kx_meta_equal(lua_State* L, const Value* a, const Value* b, bool negate) {
  GlobalState* g = G(L);
  GcTable* mta = tv_istab(a) ? tabV(a)->metatable : udataV(a)->metatable;
  const Value* mo = kx_meta_fast(g, mta, MM_eq);
  if (mo) {
    GcTable* mtb = tv_istab(b) ? tabV(b)->metatable : udataV(b)->metatable;
    if (mtb != mta) {
      const Value* mob = kx_meta_fast(g, mtb, MM_eq);
      if (mob == nullptr || !kx_obj_equal(mo, mob)) return negate;
    }
    return reinterpret_cast<uintptr_t>(mmcall(L, negate ? KX_CONT_CONDF : KX_CONT_CONDT, mo, a, b));
  }
  return negate;
}

uintptr_t kx_meta_equal_cdata(lua_State* L, const Value* a, const Value* b, bool negate) {
  const Value* mo = kx_meta_lookup(L, tv_iscdata(a) ? a : b, MM_eq);
  if (tv_isnil(mo)) return (a->u64 == b->u64) != negate;
  return reinterpret_cast<uintptr_t>(mmcall(L, negate ? KX_CONT_CONDF : KX_CONT_CONDT, mo, a, b));
}

// ---- Calls, loops, type checks --------------------------------------------------------------------------

void kx_meta_call(lua_State* L, Value* func, Value* top, uint32_t link) {
  const Value* mo = kx_meta_lookup(L, func, MM_call);
  if (!tv_isfunc(mo)) {
    // A Lua caller names the called slot. A built-in that hands its own slot to a tail call is the
    // frame itself: its slot no longer holds a function.
    Value* frame = L->base - 1;
    if (frame > L->stack && frame != func && isluafunc(funcV(frame))) kx_err_optype(L, func, KX_ERR_OpCall);
    kx_err_callnonfunc(L, func, link);
  }
  for (Value* p = top; p > func; p--) copyV(p, p - 1);
  copyV(func, mo);
  setframe_link(func, link);
}

void kx_meta_for(lua_State* L, Value* slots) {
  static const ErrorCode msgs[3] = {KX_ERR_ForInitNotNumber, KX_ERR_ForLimitNotNumber, KX_ERR_ForStepNotNumber};
  for (int i = 0; i < 3; i++) {
    Value* o = slots + i;
    if (tv_isnum(o)) continue;
    Value n;
    if (!tv_isstr(o) || !kx_strscan_num(strV(o), &n)) kx_err_msg(L, msgs[i]);
    copyV(o, &n);
  }
}

void kx_meta_istype(lua_State* L, uint32_t slot, uint32_t type) {
  // Arguments of the Lua function run like those of a C function: all registers are present.
  L->top = L->base + funcproto(funcV(L->base - 1))->frame_size;
  Value* o = L->base + slot;
  int narg = static_cast<int>(slot) + 1;
  if (type == KX_INUM) {
    Value n;
    if (tv_isstr(o) && kx_strscan_num(strV(o), &n)) {
      copyV(o, &n);
      return;
    }
    kx_err_argt(L, narg, LUA_TNUMBER);
  }
  if (type == KX_ISTR && tv_isnum(o)) {
    setstrV(o, kx_strfmt_num(L, numV(o)));
    return;
  }
  kx_err_argt(L, narg, kx_obj_publictype[type]);
}
