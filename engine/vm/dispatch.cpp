// Hooks: the dispatch table entries that intercept instructions and calls, the events they report,
// and the protocol of the hook function.
//
// Without hooks the dynamic dispatch table equals the plain one, so the interpreter pays nothing for
// them. Setting a hook points entries of the dynamic table at interceptors inside the interpreter
// loop, which call into this module and then run the plain handler of the same instruction.
#include "vm/dispatch.h"

#include <cerrno>

#include "core/entry.h"
#include "core/frame.h"
#include "core/mem.h"
#include "vm/debug.h"
#include "vm/err.h"
#include "vm/vm.h"

// Free slots a hook function finds above the hooked frame.
constexpr uint32_t KX_HOOK_SLOTS = LUA_MINSTACK + 1;

// ---- The dispatch table ---------------------------------------------------------------------------------

static uint8_t dispatch_mode_of(uint8_t hook_mask) {
  uint8_t mode = 0;
  if (hook_mask & LUA_MASKCALL) mode |= KX_DISPATCH_CALL;
  if (hook_mask & LUA_MASKRET) mode |= KX_DISPATCH_RET;
  if (hook_mask & (LUA_MASKLINE | LUA_MASKCOUNT)) mode |= KX_DISPATCH_INS;
  return mode;
}

void kx_dispatch_update(GlobalState* g) {
  uint8_t mode = dispatch_mode_of(g->hook_mask);
  uint8_t changed = mode ^ g->dispatch_mode;
  if (changed == 0) return;
  DispatchArea* da = kx_dispatch(g);
  if (changed & (KX_DISPATCH_INS | KX_DISPATCH_RET)) {
    for (uint32_t op = 0; op < BC_FUNCF; op++) {
      const void* h = (mode & KX_DISPATCH_INS) ? da->hook_ins : da->plain[op];
      if (bc_isret(op) && (mode & KX_DISPATCH_RET)) h = da->hook_ret;
      da->dynamic[op] = h;
    }
  }
  if (changed & KX_DISPATCH_CALL) {
    for (uint32_t op = BC_FUNCF; op < BC__DISPATCH; op++)
      da->dynamic[op] = (mode & KX_DISPATCH_CALL) ? da->hook_call : da->plain[op];
  }
  g->dispatch_mode = mode;
}

extern "C" int lua_sethook(lua_State* L, lua_Hook func, int mask, int count) {
  GlobalState* g = G(L);
  mask &= LUA_MASKCALL | LUA_MASKRET | LUA_MASKLINE | LUA_MASKCOUNT;
  if (func == nullptr || mask == 0) {
    func = nullptr;
    mask = 0;
  }
  g->hook_fn = func;
  g->hook_count = g->hook_count_reset = static_cast<uint32_t>(count);
  g->hook_mask = static_cast<uint8_t>((g->hook_mask & 0xf0) | mask);
  kx_dispatch_update(g);
  return 1;
}

extern "C" lua_Hook lua_gethook(lua_State* L) { return G(L)->hook_fn; }
extern "C" int lua_gethookmask(lua_State* L) { return G(L)->hook_mask & 0x0f; }
extern "C" int lua_gethookcount(lua_State* L) { return static_cast<int>(G(L)->hook_count_reset); }

// ---- Calling the hook -------------------------------------------------------------------------------------

// Calls the hook for an event of the frame at L->base - 1; never while a hook already runs. The
// stack above L->top is the hook's; the top is restored afterwards.
static void call_hook(lua_State* L, int event, int line) {
  GlobalState* g = G(L);
  if (g->hook_fn == nullptr || (g->hook_mask & KX_HOOK_ACTIVE)) return;
  lua_Debug ar;
  ar.event = event;
  ar.currentline = line;
  lua_getstack(L, 0, &ar);
  kx_state_checkstack(L, KX_HOOK_SLOTS);
  int32_t top = savestack(L, L->top);
  EntryRecord* cf = cframe_raw(L->c_frame);
  int32_t vmstate = g->vm_state;
  g->hook_mask |= KX_HOOK_ACTIVE;
  g->vm_state = KX_VMST_C;
  cf->in_hook = true;
  g->hook_fn(L, &ar);
  cf->in_hook = false;
  g->current_thread = L;
  g->vm_state = vmstate;
  g->hook_mask &= static_cast<uint8_t>(~KX_HOOK_ACTIVE);
  L->top = restorestack(L, top);
}

// ---- Instruction events -----------------------------------------------------------------------------------

// The slot above the last live value of the frame while the instruction before pc has yet to run:
// an instruction that consumes the values of an open-ended one sees them above its operands.
static Value* live_top(lua_State* L, const GcProto* pt, const Instr* pc, uint32_t pending) {
  Value* base = L->base;
  Value* top = base + pt->frame_size;
  Instr ins = pc[-1];
  if (bc_op(ins) == BC_UCLO) ins = pc[bc_j(ins)];
  Value* multi = nullptr;
  switch (bc_op(ins)) {
    case BC_CALLM: multi = base + bc_a(ins) + bc_c(ins) + pending; break;
    case BC_CALLMT: multi = base + bc_a(ins) + bc_d(ins) + pending; break;
    case BC_RETM: multi = base + bc_a(ins) + bc_d(ins) + pending - 1; break;
    case BC_TSETM: multi = base + bc_a(ins) + pending - 1; break;
    default: break;
  }
  return multi > top ? multi : top;
}

// The position of the instruction ending before pc, or KX_NO_BCPOS when pc is not inside pt's code.
static uint32_t pos_of(const GcProto* pt, const Instr* pc) {
  const Instr* code = proto_bc(pt);
  if (pc <= code || pc > code + pt->code_size) return KX_NO_BCPOS;
  return static_cast<uint32_t>(pc - code) - 1;
}

// A line event is due when control came from elsewhere (another function, the function's entry, a
// backward jump) or the line changed.
static bool line_changed(const GcProto* pt, const Instr* oldpc, const Instr* pc, int32_t line) {
  uint32_t oldpos = pos_of(pt, oldpc);
  if (oldpos == KX_NO_BCPOS || oldpos == 0 || oldpc >= pc) return true;
  return kx_debug_line(pt, oldpos) != line;
}

void kx_dispatch_ins(lua_State* L, const Instr* pc, uint32_t pending) {
  GlobalState* g = G(L);
  int saved_errno = errno;
  EntryRecord* cf = cframe_raw(L->c_frame);
  const Instr* oldpc = cf->saved_pc;
  cf->saved_pc = pc;
  cf->pending_count = static_cast<int32_t>(pending);
  const GcProto* pt = funcproto(funcV(L->base - 1));
  L->top = live_top(L, pt, pc, pending);
  if ((g->hook_mask & LUA_MASKCOUNT) && g->hook_count == 0) {
    g->hook_count = g->hook_count_reset;
    call_hook(L, LUA_HOOKCOUNT, -1);
  }
  if (g->hook_mask & LUA_MASKLINE) {
    int32_t line = kx_debug_line(pt, pos_of(pt, pc));
    if (line_changed(pt, oldpc, pc, line)) call_hook(L, LUA_HOOKLINE, line);
  }
  if ((g->hook_mask & LUA_MASKRET) && bc_isret(bc_op(pc[-1]))) call_hook(L, LUA_HOOKRET, -1);
  errno = saved_errno;
}

// ---- Call events ------------------------------------------------------------------------------------------

void kx_dispatch_call(lua_State* L, const Instr* pc, uint32_t pending) {
  GlobalState* g = G(L);
  int saved_errno = errno;
  GcFunc* fn = funcV(L->base - 1);
  uint32_t nargs = pending - 1;
  uint32_t nparams = 0;
  uint32_t need = LUA_MINSTACK;
  if (isluafunc(fn)) {
    const GcProto* pt = funcproto(fn);
    nparams = pt->num_params;
    need = pt->frame_size + ((pt->flags & KX_PROTO_VARARG) ? nargs + 1 : 0);
  }
  L->top = L->base + nargs;
  kx_state_checkstack(L, need);
  if ((g->hook_mask & LUA_MASKCALL) && !(g->hook_mask & KX_HOOK_ACTIVE)) {
    // The hook sees missing parameters as nil; the callee sets them itself once it runs.
    for (uint32_t i = nargs; i < nparams; i++) setnilV(L->top++);
    EntryRecord* cf = cframe_raw(L->c_frame);
    const Instr* oldpc = cf->saved_pc;
    void* oldframe = L->c_frame;
    // The callee stands at its entry: its parameters are visible, its line is where it is defined.
    cf->saved_pc = pc;
    // A call hook cannot yield: the callee's frame is not complete yet.
    L->c_frame = cf;
    call_hook(L, LUA_HOOKCALL, -1);
    L->c_frame = oldframe;
    cf->saved_pc = oldpc;
    L->top = L->base + nargs;
  }
  errno = saved_errno;
}

// ---- Yielding from a hook ---------------------------------------------------------------------------------

bool kx_dispatch_inhook(lua_State* L) {
  EntryRecord* cf = cframe_raw(L->c_frame);
  return cf && cf->in_hook;
}

void kx_dispatch_yield(lua_State* L) {
  GlobalState* g = G(L);
  EntryRecord* cf = cframe_raw(L->c_frame);
  g->hook_mask &= static_cast<uint8_t>(~KX_HOOK_ACTIVE);
  cf->in_hook = false;
  // A continuation frame above everything live: the count of pending values, the continuation
  // with the interrupted instruction, and the thread itself as the frame's function.
  kx_state_checkstack(L, 3);
  Value* p = L->top;
  setnumV(p, static_cast<double>(cf->pending_count));
  p[1].w.lo = KX_CONT_HOOK;
  p[1].w.hi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(cf->saved_pc));
  Value* nbase = p + 3;
  setframe_func(p + 2, reinterpret_cast<GcFunc*>(L));
  setframe_link(p + 2, static_cast<uint32_t>(reinterpret_cast<char*>(nbase) - reinterpret_cast<char*>(L->base.get())) | FRAME_CONT);
  L->base = nbase;
  L->top = nbase;
  kx_err_throw(L, LUA_YIELD);
}
