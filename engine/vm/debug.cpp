// Debug information read from frames and prototypes.
#include "vm/debug.h"

#include <cstring>

#include "core/entry.h"
#include "core/frame.h"
#include "core/gc.h"
#include "core/strfmt.h"
#include "core/table.h"
#include "vm/ffid.h"

// ---- Positions and lines ---------------------------------------------------------------------------------

// The saved instruction pointer of the entry record that was current when nextframe was entered.
static const Instr* entry_pc_below(lua_State* L, Value* nextframe) {
  for (EntryRecord* cf = cframe_raw(L->c_frame); cf; cf = entry_prev(cf))
    if (cf->frame_off && restorestack(L, cf->frame_off) == nextframe) return entry_prev(cf) ? entry_prev(cf)->saved_pc : nullptr;
  return nullptr;
}

uint32_t kx_debug_framepc(lua_State* L, GcFunc* fn, Value* nextframe) {
  if (!isluafunc(fn)) return KX_NO_BCPOS;
  const Instr* ins;
  if (nextframe == nullptr) {
    EntryRecord* cf = cframe_raw(L->c_frame);
    ins = cf ? cf->saved_pc : nullptr;
  } else if (frame_islua(nextframe)) {
    ins = frame_pc(nextframe);
  } else if (frame_iscont(nextframe)) {
    ins = cont_pc(nextframe);
  } else {
    ins = entry_pc_below(L, nextframe);
  }
  if (ins == nullptr || ins == reinterpret_cast<const Instr*>(L)) return KX_NO_BCPOS;
  const GcProto* pt = funcproto(fn);
  const Instr* code = proto_bc(pt);
  if (ins < code) return KX_NO_BCPOS;
  uint32_t pos = ins == code ? 1 : static_cast<uint32_t>(ins - code) - 1;
  return pos < pt->code_size ? pos : KX_NO_BCPOS;
}

int32_t kx_debug_line(const GcProto* pt, uint32_t pos) {
  if (pt->line_info == nullptr || pos > pt->code_size) return 0;
  if (pos == 0) return static_cast<int32_t>(pt->first_line);
  if (pos == pt->code_size) return static_cast<int32_t>(pt->first_line + pt->line_count);
  uint32_t delta;
  if (pt->line_count < 256) delta = static_cast<const uint8_t*>(pt->line_info.get())[pos - 1];
  else if (pt->line_count < 65536) delta = static_cast<const uint16_t*>(pt->line_info.get())[pos - 1];
  else delta = static_cast<const uint32_t*>(pt->line_info.get())[pos - 1];
  return static_cast<int32_t>(pt->first_line + delta);
}

void kx_debug_shortname(char* out, const GcString* chunkname, int32_t first_line) {
  const char* src = strdata(chunkname);
  size_t len = chunkname->len;
  if (*src == '=') {
    size_t n = len - 1 < LUA_IDSIZE - 1 ? len - 1 : LUA_IDSIZE - 1;
    memcpy(out, src + 1, n);
    out[n] = 0;
  } else if (*src == '@') {
    size_t n = len - 1;
    if (n >= LUA_IDSIZE) {
      memcpy(out, "...", 3);
      memcpy(out + 3, src + 1 + n - (LUA_IDSIZE - 4), LUA_IDSIZE - 4);
      out[LUA_IDSIZE - 1] = 0;
    } else {
      memcpy(out, src + 1, n + 1);
    }
  } else {
    // Source text: its first line, shortened, in brackets.
    size_t n = 0;
    while (n < len && n < 48 && static_cast<uint8_t>(src[n]) >= 32) n++;
    bool builtin = first_line == -1;
    char* p = out;
    memcpy(p, builtin ? "[builtin:" : "[string \"", 9);
    p += 9;
    if (n < len) {
      size_t keep = n < 45 ? n : 45;
      memcpy(p, src, keep);
      p += keep;
      memcpy(p, "...", 3);
      p += 3;
    } else {
      memcpy(p, src, n);
      p += n;
    }
    if (!builtin) *p++ = '"';
    *p++ = ']';
    *p = 0;
  }
}

void kx_debug_addloc(lua_State* L, const char* msg, Value* frame, Value* nextframe) {
  if (frame && frame > L->stack && isluafunc(funcV(frame))) {
    GcFunc* fn = funcV(frame);
    uint32_t pos = kx_debug_framepc(L, fn, nextframe);
    const GcProto* pt = funcproto(fn);
    if (pos != KX_NO_BCPOS && pt->line_info) {
      char name[LUA_IDSIZE];
      kx_debug_shortname(name, pt->chunk_name, static_cast<int32_t>(pt->first_line));
      kx_strfmt_pushf(L, "%s:%d: %s", name, kx_debug_line(pt, pos), msg);
      return;
    }
  }
  kx_strfmt_pushf(L, "%s", msg);
}

// ---- Frames by level -------------------------------------------------------------------------------------

// The next lower frame; the duplicate slot a vararg function leaves below its real frame is skipped.
static Value* frame_below(Value* frame, Value** nextframe) {
  Value* below = frame_prev(frame);
  if (frame_isvarg(frame)) {
    *nextframe = below;
    return frame_prev(below);
  }
  *nextframe = frame;
  return below;
}

Value* kx_debug_frame(lua_State* L, int level, int* size) {
  Value* nextframe = nullptr;
  Value* frame = L->base - 1;
  while (frame > L->stack) {
    if (funcV(frame) != reinterpret_cast<GcFunc*>(L)) {  // dummy frames are not counted
      if (level-- == 0) {
        *size = nextframe ? static_cast<int>(nextframe - frame) : 0;
        return frame;
      }
    }
    frame = frame_below(frame, &nextframe);
  }
  *size = level;
  return nullptr;
}

// ---- Variable names ----------------------------------------------------------------------------------------

static const char* const hidden_names[] = {
    "(for index)", "(for limit)", "(for step)", "(for generator)", "(for state)", "(for control)",
};

static uint32_t read_uleb128(const uint8_t** pp) {
  const uint8_t* p = *pp;
  uint32_t v = *p++;
  if (v >= 0x80) {
    int shift = 0;
    v &= 0x7f;
    do {
      v |= static_cast<uint32_t>(*p & 0x7f) << (shift += 7);
    } while (*p++ >= 0x80);
  }
  *pp = p;
  return v;
}

const char* kx_debug_varname(const GcProto* pt, uint32_t pos, uint32_t slot) {
  const uint8_t* p = pt->var_info;
  if (p == nullptr) return nullptr;
  uint32_t start = 0;
  while (*p) {
    const char* name;
    if (*p < 7) {
      name = hidden_names[*p - 1];
      p++;
    } else {
      name = reinterpret_cast<const char*>(p);
      p += strlen(name) + 1;
    }
    start += read_uleb128(&p);
    uint32_t len = read_uleb128(&p);
    if (start > pos) break;
    if (pos < start + len && slot-- == 0) return name;
  }
  return nullptr;
}

const char* kx_debug_uvname(const GcProto* pt, uint32_t idx) {
  const uint8_t* p = pt->upval_names;
  if (p == nullptr) return "";
  while (idx--) p += strlen(reinterpret_cast<const char*>(p)) + 1;
  return reinterpret_cast<const char*>(p);
}

// Whether a jump from outside the instructions between `writer` and `use` lands after writer and at
// or before use: the slot that writer set may then hold a value from another path when use runs.
// Jumps within that stretch (the branches of a call's arguments) all come through writer.
static bool jump_lands_between(const GcProto* pt, const Instr* writer, const Instr* use) {
  const Instr* code = proto_bc(pt);
  for (const Instr* p = code; p < code + pt->code_size; p++) {
    uint32_t op = bc_op(*p);
    if (!bcmode_hasd(op) || bcmode_d(op) != BCMjump || (p > writer && p < use)) continue;
    const Instr* target = p + 1 + bc_j(*p);
    if (target > writer && target <= use) return true;
  }
  return false;
}

const char* kx_debug_slotname(const GcProto* pt, const Instr* ins, uint32_t slot, const char** name) {
  const Instr* code = proto_bc(pt);
  for (;;) {
    uint32_t pos = static_cast<uint32_t>(ins - code);
    if (const char* lname = kx_debug_varname(pt, pos, slot)) {
      *name = lname;
      return "local";
    }
    const Instr* p = ins;
    Instr w = 0;
    for (;;) {
      if (--p <= code) return nullptr;
      w = *p;
      uint32_t op = bc_op(w), a = bc_a(w);
      BCMode ma = bcmode_a(op);
      if (ma == BCMbase && slot >= a && (op != BC_KNIL || slot <= bc_d(w))) return nullptr;
      if (ma == BCMdst && a == slot) break;
    }
    if (jump_lands_between(pt, p, ins)) return nullptr;
    switch (bc_op(w)) {
      case BC_MOV:
        ins = p;
        slot = bc_d(w);
        continue;
      case BC_UGET:
        *name = kx_debug_uvname(pt, bc_d(w));
        return "upvalue";
      case BC_GGET:
        *name = strdata(reinterpret_cast<GcString*>(proto_kgc(pt, ~static_cast<int32_t>(bc_d(w)))));
        return "global";
      case BC_TGETS: {
        *name = strdata(reinterpret_cast<GcString*>(proto_kgc(pt, ~static_cast<int32_t>(bc_c(w)))));
        if (p > code) {
          Instr prev = p[-1];
          if (bc_op(prev) == BC_MOV && bc_a(prev) == bc_a(w) + 1 && bc_d(prev) == bc_b(w)) return "method";
        }
        return "field";
      }
      default:
        return nullptr;
    }
  }
}

const char* kx_debug_funcname(lua_State* L, Value* frame, const char** name) {
  if (frame <= L->stack) return nullptr;
  if (frame_isvarg(frame)) frame = frame_prevd(frame);
  // Only a call instruction or a metamethod continuation names the function; a frame entered from C
  // (an error handler, a hook, a function that a C function called) has no name from the code below.
  Value* pframe;
  if (frame_islua(frame)) pframe = frame_prevl(frame);
  else if (frame_iscont(frame)) pframe = frame_prevd(frame);
  else return nullptr;
  if (pframe <= L->stack) return nullptr;
  GcFunc* fn = funcV(pframe);
  uint32_t pos = kx_debug_framepc(L, fn, frame);
  if (pos == KX_NO_BCPOS) return nullptr;
  const GcProto* pt = funcproto(fn);
  const Instr* ins = proto_bc(pt) + pos;
  Instr w = *ins;
  uint32_t op = bc_op(w);
  switch (op) {
    case BC_CALL:
    case BC_CALLM:
    case BC_CALLT:
    case BC_CALLMT:
      return kx_debug_slotname(pt, ins, bc_a(w), name);
    case BC_ITERC:
      return kx_debug_slotname(pt, ins, bc_a(w) - 3, name);
    default: {
      uint32_t mm = bcmode_mm(op);
      if (mm == KX_MM_NONE) return nullptr;
      *name = kx_meta_names[mm];
      return "metamethod";
    }
  }
}

// ---- lua_getstack, lua_getinfo, locals ----------------------------------------------------------------------

extern "C" int lua_getstack(lua_State* L, int level, lua_Debug* ar) {
  int size;
  Value* frame = kx_debug_frame(L, level, &size);
  if (frame) {
    ar->i_ci = (size << 16) + static_cast<int>(frame - L->stack);
    return 1;
  }
  ar->i_ci = level - size;
  return 0;
}

static void frame_of(lua_State* L, const lua_Debug* ar, Value** frame, Value** nextframe) {
  uint32_t off = static_cast<uint32_t>(ar->i_ci) & 0xffff;
  uint32_t size = static_cast<uint32_t>(ar->i_ci) >> 16;
  *frame = L->stack + off;
  *nextframe = size ? *frame + size : nullptr;
}

int kx_debug_getinfo(lua_State* L, const char* what, lua_Debug* ar, int ext) {
  Value* frame = nullptr;
  Value* nextframe = nullptr;
  GcFunc* fn;
  if (*what == '>') {
    Value* f = L->top - 1;
    if (!tv_isfunc(f)) return 0;
    fn = funcV(f);
    L->top--;
    what++;
  } else {
    frame_of(L, ar, &frame, &nextframe);
    fn = funcV(frame);
  }
  bool want_func = false, want_lines = false;
  for (; *what; what++) {
    switch (*what) {
      case 'S':
        if (isluafunc(fn)) {
          const GcProto* pt = funcproto(fn);
          ar->source = strdata(pt->chunk_name);
          kx_debug_shortname(ar->short_src, pt->chunk_name, static_cast<int32_t>(pt->first_line));
          ar->linedefined = static_cast<int>(pt->first_line);
          ar->lastlinedefined = static_cast<int>(pt->first_line + pt->line_count);
          ar->what = (pt->first_line == 0 && pt->line_count != 0) ? "main" : "Lua";
        } else {
          ar->source = "=[C]";
          memcpy(ar->short_src, "[C]", 4);
          ar->linedefined = ar->lastlinedefined = -1;
          ar->what = "C";
        }
        break;
      case 'l': {
        uint32_t pos = frame ? kx_debug_framepc(L, fn, nextframe) : KX_NO_BCPOS;
        ar->currentline = pos != KX_NO_BCPOS ? kx_debug_line(funcproto(fn), pos) : -1;
        break;
      }
      case 'u':
        ar->nups = fn->upvalue_count;
        if (ext) {
          DebugExt* x = reinterpret_cast<DebugExt*>(ar);
          bool lua = isluafunc(fn);
          x->nparams = lua ? funcproto(fn)->num_params : 0;
          x->isvararg = lua ? (funcproto(fn)->flags & KX_PROTO_VARARG) != 0 : 1;
        }
        break;
      case 'n':
        ar->namewhat = frame ? kx_debug_funcname(L, frame, &ar->name) : nullptr;
        if (ar->namewhat == nullptr) {
          ar->namewhat = "";
          ar->name = nullptr;
        }
        break;
      case 'f':
        want_func = true;
        break;
      case 'L':
        want_lines = true;
        break;
      default:
        return 0;
    }
  }
  if (want_func) {
    setfuncV(L->top, fn);
    kx_state_incr_top(L);
  }
  if (want_lines) {
    if (isluafunc(fn)) {
      const GcProto* pt = funcproto(fn);
      GcTable* t = kx_tab_new(L, 0, 0);
      settabV(L->top, t);
      kx_state_incr_top(L);
      for (uint32_t pos = 1; pt->line_info && pos < pt->code_size; pos++)
        setboolV(kx_tab_setint(L, t, kx_debug_line(pt, pos)), true);
    } else {
      setnilV(L->top);
      kx_state_incr_top(L);
    }
  }
  return 1;
}

extern "C" int lua_getinfo(lua_State* L, const char* what, lua_Debug* ar) { return kx_debug_getinfo(L, what, ar, 0); }

// The slot of local n of a frame and its name, or null.
static const char* local_slot(lua_State* L, const lua_Debug* ar, int n, Value** slot) {
  Value* frame;
  Value* nextframe;
  frame_of(L, ar, &frame, &nextframe);
  GcFunc* fn = funcV(frame);
  uint32_t pos = kx_debug_framepc(L, fn, nextframe);
  const char* name = nullptr;
  Value* base = frame + 1;
  if (n > 0) {
    if (pos != KX_NO_BCPOS) name = kx_debug_varname(funcproto(fn), pos, static_cast<uint32_t>(n - 1));
    Value* top = nextframe ? nextframe : L->top;
    if (name == nullptr && base + n - 1 < top) name = "(*temporary)";
    *slot = base + n - 1;
  } else if (n < 0 && isluafunc(fn) && frame_isvarg(frame) && pos != KX_NO_BCPOS) {
    uint32_t nargs = (frame_delta(frame) >> 3) - 1;
    uint32_t nfixed = funcproto(fn)->num_params;
    uint32_t k = static_cast<uint32_t>(-n);
    if (nargs > nfixed && k <= nargs - nfixed) {
      name = "(*vararg)";
      *slot = frame - nargs + nfixed + k - 1;
    }
  }
  return name;
}

extern "C" const char* lua_getlocal(lua_State* L, const lua_Debug* ar, int n) {
  if (ar == nullptr) {
    const Value* f = L->top - 1;
    if (!tv_isfunc(f) || !isluafunc(funcV(f)) || n <= 0) return nullptr;
    return kx_debug_varname(funcproto(funcV(f)), 0, static_cast<uint32_t>(n - 1));
  }
  Value* slot = nullptr;
  const char* name = local_slot(L, ar, n, &slot);
  if (name) {
    copyV(L->top, slot);
    kx_state_incr_top(L);
  }
  return name;
}

extern "C" const char* lua_setlocal(lua_State* L, const lua_Debug* ar, int n) {
  Value* slot = nullptr;
  const char* name = local_slot(L, ar, n, &slot);
  if (name) copyV(slot, L->top - 1);
  L->top--;
  return name;
}
