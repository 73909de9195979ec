// The interpreter loop and its C-level entries.
//
// One function runs every frame above a C-level entry: Lua-to-Lua calls, returns, metamethod calls
// (continuation frames) and pcall frames never recurse on the C stack. Dispatch goes through the
// instance's dynamic table of handler addresses, so hooks can redirect instructions at no cost to the
// plain path.
#include "vm/vm.h"

#include <cmath>
#include <cstring>

#include "core/arith.h"
#include "core/frame.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/str.h"
#include "core/strscan.h"
#include "core/table.h"
#include "vm/dispatch.h"
#include "vm/err.h"
#include "vm/ffid.h"
#include "vm/meta.h"

namespace {

enum VmStart { VM_INIT, VM_CALL, VM_RETURN };

// Operand fields of the running instruction, decoded in the machine word, so that a slot index made
// from one needs no further zero extension on x86-64.
inline uintptr_t ins_a(uintptr_t i) { return (i >> 8) & 0xff; }
inline uintptr_t ins_b(uintptr_t i) { return (i >> 24) & 0xff; }
inline uintptr_t ins_c(uintptr_t i) { return (i >> 16) & 0xff; }
inline uintptr_t ins_d(uintptr_t i) { return (i >> 16) & 0xffff; }

// Where the next error position and hooks find the running instruction.
inline EntryRecord* curr_entry(lua_State* L) { return cframe_raw(L->c_frame); }

// Room above base for a Lua frame; grows the stack (which moves it) when short.
inline bool frame_fits(lua_State* L, Value* base, uint32_t slots) { return base + slots <= L->stack_limit; }

const Value* kconst_num(const Value* kbase, uint32_t i) { return &kbase[i]; }
GcObj* kconst_gc(const Value* kbase, uint32_t i) {
  return reinterpret_cast<const Ref<GcObj>*>(kbase)[~static_cast<int32_t>(i)];
}

// Stores the results of a finished C-level entry and leaves: results start at the entry's function
// slot; exactly wanted - 1 of them are kept when wanted > 0.
int vm_leave(lua_State* L, Value* base, Value* rptr, uint32_t nres) {
  Value* func = base - 1;
  L->base = frame_prevd(func) + 1;
  for (uint32_t i = 0; i < nres; i++) copyV(func + i, rptr + i);
  int32_t wanted = curr_entry(L)->wanted;
  if (wanted > 0) {
    uint32_t want = static_cast<uint32_t>(wanted - 1);
    if (func + want > L->stack_limit) {
      L->top = func + nres;
      ptrdiff_t off = savestack(L, func);
      kx_state_growstack(L, want);
      func = restorestack(L, static_cast<int32_t>(off));
    }
    for (uint32_t i = nres; i < want; i++) setnilV(func + i);
    nres = want;
  }
  L->top = func + nres;
  G(L)->vm_state = KX_VMST_C;
  return LUA_OK;
}

}  // namespace

// Runs frames until the frame of the current C-level entry returns (status 0).
// VM_CALL: the value in base - 1 is called with base ... top - 1 as arguments; arg is its frame link.
// VM_RETURN: the arg values below top are returned from the frame at base.
static int vm_run(lua_State* L, VmStart how, Value* base, uint32_t arg) {
  static const void* const labels[BC__MAX] = {
#define BCLABEL(name, ma, mb, mc, mm) &&op_##name,
      KX_BCDEF(BCLABEL)
#undef BCLABEL
  };
  if (how == VM_INIT) {
    GlobalState* g = reinterpret_cast<GlobalState*>(base);
    DispatchArea* da = kx_dispatch(g);
    for (uint32_t i = 0; i < BC__MAX; i++) da->plain[i] = labels[i];
    for (uint32_t i = BC__MAX; i < BC__DISPATCH; i++) da->plain[i] = &&ff_call;
    // Without a trace compiler the counting instructions run as their non-counting variants.
    da->plain[BC_FORL] = &&op_IFORL;
    da->plain[BC_ITERL] = &&op_IITERL;
    da->plain[BC_LOOP] = &&op_ILOOP;
    da->plain[BC_FUNCF] = &&op_IFUNCF;
    da->plain[BC_FUNCV] = &&op_IFUNCV;
    da->plain[uint32_t(BC__MAX) + KX_FE_pcall] = &&ff_pcall;
    da->plain[uint32_t(BC__MAX) + KX_FE_xpcall] = &&ff_xpcall;
    da->plain[uint32_t(BC__MAX) + KX_FE_yield] = &&ff_yield;
    for (uint32_t i = 0; i < BC__DISPATCH; i++) da->dynamic[i] = da->plain[i];
    static const void* const interceptors[] = {&&hook_ins, &&hook_ret, &&hook_call};
    memcpy(&da->hook_ins, interceptors, sizeof(interceptors));
    return 0;
  }

  GlobalState* g = G(L);
  const void* const* disp = kx_dispatch(g)->dynamic;
  EntryRecord* cf = curr_entry(L);
  const Instr* pc = nullptr;
  const Value* kbase = nullptr;
  uintptr_t ins;  // the running instruction, zero-extended
  uint32_t multres = 0;  // values left by the last open-ended instruction, plus one
  uint32_t nres;         // number of values being returned
  Value* rptr;           // values being returned
  Value* tobj;           // the object of a table store on its slow path

#define DISPATCH()                 \
  do {                             \
    ins = *pc++;                   \
    goto* disp[bc_op(ins)];        \
  } while (0)
#define RA (base + ins_a(ins))
#define RB (base + ins_b(ins))
#define RC (base + ins_c(ins))
#define RD (base + ins_d(ins))
#define KNUM(i) kconst_num(kbase, (i))
#define KSTR(i) reinterpret_cast<GcString*>(kconst_gc(kbase, (i)))
#define JUMP(i) (pc += bc_j(i))
// Calls out of the loop save the position and base first and reload base after (the stack may move).
#define SAVE() (cf->saved_pc = pc, L->base = base)
#define PROTECT(stmt) \
  do {                \
    SAVE();           \
    stmt;             \
    base = L->base;   \
  } while (0)
#define GC_CHECK() \
  do { if (g->gc.total >= g->gc.threshold) PROTECT(kx_gc_step_fixtop(L)); } while (0)

  if (how == VM_RETURN) {
    nres = arg;
    rptr = L->top - nres;
    goto vm_return;
  }
  multres = static_cast<uint32_t>(L->top - base) + 1;
  if (tv_isfunc(base - 1)) {
    setframe_link(base - 1, arg);
  } else {
    kx_meta_call(L, base - 1, L->top, arg);
    L->top++;
    multres++;
  }
  goto vm_call_entry;

  // ---- Calls ------------------------------------------------------------------------------------------

vm_call_entry:
  // The function is in base - 1, its link stored; multres = arguments + 1.
  {
    GcFunc* fn = funcV(base - 1);
    pc = fn->pc;
    ins = *pc++;
    goto* disp[bc_op(ins)];
  }


op_CALLM:
  multres += ins_c(ins);
  goto call_common;
op_CALL:
  multres = ins_c(ins);
call_common : {
  Value* func = RA;
  if (tv_isfunc(func)) {
    setframe_pc(func, pc);
  } else {
    SAVE();
    kx_meta_call(L, func, func + multres, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pc)));
    multres++;
  }
  base = func + 1;
  goto vm_call_entry;
}

op_ITERC : {
  Value* func = RA;
  copyV(func, func - 3);
  copyV(func + 1, func - 2);
  copyV(func + 2, func - 1);
  multres = 3;
  goto call_common;
}

op_CALLMT:
  multres += ins_d(ins);
  goto tailcall_common;
op_CALLT:
  multres = ins_d(ins);
tailcall_common : {
  Value* func = RA;
  if (!tv_isfunc(func)) {
    SAVE();
    kx_meta_call(L, func, func + multres, frame_link(base - 1));
    multres++;
  }
  Value* frame = base - 1;
  if (frame_isvarg(frame)) {
    // Drop the vararg part: the callee returns straight to the vararg function's caller.
    frame = frame_prevd(frame);
    base = frame + 1;
  }
  setframe_func(frame, funcV(func));
  for (uint32_t i = 0; i + 1 < multres; i++) copyV(base + i, func + 1 + i);
  goto vm_call_entry;
}

  // ---- Function entries -----------------------------------------------------------------------------

op_FUNCF:
op_IFUNCF : {
  GcProto* pt = proto_from_bc(pc - 1);
  if (!frame_fits(L, base, pt->frame_size)) {
    cf->saved_pc = pc;
    L->base = base;
    L->top = base + multres - 1;
    kx_state_growstack(L, pt->frame_size);
    base = L->base;
  }
  kbase = pt->consts;
  for (uint32_t i = multres - 1; i < pt->num_params; i++) setnilV(base + i);
  DISPATCH();
}

op_FUNCV:
op_IFUNCV : {
  GcProto* pt = proto_from_bc(pc - 1);
  uint32_t nargs = multres - 1;
  if (!frame_fits(L, base, nargs + 1 + pt->frame_size)) {
    cf->saved_pc = pc;
    L->base = base;
    L->top = base + nargs;
    kx_state_growstack(L, nargs + 1 + pt->frame_size);
    base = L->base;
  }
  Value* nbase = base + nargs + 1;
  Value* frame = nbase - 1;
  copyV(frame, base - 1);
  setframe_link(frame, 8 * (nargs + 1) + FRAME_VARG);
  for (uint32_t i = 0; i < pt->num_params; i++) {
    if (i < nargs) {
      copyV(nbase + i, base + i);
      setnilV(base + i);
    } else {
      setnilV(nbase + i);
    }
  }
  base = nbase;
  kbase = pt->consts;
  DISPATCH();
}

op_FUNCC:
op_FUNCCW : {
  GcFunc* fn = funcV(base - 1);
  L->base = base;
  L->top = base + multres - 1;
  cf->saved_pc = pc;
  if (L->stack_limit - L->top < LUA_MINSTACK) {
    kx_state_growstack(L, LUA_MINSTACK);
    base = L->base;
  }
  g->vm_state = KX_VMST_C;
  int n = bc_op(ins) == BC_FUNCCW ? g->wrap_fn(L, fn->c.cfunc) : fn->c.cfunc(L);
  g->current_thread = L;
  if (n < 0) return LUA_YIELD;  // lua_yield has left the values and the thread's state ready
  g->vm_state = KX_VMST_INTERP;
  base = L->base;
  nres = static_cast<uint32_t>(n);
  rptr = L->top - nres;
  goto vm_return;
}

ff_call : {
  kx_FastPath fp = kx_ff_paths[bc_op(ins) - BC__MAX];
  if (fp) {
    SAVE();
    L->top = base + multres - 1;
    int n = fp(L, base, multres - 1);
    base = L->base;
    if (n >= 0) {
      nres = static_cast<uint32_t>(n);
      rptr = base;
      goto vm_return;
    }
  }
  goto ff_fallback;
}

ff_pcall:
ff_xpcall : {
  // pcall(f, ...) calls f one slot up, xpcall(f, h, ...) two slots up with h below f; the frame
  // link marks the catch point.
  bool x = bc_op(ins) == uint32_t(BC__MAX) + KX_FE_xpcall;
  uint32_t shift = x ? 2 : 1;
  if (multres < shift + 1 || (x && !tv_isfunc(base + 1))) goto ff_fallback;
  if (x) {
    Value f;
    copyV(&f, base);
    copyV(base, base + 1);
    copyV(base + 1, &f);
  }
  Value* func = base + shift - 1;
  uint32_t link = 8 * shift | ((g->hook_mask & KX_HOOK_ACTIVE) ? FRAME_PCALLH : FRAME_PCALL);
  multres -= shift;
  if (tv_isfunc(func)) {
    setframe_link(func, link);
  } else {
    SAVE();
    kx_meta_call(L, func, func + multres, link);
    multres++;
  }
  base = func + 1;
  goto vm_call_entry;
}

ff_yield:
  // The frames stay on the coroutine's stack; the next resume returns its values from this frame.
  if (!(reinterpret_cast<uintptr_t>(L->c_frame) & KX_CFRAME_RESUME)) goto ff_fallback;
  L->base = base;
  L->top = base + multres - 1;
  L->status = LUA_YIELD;
  L->c_frame = nullptr;
  g->vm_state = KX_VMST_C;
  return LUA_YIELD;

ff_fallback : {
  // A built-in without an interpreter fast path: its C handler decides.
  L->base = base;
  L->top = base + multres - 1;
  cf->saved_pc = pc;
  if (L->stack_limit - L->top < LUA_MINSTACK) {
    kx_state_growstack(L, LUA_MINSTACK);
    base = L->base;
  }
  GcFunc* fn = funcV(base - 1);
  uint32_t link = frame_link(base - 1);
  g->vm_state = KX_VMST_C;
  int r = fn->c.cfunc(L);
  g->current_thread = L;
  g->vm_state = KX_VMST_INTERP;
  base = L->base;
  if (r > 0) {  // r - 1 results on top
    nres = static_cast<uint32_t>(r - 1);
    rptr = L->top - nres;
    goto vm_return;
  }
  if (r == 0) {  // retry with the converted arguments; a call hook has already seen this call
    multres = static_cast<uint32_t>(L->top - base) + 1;
    pc = fn->pc;
    ins = *pc++;
    goto* kx_dispatch(g)->plain[bc_op(ins)];
  }
  // Tail call prepared: the callable in base - 1 (in place of the built-in, whose link it takes
  // over) and its arguments up to top.
  multres = static_cast<uint32_t>(L->top - base) + 1;
  if (tv_isfunc(base - 1)) {
    setframe_link(base - 1, link);
  } else {
    kx_meta_call(L, base - 1, L->top, link);
    multres++;
  }
  goto vm_call_entry;
}

  // ---- Returns ------------------------------------------------------------------------------------------

op_RETM:
  nres = ins_d(ins) + multres - 1;
  rptr = RA;
  goto vm_return;
op_RET:
  nres = ins_d(ins) - 1;
  rptr = RA;
  goto vm_return;
// No value or one (n): the common returns into a Lua caller need no copy loop.
#define RET_SHORT(n)                                                                   \
  {                                                                                    \
    nres = (n);                                                                        \
    rptr = RA;                                                                         \
    Value* frame = base - 1;                                                           \
    uint32_t link = frame_link(frame);                                                 \
    if ((link & FRAME_TYPE) != FRAME_LUA) goto vm_return;                              \
    pc = reinterpret_cast<const Instr*>(static_cast<uintptr_t>(link));                \
    Instr call = pc[-1];                                                               \
    if (n) copyV(frame, rptr);                                                         \
    for (uint32_t i = (n); i + 1 < bc_b(call); i++) setnilV(frame + i);                \
    multres = (n) + 1;                                                                 \
    base = frame - bc_a(call);                                                         \
    kbase = funcproto(funcV(base - 1))->consts;                                        \
    DISPATCH();                                                                        \
  }
op_RET0:
  RET_SHORT(0)
op_RET1:
  RET_SHORT(1)
#undef RET_SHORT

vm_return : {
  Value* frame = base - 1;
  uint32_t link = frame_link(frame);
  if ((link & FRAME_TYPE) == FRAME_LUA) {
    pc = reinterpret_cast<const Instr*>(static_cast<uintptr_t>(link));
    Instr call = pc[-1];
    uint32_t wanted = bc_b(call);
    for (uint32_t i = 0; i < nres; i++) copyV(frame + i, rptr + i);
    while (nres + 1 < wanted) setnilV(frame + nres++);
    multres = nres + 1;
    base = frame - bc_a(call);
    kbase = funcproto(funcV(base - 1))->consts;
    DISPATCH();
  }
  switch (link & FRAME_TYPEP) {
    case FRAME_VARG:
      base = frame_prevd(frame) + 1;
      goto vm_return;
    case FRAME_PCALL:
    case FRAME_PCALLH:
      base = frame_prevd(frame) + 1;
      --rptr;
      setboolV(rptr, true);
      nres++;
      goto vm_return;
    case FRAME_CONT:
      goto vm_cont;
    default:  // FRAME_C, FRAME_CP: the entry's own frame
      return vm_leave(L, base, rptr, nres);
  }
}

vm_cont : {
  // A metamethod returned into the instruction it interrupted.
  Value* frame = base - 1;
  ContKind kind = cont_kind(frame);
  pc = cont_pc(frame);
  Value* mbase = base;
  base = frame_prevd(frame) + 1;
  setnilV(rptr + nres);  // at least one result is always readable
  kbase = funcproto(funcV(base - 1))->consts;
  Instr prev = pc[-1];
  switch (kind) {
    case KX_CONT_RA:
      copyV(base + bc_a(prev), rptr);
      break;
    case KX_CONT_NOP:
      break;
    case KX_CONT_HOOK:
      // A hook yielded before this instruction ran: it runs now, without the hook.
      multres = static_cast<uint32_t>(numV(frame - 2));
      ins = prev;
      goto* kx_dispatch(g)->plain[bc_op(ins)];
    case KX_CONT_CONDT:
    case KX_CONT_CONDF: {
      bool jump = tv_istruecond(rptr) == (kind == KX_CONT_CONDT);
      if (jump) pc += bc_j(*pc) + 1;
      else pc++;
      break;
    }
    case KX_CONT_CAT: {
      Value* left = mbase - 2;  // the pair's left slot held the continuation
      copyV(left, rptr);
      if (left == base + bc_b(prev)) {
        copyV(base + bc_a(prev), left);
        break;
      }
      Value* nb;
      PROTECT(nb = kx_meta_cat(L, left, static_cast<int32_t>(left - (base + bc_b(prev)))));
      if (nb) {
        base = nb;
        goto vm_meta_call_cat;
      }
      copyV(base + bc_a(prev), base + bc_b(prev));
      break;
    }
    default:
      break;
  }
  DISPATCH();
}

vm_meta_call_cat:
  multres = 3;
vm_meta_call : {
  // A slow path placed a continuation and a call at base - 2, base - 1, base ...: link and call it.
  base[-2].w.hi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pc));
  uint32_t link = static_cast<uint32_t>(reinterpret_cast<char*>(base) - reinterpret_cast<char*>(L->base.get())) | FRAME_CONT;
  if (tv_isfunc(base - 1)) {
    setframe_link(base - 1, link);
  } else {
    kx_meta_call(L, base - 1, base + multres - 1, link);
    multres++;
  }
  goto vm_call_entry;
}

  // ---- Comparisons ------------------------------------------------------------------------------------

// A test decided by a metamethod handler: a result of 2 or more is the base of a metamethod call it has
// placed, otherwise whether the test holds (then the jump that follows is taken).
#define TEST_META(call)                                                                 \
  {                                                                                     \
    uintptr_t res;                                                                      \
    PROTECT(res = (call));                                                              \
    if (res >= 2) {                                                                     \
      base = reinterpret_cast<Value*>(res);                                             \
      multres = 3;                                                                      \
      goto vm_meta_call;                                                                \
    }                                                                                   \
    if (res) pc += bc_j(*pc) + 1;                                                       \
    else pc++;                                                                          \
    DISPATCH();                                                                         \
  }

#define COMP_OP(cmpnum, cmpstr, negate)                                                 \
  {                                                                                     \
    Value* a = RA;                                                                      \
    Value* d = RD;                                                                      \
    bool r;                                                                             \
    if (tv_isnum(a) && tv_isnum(d)) [[likely]] {                                        \
      r = cmpnum;                                                                       \
    } else if (tv_isstr(a) && tv_isstr(d)) {                                            \
      int32_t c = kx_str_cmp(strV(a), strV(d));                                         \
      r = cmpstr;                                                                       \
    } else {                                                                            \
      TEST_META(kx_meta_comp(L, RA, RD, bc_op(ins)))                                    \
    }                                                                                   \
    if (r != negate) pc += bc_j(*pc) + 1;                                               \
    else pc++;                                                                          \
    DISPATCH();                                                                         \
  }

op_ISLT:
  COMP_OP(numV(a) < numV(d), c < 0, false)
op_ISGE:
  COMP_OP(numV(a) < numV(d), c < 0, true)
op_ISLE:
  COMP_OP(numV(a) <= numV(d), c <= 0, false)
op_ISGT:
  COMP_OP(numV(a) <= numV(d), c <= 0, true)
#undef COMP_OP

// Equality with a C data operand is decided by the foreign function interface through __eq.
#define EQ_CDATA(a, b, negate) TEST_META(kx_meta_equal_cdata(L, (a), (b), (negate)))

// Each pair of equality tests shares its code; the negation is a constant in each handler.
#define EQ_VV(negate)                                                                  \
  {                                                                                    \
    Value* a = RA;                                                                     \
    Value* d = RD;                                                                     \
    bool eq;                                                                           \
    if (tv_isnum(a) && tv_isnum(d)) [[likely]] {                                       \
      eq = numV(a) == numV(d);                                                         \
    } else if (tv_iscdata(a) || tv_iscdata(d)) {                                       \
      EQ_CDATA(RA, RD, negate)                                                         \
    } else if (kx_tag(a) != kx_tag(d)) {                                               \
      eq = false;                                                                      \
    } else if (tv_isprim(a) || a->w.lo == d->w.lo) {                                   \
      eq = true;                                                                       \
    } else if (tv_istab(a) || tv_isudata(a)) {                                         \
      TEST_META(kx_meta_equal(L, RA, RD, negate))                                      \
    } else {                                                                           \
      eq = false;                                                                      \
    }                                                                                  \
    if (eq != negate) pc += bc_j(*pc) + 1;                                             \
    else pc++;                                                                         \
    DISPATCH();                                                                        \
  }
#define EQ_S(negate)                                                                   \
  {                                                                                    \
    Value* a = RA;                                                                     \
    if (tv_iscdata(a)) {                                                               \
      setstrV(&g->temp_value2, KSTR(ins_d(ins)));                                      \
      EQ_CDATA(RA, &g->temp_value2, negate)                                            \
    }                                                                                  \
    bool eq = tv_isstr(a) && strV(a) == KSTR(ins_d(ins));                              \
    if (eq != negate) pc += bc_j(*pc) + 1;                                             \
    else pc++;                                                                         \
    DISPATCH();                                                                        \
  }
#define EQ_N(negate)                                                                   \
  {                                                                                    \
    Value* a = RA;                                                                     \
    if (tv_iscdata(a)) EQ_CDATA(RA, KNUM(ins_d(ins)), negate)                          \
    bool eq = tv_isnum(a) && numV(a) == numV(KNUM(ins_d(ins)));                        \
    if (eq != negate) pc += bc_j(*pc) + 1;                                             \
    else pc++;                                                                         \
    DISPATCH();                                                                        \
  }
#define EQ_P(negate)                                                                   \
  {                                                                                    \
    bool eq = kx_tag(RA) == ~static_cast<uint32_t>(ins_d(ins));                        \
    if (!eq && tv_iscdata(RA)) {                                                       \
      setpriV(&g->temp_value2, ~static_cast<uint32_t>(ins_d(ins)));                    \
      EQ_CDATA(RA, &g->temp_value2, negate)                                            \
    }                                                                                  \
    if (eq != negate) pc += bc_j(*pc) + 1;                                             \
    else pc++;                                                                         \
    DISPATCH();                                                                        \
  }

op_ISEQV:
  EQ_VV(false)
op_ISNEV:
  EQ_VV(true)
op_ISEQS:
  EQ_S(false)
op_ISNES:
  EQ_S(true)
op_ISEQN:
  EQ_N(false)
op_ISNEN:
  EQ_N(true)
op_ISEQP:
  EQ_P(false)
op_ISNEP:
  EQ_P(true)
#undef EQ_VV
#undef EQ_S
#undef EQ_N
#undef EQ_P
#undef EQ_CDATA
#undef TEST_META

op_ISTC:
  if (tv_istruecond(RD)) {
    copyV(RA, RD);
    pc += bc_j(*pc) + 1;
  } else {
    pc++;
  }
  DISPATCH();
op_ISFC:
  if (!tv_istruecond(RD)) {
    copyV(RA, RD);
    pc += bc_j(*pc) + 1;
  } else {
    pc++;
  }
  DISPATCH();
op_IST:
  if (tv_istruecond(RD)) pc += bc_j(*pc) + 1;
  else pc++;
  DISPATCH();
op_ISF:
  if (!tv_istruecond(RD)) pc += bc_j(*pc) + 1;
  else pc++;
  DISPATCH();

op_ISTYPE:
  if (kx_tag(RA) != ~static_cast<uint32_t>(ins_d(ins))) PROTECT(kx_meta_istype(L, ins_a(ins), ins_d(ins)));
  DISPATCH();
op_ISNUM:
  if (!tv_isnum(RA)) PROTECT(kx_meta_istype(L, ins_a(ins), KX_INUM));
  DISPATCH();

  // ---- Unary operators and moves ----------------------------------------------------------------------

op_MOV:
  copyV(RA, RD);
  DISPATCH();
op_NOT:
  setboolV(RA, !tv_istruecond(RD));
  DISPATCH();
op_UNM : {
  Value* d = RD;
  if (tv_isnum(d)) {
    RA->u64 = d->u64 ^ 0x8000000000000000ull;
    DISPATCH();
  }
  Value* nb;
  PROTECT(nb = kx_meta_arith(L, RA, RD, RD, bc_op(ins)));
  if (nb) {
    base = nb;
    multres = 3;
    goto vm_meta_call;
  }
  DISPATCH();
}
op_LEN : {
  Value* d = RD;
  if (tv_isstr(d)) {
    setnumV(RA, strV(d)->len);
    DISPATCH();
  }
  if (tv_istab(d) && kx_meta_fast(g, tabV(d)->metatable, MM_len) == nullptr) {
    setnumV(RA, kx_tab_len(tabV(d)));
    DISPATCH();
  }
  Value* nb;
  PROTECT(nb = kx_meta_len(L, RD));
  if (nb) {
    base = nb;
    multres = 3;
    goto vm_meta_call;
  }
  setnumV(RA, kx_tab_len(tabV(RD)));
  DISPATCH();
}

  // ---- Arithmetic -------------------------------------------------------------------------------------

#define ARITH_SLOW(bptr, cptr)                                          \
  {                                                                     \
    Value* nb;                                                          \
    PROTECT(nb = kx_meta_arith(L, RA, (bptr), (cptr), bc_op(ins)));     \
    if (nb) {                                                           \
      base = nb;                                                        \
      multres = 3;                                                      \
      goto vm_meta_call;                                                \
    }                                                                   \
    DISPATCH();                                                         \
  }
#define ARITH_VN(expr)                                   \
  {                                                      \
    Value* b = RB;                                       \
    const Value* c = KNUM(ins_c(ins));                    \
    if (tv_isnum(b)) {                                   \
      double x = numV(b), y = numV(c);                   \
      setnumV(RA, expr);                                 \
      DISPATCH();                                        \
    }                                                    \
    ARITH_SLOW(RB, KNUM(ins_c(ins)))                      \
  }
#define ARITH_NV(expr)                                   \
  {                                                      \
    Value* b = RB;                                       \
    const Value* c = KNUM(ins_c(ins));                    \
    if (tv_isnum(b)) {                                   \
      double x = numV(c), y = numV(b);                   \
      setnumV(RA, expr);                                 \
      DISPATCH();                                        \
    }                                                    \
    ARITH_SLOW(KNUM(ins_c(ins)), RB)                      \
  }
#define ARITH_VV(expr)                                   \
  {                                                      \
    Value* b = RB;                                       \
    Value* c = RC;                                       \
    if (tv_isnum(b) && tv_isnum(c)) {                    \
      double x = numV(b), y = numV(c);                   \
      setnumV(RA, expr);                                 \
      DISPATCH();                                        \
    }                                                    \
    ARITH_SLOW(RB, RC)                                   \
  }

op_ADDVN:
  ARITH_VN(x + y)
op_SUBVN:
  ARITH_VN(x - y)
op_MULVN:
  ARITH_VN(x * y)
op_DIVVN:
  ARITH_VN(x / y)
op_MODVN:
  ARITH_VN(kx_arith_mod(x, y))
op_ADDNV:
  ARITH_NV(x + y)
op_SUBNV:
  ARITH_NV(x - y)
op_MULNV:
  ARITH_NV(x * y)
op_DIVNV:
  ARITH_NV(x / y)
op_MODNV:
  ARITH_NV(kx_arith_mod(x, y))
op_ADDVV:
  ARITH_VV(x + y)
op_SUBVV:
  ARITH_VV(x - y)
op_MULVV:
  ARITH_VV(x * y)
op_DIVVV:
  ARITH_VV(x / y)
op_MODVV:
  ARITH_VV(kx_arith_mod(x, y))
op_POW:
  ARITH_VV(std::pow(x, y))
#undef ARITH_VN
#undef ARITH_NV
#undef ARITH_VV
#undef ARITH_SLOW

op_BNOT : {
  Value* d = RD;
  if (tv_isnum(d)) {
    setnumV(RA, static_cast<double>(~kx_num2bit(numV(d))));
    DISPATCH();
  }
  PROTECT(kx_meta_bitop(L, RA, RD, RD, bc_op(ins)));
  DISPATCH();
}

#define BIT_VV(expr)                                                      \
  {                                                                       \
    Value* b = RB;                                                        \
    Value* c = RC;                                                        \
    if (tv_isnum(b) && tv_isnum(c)) {                                     \
      uint32_t x = static_cast<uint32_t>(kx_num2bit(numV(b)));            \
      uint32_t y = static_cast<uint32_t>(kx_num2bit(numV(c)));            \
      setnumV(RA, static_cast<double>(static_cast<int32_t>(expr)));       \
      DISPATCH();                                                         \
    }                                                                     \
    PROTECT(kx_meta_bitop(L, RA, RB, RC, bc_op(ins)));                    \
    DISPATCH();                                                           \
  }
op_BAND:
  BIT_VV(x & y)
op_BOR:
  BIT_VV(x | y)
op_BXOR:
  BIT_VV(x ^ y)
op_BSHL:
  BIT_VV(x << (y & 31))
op_BSHR:
  BIT_VV(x >> (y & 31))
op_BSAR:
  BIT_VV(static_cast<uint32_t>(static_cast<int32_t>(x) >> (y & 31)))
#undef BIT_VV

op_CAT : {
  Value* nb;
  PROTECT(nb = kx_meta_cat(L, RC, static_cast<int32_t>(ins_c(ins) - ins_b(ins))));
  if (nb) {
    base = nb;
    goto vm_meta_call_cat;
  }
  copyV(RA, RB);
  GC_CHECK();
  DISPATCH();
}

  // ---- Constants -----------------------------------------------------------------------------------------

op_KSTR:
  setstrV(RA, KSTR(ins_d(ins)));
  DISPATCH();
op_KCDATA:
  setgcV(RA, kconst_gc(kbase, ins_d(ins)), KX_TCDATA);
  DISPATCH();
op_KSHORT:
  setnumV(RA, static_cast<int16_t>(ins_d(ins)));
  DISPATCH();
op_KNUM:
  copyV(RA, KNUM(ins_d(ins)));
  DISPATCH();
op_KPRI:
  setpriV(RA, ~static_cast<uint32_t>(ins_d(ins)));
  DISPATCH();
op_KNIL:
  for (Value* p = RA; p <= RD; p++) setnilV(p);
  DISPATCH();

  // ---- Upvalues ------------------------------------------------------------------------------------------

op_UGET:
  copyV(RA, funcV(base - 1)->l.uvptr[ins_d(ins)]->v);
  DISPATCH();
op_USETV : {
  GcUpval* uv = funcV(base - 1)->l.uvptr[ins_a(ins)];
  Value* d = RD;
  copyV(uv->v, d);
  if (uv->closed && kx_gc_isblack(obj2gco(uv)) && tv_isgc(d) && kx_gc_iswhite(gcV(d)))
    kx_gc_barrieruv_slow(g, uv->v);
  DISPATCH();
}
op_USETS : {
  GcUpval* uv = funcV(base - 1)->l.uvptr[ins_a(ins)];
  GcString* s = KSTR(ins_d(ins));
  setstrV(uv->v, s);
  if (uv->closed && kx_gc_isblack(obj2gco(uv)) && kx_gc_iswhite(obj2gco(s))) kx_gc_barrieruv_slow(g, uv->v);
  DISPATCH();
}
op_USETN:
  copyV(funcV(base - 1)->l.uvptr[ins_a(ins)]->v, KNUM(ins_d(ins)));
  DISPATCH();
op_USETP:
  setpriV(funcV(base - 1)->l.uvptr[ins_a(ins)]->v, ~static_cast<uint32_t>(ins_d(ins)));
  DISPATCH();
op_UCLO:
  if (L->open_upvalues) PROTECT(kx_func_closeuv(L, RA));
  JUMP(ins);
  DISPATCH();
op_FNEW : {
  GcProto* pt = reinterpret_cast<GcProto*>(kconst_gc(kbase, ins_d(ins)));
  GcFunc* fn;
  PROTECT(fn = kx_func_newL_gc(L, pt, &funcV(base - 1)->l));
  setfuncV(RA, fn);
  DISPATCH();
}

  // ---- Tables ----------------------------------------------------------------------------------------------

op_TNEW : {
  GcTable* t;
  GC_CHECK();
  uint32_t asize = ins_d(ins) & 0x7ff;
  if (asize == 0x7ff) asize = 0x801;
  PROTECT(t = kx_tab_new(L, asize, ins_d(ins) >> 11));
  settabV(RA, t);
  DISPATCH();
}
op_TDUP : {
  GcTable* t;
  GC_CHECK();
  PROTECT(t = kx_tab_dup(L, reinterpret_cast<GcTable*>(kconst_gc(kbase, ins_d(ins)))));
  settabV(RA, t);
  DISPATCH();
}

op_GGET : {
  GcTable* env = funcV(base - 1)->env;
  GcString* key = KSTR(ins_d(ins));
  const Value* v = kx_tab_getstr(env, key);
  if (v && !tv_isnil(v)) {
    copyV(RA, v);
    DISPATCH();
  }
  if (kx_meta_fast(g, env->metatable, MM_index) == nullptr) {
    setnilV(RA);
    DISPATCH();
  }
  settabV(&g->temp_value, env);
  setstrV(&g->temp_value2, key);
  const Value* r;
  PROTECT(r = kx_meta_tget(L, &g->temp_value, &g->temp_value2));
  if (r == nullptr) {  // an __index call was placed at top
    base = L->top;
    multres = 3;
    goto vm_meta_call;
  }
  copyV(RA, r);
  DISPATCH();
}

op_GSET:
  // No register holds the environment: it goes to a scratch slot.
  settabV(&g->temp_value, funcV(base - 1)->env);
  tobj = &g->temp_value;
  setstrV(&g->temp_value2, KSTR(ins_d(ins)));
  goto tsets_common;

op_TGETV : {
  Value* o = RB;
  Value* k = RC;
  if (tv_istab(o)) {
    GcTable* t = tabV(o);
    const Value* v = nullptr;
    int32_t i;
    if (tv_isnum(k) && kx_num2int_exact(numV(k), &i) && static_cast<uint32_t>(i) < t->asize) {
      v = &t->array[i];
      if (!tv_isnil(v)) {
        copyV(RA, v);
        DISPATCH();
      }
    } else if (tv_isstr(k)) {
      v = kx_tab_getstr(t, strV(k));
    } else {
      v = kx_tab_get(L, t, k);
    }
    if (v && !tv_isnil(v)) {
      copyV(RA, v);
      DISPATCH();
    }
    if (kx_meta_fast(g, t->metatable, MM_index) == nullptr) {
      setnilV(RA);
      DISPATCH();
    }
  }
  goto tget_slow;
}
op_TGETS : {
  Value* o = RB;
  if (tv_istab(o)) {
    // Methods and defaults come through short chains of __index tables: follow them here.
    GcTable* t = tabV(o);
    GcString* key = KSTR(ins_c(ins));
    for (int depth = 0; depth < 8; depth++) {
      const Value* v = kx_tab_getstr(t, key);
      if (v && !tv_isnil(v)) {
        copyV(RA, v);
        DISPATCH();
      }
      const Value* mo = kx_meta_fast(g, t->metatable, MM_index);
      if (mo == nullptr) {
        setnilV(RA);
        DISPATCH();
      }
      if (!tv_istab(mo)) {
        if (depth == 0) break;
        // An __index function of a table further up the chain gets that table.
        settabV(&g->temp_value, t);
        setstrV(&g->temp_value2, key);
        tobj = &g->temp_value;
        goto tget_slow_obj;
      }
      t = tabV(mo);
    }
  }
  setstrV(&g->temp_value2, KSTR(ins_c(ins)));
  goto tget_slow_key;
}
op_TGETB : {
  Value* o = RB;
  uint32_t i = ins_c(ins);
  if (tv_istab(o)) {
    GcTable* t = tabV(o);
    const Value* v = kx_tab_getint(t, static_cast<int32_t>(i));
    if (v && !tv_isnil(v)) {
      copyV(RA, v);
      DISPATCH();
    }
    if (kx_meta_fast(g, t->metatable, MM_index) == nullptr) {
      setnilV(RA);
      DISPATCH();
    }
  }
  setnumV(&g->temp_value2, i);
  goto tget_slow_key;
}
tget_slow:
  copyV(&g->temp_value2, RC);
tget_slow_key:
  tobj = RB;
tget_slow_obj : {
  // The object in tobj, the key in temp_value2.
  const Value* r;
  PROTECT(r = kx_meta_tget(L, tobj, &g->temp_value2));
  if (r == nullptr) {
    base = L->top;
    multres = 3;
    goto vm_meta_call;
  }
  copyV(RA, r);
  DISPATCH();
}

op_TGETR : {
  // Raw access runs only in built-in code, after its type checks; a debugger may still change a slot.
  if (!tv_istab(RB) || !tv_isnum(RC)) PROTECT(kx_err_optype(L, tv_istab(RB) ? RC : RB, KX_ERR_OpIndex));
  GcTable* t = tabV(RB);
  int32_t k = kx_num2bit(std::trunc(numV(RC)));
  const Value* v = kx_tab_getint(t, k);
  if (v) copyV(RA, v);
  else setnilV(RA);
  DISPATCH();
}

op_TSETV : {
  Value* o = RB;
  Value* k = RC;
  if (tv_istab(o)) {
    GcTable* t = tabV(o);
    Value* slot = nullptr;
    int32_t i;
    if (tv_isnum(k) && kx_num2int_exact(numV(k), &i)) {
      if (static_cast<uint32_t>(i) < t->asize) {
        slot = &t->array[i];
      } else if (TableNode* n = kx_tab_getinth(t, i)) {
        slot = &n->val;
      } else if (kx_meta_fast(g, t->metatable, MM_newindex) == nullptr) {
        t->nomm = 0;
        PROTECT(slot = kx_tab_setinth(L, tabV(RB), i));
        t = tabV(RB);
      }
    } else if (tv_isstr(k)) {
      t->nomm = 0;
      slot = const_cast<Value*>(kx_tab_getstr(t, strV(k)));
      if (slot == nullptr && kx_meta_fast(g, t->metatable, MM_newindex) == nullptr) {
        PROTECT(slot = kx_tab_newkey(L, tabV(RB), RC));
        t = tabV(RB);
      }
    }
    if (slot && (!tv_isnil(slot) || kx_meta_fast(g, t->metatable, MM_newindex) == nullptr)) {
      copyV(slot, RA);
      kx_gc_barriert(g, t, RA);
      DISPATCH();
    }
  }
  copyV(&g->temp_value2, RC);
  goto tset_slow_key;
}
op_TSETS:
  tobj = RB;
  setstrV(&g->temp_value2, KSTR(ins_c(ins)));
tsets_common : {
  // The object in tobj, the string key in temp_value2.
  if (tv_istab(tobj)) {
    GcTable* t = tabV(tobj);
    t->nomm = 0;
    Value* slot = const_cast<Value*>(kx_tab_getstr(t, strV(&g->temp_value2)));
    if (slot == nullptr || tv_isnil(slot)) {  // only a new or emptied field may go to __newindex
      if (kx_meta_fast(g, t->metatable, MM_newindex) != nullptr) goto tset_slow;
      if (slot == nullptr) PROTECT(slot = kx_tab_newkey(L, t, &g->temp_value2));
    }
    copyV(slot, RA);
    kx_gc_barriert(g, t, RA);
    DISPATCH();
  }
  goto tset_slow;
}
op_TSETB : {
  Value* o = RB;
  uint32_t i = ins_c(ins);
  if (tv_istab(o)) {
    GcTable* t = tabV(o);
    if (i < t->asize) {
      Value* slot = &t->array[i];
      if (!tv_isnil(slot) || kx_meta_fast(g, t->metatable, MM_newindex) == nullptr) {
        copyV(slot, RA);
        kx_gc_barriert(g, t, RA);
        DISPATCH();
      }
    }
  }
  setnumV(&g->temp_value2, i);
  goto tset_slow_key;
}
tset_slow_key:
  tobj = RB;
tset_slow : {
  // The object in tobj, the key in temp_value2.
  Value* slot;
  Value obj;
  copyV(&obj, tobj);
  PROTECT(slot = kx_meta_tset(L, tobj, &g->temp_value2));
  if (slot) {
    copyV(slot, RA);
    if (tv_istab(&obj)) kx_gc_barriert(g, tabV(&obj), RA);
    DISPATCH();
  }
  Value* nb = L->top;  // a __newindex call was placed there: add the value as its third argument
  copyV(nb + 2, RA);
  base = nb;
  multres = 4;
  goto vm_meta_call;
}

op_TSETR : {
  if (!tv_istab(RB) || !tv_isnum(RC)) PROTECT(kx_err_optype(L, tv_istab(RB) ? RC : RB, KX_ERR_OpIndex));
  int32_t k = kx_num2bit(std::trunc(numV(RC)));
  Value* slot;
  PROTECT(slot = kx_tab_setint(L, tabV(RB), k));
  copyV(slot, RA);
  kx_gc_barriert(g, tabV(RB), RA);
  DISPATCH();
}

op_TSETM : {
  Value* ra = RA;
  if (!tv_istab(ra - 1)) PROTECT(kx_err_optype(L, RA - 1, KX_ERR_OpIndex));
  GcTable* t = tabV(ra - 1);
  int32_t first = static_cast<int32_t>(KNUM(ins_d(ins))->w.lo);
  uint32_t n = multres - 1;
  if (n) {
    uint32_t last = static_cast<uint32_t>(first) + n - 1;
    if (last >= t->asize) PROTECT(kx_tab_reasize(L, tabV(RA - 1), last));
    ra = RA;
    t = tabV(ra - 1);
    for (uint32_t i = 0; i < n; i++) copyV(&t->array[first + i], ra + i);
    kx_gc_barrierback(g, t);
  }
  DISPATCH();
}

  // ---- Loops ----------------------------------------------------------------------------------------------

op_FORI : {
  Value* ra = RA;
  if (!(tv_isnum(ra) && tv_isnum(ra + 1) && tv_isnum(ra + 2))) {
    PROTECT(kx_meta_for(L, RA));
    ra = RA;
  }
  double start = numV(ra), limit = numV(ra + 1);
  bool descending = std::signbit(numV(ra + 2));
  copyV(ra + 3, ra);
  if (!(descending ? start >= limit : start <= limit)) JUMP(ins);
  DISPATCH();
}
op_FORL:
op_IFORL : {
  Value* ra = RA;
  double step = numV(ra + 2);
  double idx = numV(ra) + step;
  double limit = numV(ra + 1);
  setnumV(ra, idx);
  if (std::signbit(step) ? idx >= limit : idx <= limit) {
    setnumV(ra + 3, idx);
    JUMP(ins);
  }
  DISPATCH();
}
op_ITERL:
op_IITERL : {
  Value* ra = RA;
  if (!tv_isnil(ra)) {
    copyV(ra - 1, ra);
    JUMP(ins);
  }
  DISPATCH();
}
op_LOOP:
op_ILOOP:
  DISPATCH();
op_JMP:
  JUMP(ins);
  DISPATCH();

op_ISNEXT : {
  Value* ra = RA;
  if (tv_isfunc(ra - 3) && funcV(ra - 3)->ffid == KX_FFID_next && tv_istab(ra - 2) && tv_isnil(ra - 1)) {
    (ra - 1)->w.hi = KX_ITERKEY_TAG;
    (ra - 1)->w.lo = 0;
    JUMP(ins);
    DISPATCH();
  }
  // Not a plain next over a table: despecialise this loop for good.
  Instr* self = const_cast<Instr*>(pc - 1);
  setbc_op(self, BC_JMP);
  JUMP(ins);
  setbc_op(const_cast<Instr*>(pc), BC_ITERC);
  DISPATCH();
}
op_ITERN : {
  Value* ra = RA;
  // The hidden state slot is a table unless a debugger changed it.
  if (!tv_istab(ra - 2)) PROTECT(kx_err_optype(L, RA - 2, KX_ERR_OpIndex));
  GcTable* t = tabV(ra - 2);
  uint32_t idx = (ra - 1)->w.lo;
  for (; idx < t->asize; idx++) {
    if (!tv_isnil(&t->array[idx])) {
      setnumV(ra, idx);
      copyV(ra + 1, &t->array[idx]);
      goto itern_found;
    }
  }
  for (uint32_t j = idx - t->asize; j <= t->hmask; j++, idx++) {
    TableNode* n = &t->node[j];
    if (!tv_isnil(&n->val)) {
      copyV(ra, &n->key);
      copyV(ra + 1, &n->val);
      goto itern_found;
    }
  }
  pc++;  // past the ITERL: the loop ends
  DISPATCH();
itern_found:
  (ra - 1)->w.lo = idx + 1;
  pc += bc_j(*pc) + 1;  // the ITERL's target, the loop body
  DISPATCH();
}

op_VARG : {
  Value* frame = base - 1;
  uint32_t nfixed = ins_c(ins);
  uint32_t nargs = (frame_delta(frame) >> 3) - 1;
  uint32_t nextra = nargs > nfixed ? nargs - nfixed : 0;
  Value* src = frame - nargs + nfixed;
  uint32_t want = ins_b(ins);
  if (want > 0) {
    Value* ra = RA;
    for (uint32_t i = 0; i + 1 < want; i++) {
      if (i < nextra) copyV(ra + i, src + i);
      else setnilV(ra + i);
    }
  } else {
    Value* ra = RA;
    if (ra + nextra > L->stack_limit) {
      SAVE();
      L->top = ra;
      kx_state_growstack(L, nextra);
      base = L->base;
      frame = base - 1;
      src = frame - nargs + nfixed;
      ra = RA;
    }
    for (uint32_t i = 0; i < nextra; i++) copyV(ra + i, src + i);
    multres = nextra + 1;
  }
  DISPATCH();
}

  // ---- Hook interceptors: placed in the dynamic table while hooks are set --------------------------------

hook_ins:
  // Before any instruction while line or count hooks are set; nothing is reported inside a hook.
  if (!(g->hook_mask & KX_HOOK_ACTIVE) && (g->hook_mask & (LUA_MASKLINE | LUA_MASKCOUNT))) {
    if (--g->hook_count == 0 || (g->hook_mask & LUA_MASKLINE)) {
      L->base = base;
      kx_dispatch_ins(L, pc, multres);
      base = L->base;
    }
  }
  goto* kx_dispatch(g)->plain[bc_op(ins)];

hook_ret:
  if (!(g->hook_mask & KX_HOOK_ACTIVE)) {
    if (g->hook_mask & LUA_MASKCOUNT) g->hook_count--;
    L->base = base;
    kx_dispatch_ins(L, pc, multres);
    base = L->base;
  }
  goto* kx_dispatch(g)->plain[bc_op(ins)];

hook_call:
  // At a function entry while call hooks are set: the callee in base - 1, multres - 1 arguments.
  L->base = base;
  kx_dispatch_call(L, pc, multres);
  base = L->base;
  goto* kx_dispatch(g)->plain[bc_op(ins)];

  // ---- Trace-compiler variants: never placed without a trace compiler -----------------------------------

op_JFORI:
op_JFORL:
op_JITERL:
op_JLOOP:
op_JFUNCF:
op_JFUNCV:
  PROTECT(kx_err_msg(L, KX_ERR_MalformedBytecode));
  DISPATCH();

#undef DISPATCH
#undef RA
#undef RB
#undef RC
#undef RD
#undef KNUM
#undef KSTR
#undef JUMP
#undef SAVE
#undef PROTECT
#undef GC_CHECK
}

// ---- C-level entries ---------------------------------------------------------------------------------------

void kx_vm_init_dispatch(GlobalState* g) {
  vm_run(nullptr, VM_INIT, reinterpret_cast<Value*>(g), 0);
  DispatchArea* da = kx_dispatch(g);
  for (uint32_t i = 0; i < KX_FF_COUNT; i++) da->fast_entries[i] = bcins_ad(BC__MAX + i, 0, 0);
  g->cfunc_entry_internal = bcins_ad(BC_FUNCC, LUA_MINSTACK, 0);
  g->cfunc_entry_external = bcins_ad(BC_FUNCC, LUA_MINSTACK, 0);
}

// Links a new entry record into the thread. Runaway nesting of C-level entries (a metamethod that
// calls back through C, coroutines resuming themselves) is stopped before the machine stack runs out.
static void entry_begin(lua_State* L, EntryRecord* rec, uint8_t kind, int32_t wanted, int32_t handler) {
  GlobalState* g = G(L);
  if (g->c_entries >= KX_MAX_CENTRIES) {
    // A running error handler gets a few more entries, so that it can report the overflow.
    if (L->status != LUA_ERRERR) kx_err_msg(L, KX_ERR_StackOverflow);
    if (g->c_entries >= KX_MAX_CENTRIES + KX_HANDLER_CENTRIES) kx_err_err(L);
  }
  rec->prev = L->c_frame;
  rec->wanted = wanted;
  rec->handler = handler;
  rec->L = L;
  rec->saved_pc = reinterpret_cast<const Instr*>(L);  // marks an entry made from C
  rec->pending_count = 0;
  rec->depth = g->c_entries++;
  rec->base_off = savestack(L, L->base);
  rec->catch_off = 0;
  rec->frame_off = 0;
  rec->kind = kind;
  rec->in_handler = L->status == LUA_ERRERR;
  rec->in_hook = false;
  L->c_frame = rec;
  g->current_thread = L;
  g->vm_state = KX_VMST_INTERP;
}

// The frame link of an entry's own frame: the distance down to the caller's base and the kind.
static uint32_t entry_link(lua_State* L, Value* base, FrameKind kind) {
  return static_cast<uint32_t>(reinterpret_cast<char*>(base) - reinterpret_cast<char*>(L->base.get())) | kind;
}

static void entry_end(lua_State* L, EntryRecord* rec) {
  GlobalState* g = G(L);
  L->c_frame = rec->prev;
  g->c_entries = rec->depth;
  g->vm_state = KX_VMST_C;
}

static int entry_land(lua_State* L, EntryRecord* rec, int status);

void kx_vm_call(lua_State* L, Value* base, int32_t wanted) {
  EntryRecord rec;
  entry_begin(L, &rec, KX_ENTRY_CALL, wanted, 0);
  rec.frame_off = savestack(L, base - 1);
  // Errors pass through this entry; only a pcall frame inside it makes an error land here.
  int status = _setjmp(rec.exit);
  if (status == 0) vm_run(L, VM_CALL, base, entry_link(L, base, FRAME_C));
  else entry_land(L, &rec, status);
  entry_end(L, &rec);
}

// Resumes after an error landed at this entry: either the error was caught by a pcall frame inside
// it (run on, returning false and the error object to the pcall's caller) or by the entry itself.
static int entry_land(lua_State* L, EntryRecord* rec, int status) {
  uintptr_t resume = rec->kind == KX_ENTRY_RESUME ? KX_CFRAME_RESUME : 0;
  L->c_frame = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(rec) | resume);
  G(L)->c_entries = rec->depth + 1;
  rec->in_hook = false;  // a hook that raised an error has ended
  // An error caught inside an error handler leaves the handler running: a later error in it is
  // an error in error handling, not a new call of the handler.
  if (rec->in_handler) L->status = LUA_ERRERR;
  if (rec->catch_off > 0) {
    // A later error inside the resumed frames lands here again through the jump buffer.
    Value* pbase = kx_err_unwind_pcall(L, restorestack(L, rec->catch_off));
    rec->catch_off = 0;
    return vm_run(L, VM_RETURN, pbase, 2);
  }
  kx_err_unwind_entry(L, rec, status);
  return status;
}

int kx_vm_pcall(lua_State* L, Value* base, int32_t wanted, int32_t handler) {
  EntryRecord rec;
  entry_begin(L, &rec, KX_ENTRY_PCALL, wanted, handler);
  rec.frame_off = savestack(L, base - 1);
  int status = _setjmp(rec.exit);
  if (status == 0) status = vm_run(L, VM_CALL, base, entry_link(L, base, FRAME_CP));
  else status = entry_land(L, &rec, status);
  entry_end(L, &rec);
  return status;
}

int kx_vm_cpcall(lua_State* L, lua_CFunction func, void* ud, kx_CPFunction cp) {
  EntryRecord rec;
  entry_begin(L, &rec, KX_ENTRY_CPCALL, L->stack ? -savestack(L, L->top) : 0, 0);
  int status = _setjmp(rec.exit);
  if (status == 0) {
    Value* base = cp(L, func, ud);
    if (base) {
      rec.frame_off = savestack(L, base - 1);
      status = vm_run(L, VM_CALL, base, entry_link(L, base, FRAME_CP));
    }
  } else {
    status = entry_land(L, &rec, status);
  }
  entry_end(L, &rec);
  return status;
}

int kx_vm_resume(lua_State* L, Value* base) {
  if (G(L)->c_entries >= KX_MAX_CENTRIES) {
    // Nested too deeply to run it: the coroutine keeps its state, only the values are dropped.
    L->top = base;
    setstrV(L->top, kx_err_str(L, KX_ERR_StackOverflow));
    kx_state_incr_top(L);
    return LUA_ERRRUN;
  }
  EntryRecord rec;
  entry_begin(L, &rec, KX_ENTRY_RESUME, 0, 0);
  rec.prev = nullptr;
  L->c_frame = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(&rec) | KX_CFRAME_RESUME);
  int status = _setjmp(rec.exit);
  if (status == 0) {
    if (L->status == LUA_OK) {
      rec.frame_off = savestack(L, base - 1);
      status = vm_run(L, VM_CALL, base, entry_link(L, base, FRAME_CP));
    } else {
      // The values become the results of the pending yield, returned from its frame.
      L->status = LUA_OK;
      status = vm_run(L, VM_RETURN, L->base, static_cast<uint32_t>(L->top - base));
    }
  } else {
    status = entry_land(L, &rec, status);
  }
  G(L)->c_entries = rec.depth;
  G(L)->vm_state = KX_VMST_C;
  L->c_frame = nullptr;  // finished, suspended or dead: no C frame runs on it any more
  return status;
}
