// The error raisers, the search for the error handler and the catch point, and the unwinding.
#include "vm/err.h"

#include <cstdlib>

#include "core/entry.h"
#include "core/frame.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "vm/debug.h"
#include "vm/ffid.h"
#include "vm/vm.h"

static inline bool frame_runs_lua(const Value* frame) { return isluafunc(funcV(frame)); }
static inline Value* saved_top(const lua_State* L, const EntryRecord* cf) { return restorestack(L, -cf->wanted); }
static inline bool entry_has_no_frame(const EntryRecord* cf) { return cf->wanted < 0; }

// ---- Finding the catch point ---------------------------------------------------------------------------

// A walk from the current frame down through the frames, with the chain of entry records beside it.
struct FrameWalk {
  EntryRecord* cf;
  Value* frame;
};

// Where a walk stops: the places where an error may be caught or handled.
enum WalkStop { WALK_END, WALK_ENTRY, WALK_BOTTOM, WALK_CP, WALK_PCALL };

// Steps over Lua, C, continuation and vararg frames to the next stop: the end of the records, a
// record that entered below the walk's frame without a frame of its own (WALK_ENTRY), the bottom of
// the stack, a protected C entry's frame or a pcall frame. Inlined into both searches, so that an
// error caught by pcall costs no more than a search of its own would.
[[gnu::always_inline]] static inline WalkStop walk_to_stop(lua_State* L, FrameWalk* w) {
  while (w->cf) {
    if (entry_has_no_frame(w->cf) && w->frame < saved_top(L, w->cf)) return WALK_ENTRY;
    if (w->frame <= L->stack) return WALK_BOTTOM;
    switch (frame_kindp(w->frame)) {
      case FRAME_LUA:
      case FRAME_LUAP:
        w->frame = frame_prevl(w->frame);
        break;
      case FRAME_C:
        w->cf = entry_prev(w->cf);
        w->frame = frame_prevd(w->frame);
        break;
      case FRAME_CP:
        return WALK_CP;
      case FRAME_PCALL:
      case FRAME_PCALLH:
        return WALK_PCALL;
      default:  // continuation and vararg frames
        w->frame = frame_prevd(w->frame);
        break;
    }
  }
  return WALK_END;
}

// The record that catches an error of this status; *catch_frame becomes the catching pcall frame,
// or null when the record itself catches.
static EntryRecord* find_catch(lua_State* L, int status, Value** catch_frame) {
  FrameWalk w = {cframe_raw(L->c_frame), L->base - 1};
  *catch_frame = nullptr;
  for (;;) {
    switch (walk_to_stop(L, &w)) {
      case WALK_END:
        return nullptr;
      case WALK_BOTTOM:
        return w.cf->kind == KX_ENTRY_CALL ? nullptr : w.cf;
      case WALK_ENTRY:
      case WALK_CP:
        return w.cf;
      case WALK_PCALL:
        if (status != LUA_YIELD) {
          *catch_frame = w.frame;
          return w.cf;
        }
        w.frame = frame_prevd(w.frame);
        break;
    }
  }
}

[[noreturn]] static void panic(lua_State* L) {
  GlobalState* g = G(L);
  L->base = L->stack + 1;
  L->c_frame = nullptr;
  if (g->panic_fn) g->panic_fn(L);
  exit(EXIT_FAILURE);
}

void kx_err_throw(lua_State* L, int status) {
  EntryRecord* cf = cframe_raw(L->c_frame);
  if (L->status == KX_STATUS_CREATING) {
    // A half-built instance: only the creating entry exists, and nothing on the stack matters.
    if (cf == nullptr) panic(L);
    _longjmp(cf->exit, status);
  }
  L->status = LUA_OK;
  Value* frame;
  EntryRecord* catcher = cf ? find_catch(L, status, &frame) : nullptr;
  if (catcher == nullptr) panic(L);
  catcher->catch_off = frame ? savestack(L, frame) : 0;
  _longjmp(catcher->exit, status);
}

// ---- Unwinding -----------------------------------------------------------------------------------------

// Cuts the stack back to slot s: upvalues at or above it are closed and the error object moves to s.
static void cut_stack(lua_State* L, Value* s) {
  kx_func_closeuv(L, s);
  if (L->top - 1 >= s) {
    copyV(s, L->top - 1);
    L->top = s + 1;
  }
  // A stack extended for handling an overflow goes back to its normal maximum once there is room.
  if (L->stack_size > KX_STACK_MAX + KX_STACK_EXTRA && L->top - L->stack <= static_cast<ptrdiff_t>(KX_STACK_MAX - KX_STACK_RESERVE))
    kx_state_resizestack(L, KX_STACK_MAX);
}

Value* kx_err_unwind_pcall(lua_State* L, Value* frame) {
  GlobalState* g = G(L);
  g->current_thread = L;
  if (frame_kindp(frame) == FRAME_PCALL) g->hook_mask &= static_cast<uint8_t>(~KX_HOOK_ACTIVE);
  int32_t pbase_off = savestack(L, frame_prevd(frame) + 1);
  cut_stack(L, restorestack(L, pbase_off));  // may shrink the stack and move it
  Value* pbase = restorestack(L, pbase_off);
  L->base = pbase;
  copyV(pbase + 1, pbase);
  setboolV(pbase, false);
  L->top = pbase + 2;
  g->vm_state = KX_VMST_INTERP;
  return pbase;
}

// A coroutine that dies while its innermost frame runs Lua code keeps that frame's position for
// tracebacks, which its entry record held: a dummy continuation frame above the frame holds the
// instruction, just below the error object.
static void keep_position(lua_State* L, const EntryRecord* rec) {
  Value* frame = L->base - 1;
  const Instr* pc = rec->saved_pc;
  if (frame <= L->stack || !frame_runs_lua(frame) || pc == nullptr || pc == reinterpret_cast<const Instr*>(L)) return;
  Value* err = L->top - 1;
  if (err < L->base || L->top + 2 > L->stack_limit) return;
  copyV(err + 2, err);
  err->w.lo = KX_CONT_NOP;
  err->w.hi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pc));
  setframe_func(err + 1, reinterpret_cast<GcFunc*>(L));
  setframe_link(err + 1, static_cast<uint32_t>(reinterpret_cast<char*>(err + 2) - reinterpret_cast<char*>(L->base.get())) | FRAME_CONT);
  L->base = err + 2;
  L->top = err + 3;
}

void kx_err_unwind_entry(lua_State* L, EntryRecord* rec, int status) {
  GlobalState* g = G(L);
  g->vm_state = KX_VMST_C;
  if (L->status == KX_STATUS_CREATING) return;
  if (rec->kind == KX_ENTRY_RESUME) {
    // The coroutine dies with the error object on top of its stack as it was.
    g->hook_mask &= static_cast<uint8_t>(~KX_HOOK_ACTIVE);
    if (status != LUA_YIELD) keep_position(L, rec);
    L->c_frame = nullptr;
    L->status = static_cast<uint8_t>(status);
    return;
  }
  if (rec->frame_off) {
    Value* frame = restorestack(L, rec->frame_off);
    int32_t base_off = savestack(L, frame_prevd(frame) + 1);
    cut_stack(L, frame);
    L->base = restorestack(L, base_off);
  } else {
    cut_stack(L, saved_top(L, rec));
    L->base = restorestack(L, rec->base_off);
  }
}

// ---- The error handler -----------------------------------------------------------------------------------

// The slot of the error handler that applies where the error is raised, or null.
static Value* find_handler(lua_State* L) {
  FrameWalk w = {cframe_raw(L->c_frame), L->base - 1};
  for (;;) {
    switch (walk_to_stop(L, &w)) {
      case WALK_END:
      case WALK_BOTTOM:
        return nullptr;
      case WALK_CP:
        if (w.cf->kind == KX_ENTRY_RESUME) return nullptr;
        w.frame = frame_prevd(w.frame);
        [[fallthrough]];
      case WALK_ENTRY:
        if (w.cf->handler == 0) return nullptr;
        if (w.cf->handler > 0) return restorestack(L, w.cf->handler);
        w.cf = entry_prev(w.cf);
        break;
      case WALK_PCALL:
        // xpcall keeps its handler in the slot just below the called function.
        return funcV(frame_prevd(w.frame))->ffid == KX_FFID_xpcall ? w.frame - 1 : nullptr;
    }
  }
}

void kx_err_run(lua_State* L) {
  Value* handler = find_handler(L);
  if (handler) {
    int32_t hoff = savestack(L, handler);
    kx_state_checkstack(L, KX_HANDLER_SLOTS);
    handler = restorestack(L, hoff);
    if (!tv_isfunc(handler) || L->status == LUA_ERRERR) {
      setstrV(L->top - 1, kx_err_str(L, KX_ERR_ErrorInErrorHandling));
      kx_err_throw(L, LUA_ERRERR);
    }
    L->status = LUA_ERRERR;
    // The handler runs before anything unwinds; its one result replaces the error object.
    Value* top = L->top;
    copyV(top, top - 1);
    copyV(top - 1, handler);
    L->top = top + 1;
    kx_vm_call(L, top, 1 + 1);
  }
  kx_err_throw(L, LUA_ERRRUN);
}

// ---- Raisers -----------------------------------------------------------------------------------------------

// Prepares the current frame for pushing a message: a Lua frame's whole register window stays intact.
static void fix_top(lua_State* L) {
  Value* frame = L->base - 1;
  if (frame > L->stack && frame_runs_lua(frame)) {
    Value* top = L->base + funcproto(funcV(frame))->frame_size;
    if (top > L->stack_limit) {
      // The frame never got its room: make it harmless and report from its caller.
      L->top = L->base;
      setframe_func(frame, reinterpret_cast<GcFunc*>(L));
    } else {
      L->top = top;
    }
  }
}

[[noreturn]] static void raise_here(lua_State* L, const char* msg) {
  Value* frame = L->base - 1;
  Value* nextframe = nullptr;
  if (frame > L->stack && funcV(frame) == reinterpret_cast<GcFunc*>(L)) {
    // A dummy frame has no position of its own: its caller's is used.
    nextframe = frame;
    frame = frame_prev(frame);
  }
  kx_debug_addloc(L, msg, frame, nextframe);
  kx_err_run(L);
}

void kx_err_msg(lua_State* L, ErrorCode code) {
  fix_top(L);
  raise_here(L, kx_err_text(code));
}

void kx_err_msgv(lua_State* L, ErrorCode code, ...) {
  fix_top(L);
  va_list argp;
  va_start(argp, code);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), argp);
  va_end(argp);
  raise_here(L, msg);
}

void kx_err_stkov(lua_State* L) {
  // The frame that asked for room is made safe against the normal limit, before the stack grows.
  fix_top(L);
  if (L->stack_size > KX_STACK_MAX + KX_STACK_EXTRA) {
    // Already extended for an earlier overflow: give up without a handler.
    setstrV(L->top++, kx_err_str(L, KX_ERR_StackOverflow));
    kx_err_throw(L, LUA_ERRERR);
  }
  kx_state_resizestack(L, KX_STACK_ERRMAX);
  if (L->status == LUA_ERRERR) kx_err_err(L);
  raise_here(L, kx_err_text(KX_ERR_StackOverflow));
}

void kx_err_mem(lua_State* L) {
  if (L->status == LUA_ERRERR) kx_err_err(L);
  if (L->status == KX_STATUS_CREATING) kx_err_throw(L, LUA_ERRMEM);
  fix_top(L);
  // The message is a fixed interned string: pushing it allocates nothing.
  setstrV(L->top++, kx_err_str(L, KX_ERR_NotEnoughMemory));
  kx_err_throw(L, LUA_ERRMEM);
}

void kx_err_err(lua_State* L) {
  setstrV(L->top++, kx_err_str(L, KX_ERR_ErrorInErrorHandling));
  kx_err_throw(L, LUA_ERRERR);
}

void kx_err_lex(lua_State* L, GcString* chunkname, const char* tok, int32_t line, ErrorCode code, va_list argp) {
  char name[LUA_IDSIZE];
  kx_debug_shortname(name, chunkname, line);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), argp);
  msg = kx_strfmt_pushf(L, "%s:%d: %s", name, line, msg);
  if (tok) kx_strfmt_pushf(L, kx_err_text(KX_ERR_SyntaxNear), msg, tok);
  kx_err_throw(L, LUA_ERRSYNTAX);
}

void kx_err_optype(lua_State* L, const Value* o, ErrorCode opmsg) {
  const char* tname = kx_obj_typename_of(o);
  const char* kind = nullptr;
  const char* name = nullptr;
  Value* frame = L->base - 1;
  if (frame > L->stack && frame_runs_lua(frame) && o >= L->base && o < L->stack_limit) {
    const GcProto* pt = funcproto(funcV(frame));
    const Instr* pc = cframe_raw(L->c_frame)->saved_pc;
    kind = kx_debug_slotname(pt, pc - 1, static_cast<uint32_t>(o - L->base), &name);
  }
  if (kind) kx_err_msgv(L, KX_ERR_OperandNamed, kx_err_text(opmsg), kind, name, tname);
  kx_err_msgv(L, KX_ERR_OperandUnnamed, kx_err_text(opmsg), tname);
}

void kx_err_comp(lua_State* L, const Value* a, const Value* b) {
  const char* ta = kx_obj_typename_of(a);
  const char* tb = kx_obj_typename_of(b);
  if (ta == tb) kx_err_msgv(L, KX_ERR_CompareSame, ta);
  kx_err_msgv(L, KX_ERR_CompareMixed, ta, tb);
}

void kx_err_callnonfunc(lua_State* L, Value* func, uint32_t link) {
  const char* tname = kx_obj_typename_of(func);
  // The called slot becomes a dummy frame, so the position is taken from the caller.
  setframe_func(func, reinterpret_cast<GcFunc*>(L));
  setframe_link(func, link);
  L->base = func + 1;
  L->top = func + 1;
  kx_err_msgv(L, KX_ERR_CallNonFunction, tname);
}

void kx_err_callermsg(lua_State* L, const char* msg) {
  Value* frame = L->base - 1;
  Value* pframe = nullptr;
  if (frame > L->stack) {
    if (frame_islua(frame)) pframe = frame_prevl(frame);
    else if (frame_iscont(frame)) pframe = frame_prevd(frame);
  }
  kx_debug_addloc(L, msg, pframe, pframe ? frame : nullptr);
  kx_err_run(L);
}

void kx_err_caller(lua_State* L, ErrorCode code) { kx_err_callermsg(L, kx_err_text(code)); }

void kx_err_callerv(lua_State* L, ErrorCode code, ...) {
  va_list argp;
  va_start(argp, code);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), argp);
  va_end(argp);
  kx_err_callermsg(L, msg);
}

void kx_err_argmsg(lua_State* L, int narg, const char* msg) {
  const char* fname = "?";
  const char* kind = kx_debug_funcname(L, L->base - 1, &fname);
  if (narg < 0 && narg > LUA_REGISTRYINDEX) narg = static_cast<int>(L->top - L->base) + narg + 1;
  if (kind && strcmp(kind, "method") == 0 && --narg == 0)
    msg = kx_strfmt_pushf(L, kx_err_text(KX_ERR_BadSelf), fname, msg);
  else
    msg = kx_strfmt_pushf(L, kx_err_text(KX_ERR_BadArgument), narg, fname, msg);
  kx_err_callermsg(L, msg);
}

void kx_err_arg(lua_State* L, int narg, ErrorCode code) { kx_err_argmsg(L, narg, kx_err_text(code)); }

void kx_err_argv(lua_State* L, int narg, ErrorCode code, ...) {
  va_list argp;
  va_start(argp, code);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), argp);
  va_end(argp);
  kx_err_argmsg(L, narg, msg);
}

// The type name of an argument as argument errors report it.
static const char* arg_typename(lua_State* L, int narg) {
  if (narg <= LUA_REGISTRYINDEX) {
    if (narg >= LUA_GLOBALSINDEX) return kx_obj_typename[LUA_TTABLE + 1];
    GcFunc* fn = funcV(L->base - 1);
    uint32_t idx = static_cast<uint32_t>(LUA_GLOBALSINDEX - narg);
    if (idx > fn->upvalue_count) return kx_obj_typename[0];
    return kx_obj_typename_of(&fn->c.upvalue[idx - 1]);
  }
  const Value* o = narg < 0 ? L->top + narg : L->base + narg - 1;
  return o < L->top ? kx_obj_typename_of(o) : kx_obj_typename[0];
}

void kx_err_argtype(lua_State* L, int narg, const char* xname) {
  const char* msg = kx_strfmt_pushf(L, kx_err_text(KX_ERR_TypeExpected), xname, arg_typename(L, narg));
  kx_err_argmsg(L, narg, msg);
}

void kx_err_argt(lua_State* L, int narg, int tt) { kx_err_argtype(L, narg, kx_obj_typename[tt + 1]); }
