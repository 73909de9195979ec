// Frames on a thread's stack. A frame's function slot (base - 1) holds the function in its payload
// word and the frame link in its tag word; the link's low three bits give the frame kind. The
// interpreter makes them; the collector and the error path walk them too.
#pragma once

#include "core/func.h"
#include "core/instr.h"
#include "core/state.h"

enum FrameKind : uint32_t {
  FRAME_LUA = 0,    // return address into the calling Lua function (low two bits 0)
  FRAME_C = 1,      // entered by kx_vm_call
  FRAME_CONT = 2,   // metamethod call that resumes an instruction
  FRAME_VARG = 3,   // a vararg function's frame, moved above its arguments
  FRAME_LUAP = 4,   // a return address whose bit 2 is set
  FRAME_CP = 5,     // protected C-level entry
  FRAME_PCALL = 6,  // pcall/xpcall
  FRAME_PCALLH = 7, // pcall/xpcall called while a hook runs
};
constexpr uint32_t FRAME_TYPE = 3, FRAME_TYPEP = 7;

// Continuation routines, stored in the payload of the slot below a continuation frame's function slot.
// 0 and 1 are kept for the foreign function interface.
enum ContKind : uint32_t { KX_CONT_RA = 2, KX_CONT_NOP, KX_CONT_CAT, KX_CONT_CONDT, KX_CONT_CONDF, KX_CONT_HOOK };

inline uint32_t frame_link(const Value* f) { return f->w.hi; }
inline uint32_t frame_kind(const Value* f) { return f->w.hi & FRAME_TYPE; }
inline uint32_t frame_kindp(const Value* f) { return f->w.hi & FRAME_TYPEP; }
inline bool frame_islua(const Value* f) { return (f->w.hi & FRAME_TYPE) == FRAME_LUA; }
inline bool frame_isc(const Value* f) { return frame_kindp(f) == FRAME_C; }
inline bool frame_iscont(const Value* f) { return frame_kindp(f) == FRAME_CONT; }
inline bool frame_isvarg(const Value* f) { return frame_kindp(f) == FRAME_VARG; }
inline bool frame_iscp(const Value* f) { return frame_kindp(f) == FRAME_CP; }
inline bool frame_ispcall(const Value* f) { return (f->w.hi & 6) == 6; }
inline GcFunc* frame_func(const Value* f) { return funcV(f); }
inline const Instr* frame_pc(const Value* f) { return reinterpret_cast<const Instr*>(static_cast<uintptr_t>(f->w.hi)); }
inline uint32_t frame_delta(const Value* f) { return f->w.hi & ~FRAME_TYPEP; }
// The caller's function slot of a Lua-called frame: the calling instruction's A names the callee slot.
inline Value* frame_prevl(Value* f) { return f - (1 + bc_a(frame_pc(f)[-1])); }
inline Value* frame_prevd(Value* f) { return reinterpret_cast<Value*>(reinterpret_cast<char*>(f) - frame_delta(f)); }
inline Value* frame_prev(Value* f) { return frame_islua(f) ? frame_prevl(f) : frame_prevd(f); }

inline void setframe_link(Value* f, uint32_t link) { f->w.hi = link; }
inline void setframe_pc(Value* f, const Instr* pc) { f->w.hi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pc)); }
inline void setframe_delta(Value* f, const Value* base, const Value* prevbase, FrameKind kind) {
  f->w.hi = static_cast<uint32_t>(reinterpret_cast<const char*>(base) - reinterpret_cast<const char*>(prevbase)) | kind;
}
inline void setframe_func(Value* f, const GcFunc* fn) { f->w.lo = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn)); }

// The continuation slot below a continuation frame's function slot.
inline ContKind cont_kind(const Value* f) { return static_cast<ContKind>(f[-1].w.lo); }
// Writes the whole slot: the tag word holds the resume address once the interpreter links the frame,
// and until then must not keep a tag left by an earlier value, which the collector would follow to
// the routine's number as an object (a metamethod called through the C API is never linked so).
inline void setcont_kind(Value* slot, ContKind k) {
  slot->w.lo = k;
  slot->w.hi = 0;
}
inline const Instr* cont_pc(const Value* f) { return reinterpret_cast<const Instr*>(static_cast<uintptr_t>(f[-1].w.hi)); }
