// The bytecode dump reader. A binary chunk is untrusted input: besides its structure, every
// instruction is checked against the prototype it belongs to (operand ranges, constant indices and
// kinds, jump targets, frame size), so a crafted chunk is refused instead of corrupting memory.
#include "bytecode/bcread.h"

#include <cstring>
#include <utility>

#include "bytecode/bc.h"
#include "bytecode/bcdump.h"
#include "core/cdata.h"
#include "core/gc.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"

void kx_bcread_error(lua_State* L, const char* name, ErrorCode code) {
  if (*name == KX_BCDUMP_HEAD1) name = "(binary)";
  else if (*name == '=' || *name == '@') name++;
  kx_strfmt_pushf(L, "%s: %s", name, kx_err_text(code));
  kx_err_throw(L, LUA_ERRSYNTAX);
}

namespace {

[[noreturn]] void malformed(BcProtoReader* r) { kx_bcread_error(r->L, r->given_name, KX_ERR_MalformedBytecode); }

uint8_t read_byte(BcProtoReader* r) {
  if (r->p >= r->pe) malformed(r);
  return *r->p++;
}

uint32_t read_uleb(BcProtoReader* r) {
  uint32_t v = 0;
  for (int shift = 0;; shift += 7) {
    uint8_t b = read_byte(r);
    if (shift == 28 && b > 0x0f) malformed(r);
    v |= static_cast<uint32_t>(b & 0x7f) << shift;
    if (b < 0x80) return v;
  }
}

// The 33-bit form 2 * v + f.
uint32_t read_uleb33(BcProtoReader* r, uint32_t* f) {
  uint8_t b = read_byte(r);
  *f = b & 1;
  uint32_t v = (b & 0x7f) >> 1;
  for (int shift = 6; b >= 0x80; shift += 7) {
    b = read_byte(r);
    if (shift == 27 && b > 0x1f) malformed(r);
    v |= static_cast<uint32_t>(b & 0x7f) << shift;
  }
  return v;
}

const uint8_t* read_block(BcProtoReader* r, uint32_t n) {
  if (static_cast<uint32_t>(r->pe - r->p) < n) malformed(r);
  const uint8_t* p = r->p;
  r->p += n;
  return p;
}

inline uint32_t bswap_if(uint32_t v, bool swap) { return swap ? __builtin_bswap32(v) : v; }

void read_ktab_item(BcProtoReader* r, Value* o) {
  uint32_t tp = read_uleb(r);
  if (tp >= KX_BCDUMP_KTAB_STR) {
    uint32_t len = tp - KX_BCDUMP_KTAB_STR;
    const uint8_t* s = read_block(r, len);
    setstrV(o, kx_str_new(r->L, reinterpret_cast<const char*>(s), len));
  } else if (tp == KX_BCDUMP_KTAB_INT) {
    setnumV(o, static_cast<int32_t>(read_uleb(r)));
  } else if (tp == KX_BCDUMP_KTAB_NUM) {
    o->w.lo = read_uleb(r);
    o->w.hi = read_uleb(r);
    setnumV_canon(o, o->n);
  } else {
    setpriV(o, ~tp);
  }
}

GcTable* read_ktab(BcProtoReader* r) {
  uint32_t narray = read_uleb(r), nhash = read_uleb(r);
  if (narray > KX_MAX_ASIZE || nhash > (1u << KX_MAX_HBITS)) malformed(r);
  uint32_t hbits = nhash == 0 ? 0 : nhash == 1 ? 1 : 32 - static_cast<uint32_t>(__builtin_clz(nhash - 1));
  GcTable* t = kx_tab_new(r->L, narray, hbits);
  for (uint32_t i = 0; i < narray; i++) read_ktab_item(r, &t->array[i]);
  for (uint32_t i = 0; i < nhash; i++) {
    Value key;
    read_ktab_item(r, &key);
    if (tv_isnil(&key) || (tv_isnum(&key) && key.n != key.n)) malformed(r);
    Value* slot = kx_tab_set(r->L, t, &key);
    read_ktab_item(r, slot);
    if (tv_isnil(slot)) settabV(slot, t);  // the placeholder of a key computed at run time
  }
  return t;
}

// A 64-bit integer or complex constant; the chunk's header said so, and the foreign function
// interface is open. The parts of a complex number come from outside: their NaNs are made canonical.
GcCdata* read_kcdata(BcProtoReader* r, uint32_t tp) {
  if (!(r->flags & KX_BCDUMP_F_FFI)) malformed(r);
  uint32_t w[4] = {0, 0, 0, 0};
  uint32_t words = tp == KX_BCDUMP_KGC_COMPLEX ? 4 : 2;
  for (uint32_t i = 0; i < words; i++) w[i] = read_uleb(r);
  if (tp == KX_BCDUMP_KGC_COMPLEX) {
    for (uint32_t i = 0; i < 4; i += 2) {
      Value v;
      v.w.lo = w[i];
      v.w.hi = w[i + 1];
      setnumV_canon(&v, v.n);
      w[i] = v.w.lo;
      w[i + 1] = v.w.hi;
    }
  }
  uint16_t id = tp == KX_BCDUMP_KGC_COMPLEX ? KX_CTID_COMPLEX : tp == KX_BCDUMP_KGC_U64 ? KX_CTID_UINT64 : KX_CTID_INT64;
  return kx_cdata_newconst(r->L, id, w);
}

// Reads the GC constants from the highest index down; child prototypes come off the stack.
void read_kgc(BcProtoReader* r, GcProto* pt, uint32_t count) {
  lua_State* L = r->L;
  Ref<GcObj>* kgc = reinterpret_cast<Ref<GcObj>*>(pt->consts.get());
  for (uint32_t i = count; i-- > 0;) {
    uint32_t tp = read_uleb(r);
    GcObj* o;
    if (tp >= KX_BCDUMP_KGC_STR) {
      uint32_t len = tp - KX_BCDUMP_KGC_STR;
      const uint8_t* s = read_block(r, len);
      o = obj2gco(kx_str_new(L, reinterpret_cast<const char*>(s), len));
    } else if (tp == KX_BCDUMP_KGC_TAB) {
      o = obj2gco(read_ktab(r));
    } else if (tp == KX_BCDUMP_KGC_CHILD) {
      if (L->top <= restorestack(L, r->level) || !tv_isproto(L->top - 1)) malformed(r);
      o = gcV(L->top - 1);
      L->top--;
    } else {
      o = obj2gco(read_kcdata(r, tp));
    }
    kgc[~static_cast<int32_t>(i)] = o;
    kx_gc_objbarrier(G(L), obj2gco(pt), o);
  }
  pt->gc_const_count = count;
}

void read_knum(BcProtoReader* r, GcProto* pt) {
  for (uint32_t i = 0; i < pt->num_const_count; i++) {
    Value* o = &pt->consts[i];
    uint32_t f;
    uint32_t lo = read_uleb33(r, &f);
    if (f) {
      o->w.lo = lo;
      o->w.hi = read_uleb(r);
      setnumV_canon(o, o->n);
    } else {
      setnumV(o, static_cast<int32_t>(lo));
    }
  }
}

// ---- Validation -----------------------------------------------------------------------------------------

GcObj* kgc_at(const GcProto* pt, uint32_t idx) { return proto_kgc(pt, ~static_cast<int32_t>(idx)); }

bool valid_kgc(const GcProto* pt, uint32_t idx, uint8_t type) {
  return idx < pt->gc_const_count && kgc_at(pt, idx)->gc_type == type;
}

// Instructions that leave a variable number of values: their count is only known at run time.
bool opens_results(Instr ins) {
  uint32_t op = bc_op(ins);
  return ((op == BC_CALL || op == BC_CALLM) && bc_b(ins) == 0) || (op == BC_VARG && bc_b(ins) == 0);
}

bool is_conditional(uint32_t op) { return op <= BC_ISF; }

// The slot where an instruction consuming pending results expects them.
uint32_t pending_slot(Instr ins) {
  switch (bc_op(ins)) {
    case BC_CALLM: return bc_a(ins) + 1 + bc_c(ins);
    case BC_CALLMT: return bc_a(ins) + 1 + bc_d(ins);
    case BC_RETM: return bc_a(ins) + bc_d(ins);
    default: return bc_a(ins);  // TSETM
  }
}

bool consumes_pending(uint32_t op) { return op == BC_CALLM || op == BC_CALLMT || op == BC_RETM || op == BC_TSETM; }

// The pending values must come from the instruction right before (or, after the return fix-up, from
// the one before an UCLO that jumps here), at the slot where the consumer expects them.
bool pending_ok(const Instr* code, uint32_t size, uint32_t pc) {
  uint32_t want = pending_slot(code[pc]);
  if (pc > 1 && opens_results(code[pc - 1]) && bc_a(code[pc - 1]) == want) return true;
  for (uint32_t q = 2; q < size; q++) {
    Instr u = code[q];
    if (bc_op(u) == BC_UCLO && static_cast<int64_t>(q) + 1 + bc_j(u) == pc && opens_results(code[q - 1]) &&
        bc_a(code[q - 1]) == want)
      return true;
  }
  return false;
}

bool slot_ok(uint32_t s, uint32_t framesize) { return s < framesize; }

// Whether one operand of the given kind is valid in this prototype.
bool operand_ok(const GcProto* pt, BCMode mode, uint32_t v, uint32_t pc) {
  uint32_t fs = pt->frame_size;
  switch (mode) {
    case BCMnone: return true;
    case BCMdst:
    case BCMvar:
    case BCMbase: return slot_ok(v, fs);
    case BCMrbase: return v <= fs;
    case BCMuv: return v < pt->upval_count;
    case BCMlit:
    case BCMlits: return true;
    case BCMpri: return v <= 2;
    case BCMnum: return v < pt->num_const_count;
    case BCMstr: return valid_kgc(pt, v, KX_ISTR);
    case BCMtab: return valid_kgc(pt, v, KX_ITAB);
    case BCMfunc: return valid_kgc(pt, v, KX_IPROTO);
    case BCMcdata: return valid_kgc(pt, v, KX_ICDATA);
    case BCMjump: {
      int64_t target = static_cast<int64_t>(pc) + 1 + (static_cast<int32_t>(v) - 0x8000);
      return target >= 1 && target < pt->code_size;
    }
    default: return false;
  }
}

// Ranges of slots that instructions read or write beyond their operands.
bool ranges_ok(const GcProto* pt, Instr ins) {
  uint32_t fs = pt->frame_size, a = bc_a(ins);
  switch (bc_op(ins)) {
    case BC_KNIL: return a <= bc_d(ins);
    case BC_CAT: return bc_b(ins) <= bc_c(ins);
    case BC_CALL:
    case BC_CALLM: return a + bc_c(ins) <= fs && a + bc_b(ins) <= fs + 1;
    case BC_CALLT: return a + bc_d(ins) <= fs;
    case BC_CALLMT: return a + bc_d(ins) + 1 <= fs;
    case BC_ITERC:
    case BC_ITERN: return a >= 3 && a + 3 <= fs && a + bc_b(ins) <= fs + 1;
    case BC_ISNEXT: return a >= 3;
    case BC_VARG: return (pt->flags & KX_PROTO_VARARG) && a + bc_b(ins) <= fs + 1;
    case BC_RET: return a + bc_d(ins) <= fs + 1;
    case BC_RET1: return a < fs;
    case BC_RETM: return a + bc_d(ins) <= fs;
    case BC_TSETM: return a >= 1;
    case BC_FORI:
    case BC_FORL: return a + 3 < fs;
    case BC_ITERL: return a >= 1;
    case BC_ISTYPE: return bc_d(ins) < KX_INUM + 1;
    case BC_UCLO:
    case BC_JMP: return a <= fs;
    default: return true;
  }
}

bool allowed_opcode(uint32_t op, bool trusted) {
  if (op >= BC__MAX) return false;
  switch (op) {
    // Run-time variants, headers and C entries never occur in a stored body.
    case BC_IFORL: case BC_JFORI: case BC_JFORL: case BC_IITERL: case BC_JITERL: case BC_ILOOP:
    case BC_JLOOP: case BC_FUNCF: case BC_IFUNCF: case BC_JFUNCF: case BC_FUNCV: case BC_IFUNCV:
    case BC_JFUNCV: case BC_FUNCC: case BC_FUNCCW:
      return false;
    // Raw access assumes a table and a number: only built-in code may use it.
    case BC_TGETR: case BC_TSETR:
      return trusted;
    default:
      return true;
  }
}

void validate(BcProtoReader* r, GcProto* pt) {
  if (pt->num_params > pt->frame_size || pt->frame_size > 250) malformed(r);
  const Instr* code = proto_bc(pt);
  uint32_t size = pt->code_size;
  if (size < 2) malformed(r);
  for (uint32_t pc = 1; pc < size; pc++) {
    Instr ins = code[pc];
    uint32_t op = bc_op(ins);
    if (!allowed_opcode(op, r->trusted)) malformed(r);
    bool ok = operand_ok(pt, bcmode_a(op), bc_a(ins), pc) && ranges_ok(pt, ins);
    if (bcmode_hasd(op)) ok = ok && operand_ok(pt, bcmode_d(op), bc_d(ins), pc);
    else ok = ok && operand_ok(pt, bcmode_b(op), bc_b(ins), pc) && operand_ok(pt, bcmode_c(op), bc_c(ins), pc);
    if (!ok) malformed(r);
    // A comparison decides through the JMP after it; the specialised iteration through its ITERL.
    if (is_conditional(op) && (pc + 1 >= size || bc_op(code[pc + 1]) != BC_JMP)) malformed(r);
    if (op == BC_ITERN && (pc + 1 >= size || bc_op(code[pc + 1]) != BC_ITERL)) malformed(r);
    if (op == BC_ISNEXT) {
      uint32_t target = static_cast<uint32_t>(static_cast<int32_t>(pc) + 1 + bc_j(ins));
      if (bc_op(code[target]) != BC_ITERN || bc_a(code[target]) != bc_a(ins)) malformed(r);
    }
    if (consumes_pending(op) && !pending_ok(code, size, pc)) malformed(r);
  }
  // Execution can never run past the end of the code.
  uint32_t last = bc_op(code[size - 1]);
  if (!(bc_isret(last) || last == BC_CALLT || last == BC_CALLMT || last == BC_JMP || last == BC_UCLO)) malformed(r);
  // Upvalue descriptors of child prototypes refer to this prototype's slots and upvalues. A parent
  // says that it has children: returns close its upvalues, and the writer dumps them, only then.
  for (uint32_t i = 0; i < pt->gc_const_count; i++) {
    GcObj* o = kgc_at(pt, i);
    if (o->gc_type != KX_IPROTO) continue;
    if (!(pt->flags & KX_PROTO_CHILD)) malformed(r);
    const GcProto* child = reinterpret_cast<const GcProto*>(o);
    for (uint32_t u = 0; u < child->upval_count; u++) {
      uint16_t d = child->upval_descs[u];
      bool ok = (d & KX_UV_LOCAL) ? (d & 0xff) < pt->frame_size && !(d & 0x3f00) : d < pt->upval_count;
      if (!ok) malformed(r);
    }
  }
}

// The variable info is walked by whoever reads it (the debug information, the dump writer): each
// entry is a hidden-name code below 7 or a zero-terminated name, then two ULEB128 numbers of at most
// five bytes; a zero byte ends the list, and the region with it.
bool varinfo_whole(const uint8_t* q, const uint8_t* pe) {
  while (q < pe && *q) {
    if (*q < 7) {
      q++;
    } else {
      const void* z = memchr(q, 0, static_cast<size_t>(pe - q));
      if (z == nullptr) return false;
      q = static_cast<const uint8_t*>(z) + 1;
    }
    for (int k = 0; k < 2; k++) {
      const uint8_t* end = q + 5;
      do {
        if (q >= pe || q == end) return false;
      } while (*q++ >= 0x80);
    }
  }
  return q + 1 == pe;
}

// The debug region: the line map, then upvalue names, then variable info. Only its bounds and the
// shape of its lists are checked; what it says is reported, never executed.
void setup_debug(BcProtoReader* r, GcProto* pt, uint32_t dsize) {
  uint8_t* p = static_cast<uint8_t*>(pt->line_info.get());
  uint8_t* pe = p + dsize;
  uint32_t w = pt->line_count < 256 ? 1 : pt->line_count < 65536 ? 2 : 4;
  uint64_t maplen = static_cast<uint64_t>(pt->code_size - 1) * w;
  if (maplen > dsize) malformed(r);
  if ((r->flags & KX_BCDUMP_F_BE) && w > 1) {
    for (uint8_t* q = p; q < p + maplen; q += w) {
      if (w == 2) std::swap(q[0], q[1]);
      else {
        uint32_t v;
        memcpy(&v, q, 4);
        v = __builtin_bswap32(v);
        memcpy(q, &v, 4);
      }
    }
  }
  uint8_t* q = p + maplen;
  pt->upval_names = q;
  for (uint32_t i = 0; i < pt->upval_count; i++) {
    uint8_t* z = static_cast<uint8_t*>(memchr(q, 0, static_cast<size_t>(pe - q)));
    if (z == nullptr) malformed(r);
    q = z + 1;
  }
  pt->var_info = q;
  if (!varinfo_whole(q, pe)) malformed(r);
}

}  // namespace

GcProto* kx_bcread_proto(BcProtoReader* r) {
  lua_State* L = r->L;
  uint8_t flags = read_byte(r);
  uint8_t num_params = read_byte(r);
  uint8_t frame_size = read_byte(r);
  uint8_t upval_count = read_byte(r);
  uint32_t gc_count = read_uleb(r);
  uint32_t num_count = read_uleb(r);
  uint32_t count = read_uleb(r);
  uint32_t dsize = 0, first_line = 0, line_count = 0;
  if (!(r->flags & KX_BCDUMP_F_STRIP)) {
    dsize = read_uleb(r);
    if (dsize) {
      first_line = read_uleb(r);
      line_count = read_uleb(r);
    }
  }
  // Every count is bounded by the bytes that must follow it.
  uint64_t left = static_cast<uint64_t>(r->pe - r->p);
  if (count + 1ull > 0x7fffffff || 4ull * count + 2ull * upval_count + gc_count + num_count + dsize > left) malformed(r);
  GcProto* pt = kx_func_newproto(L, count + 1, gc_count, num_count, upval_count, dsize);
  pt->num_params = num_params;
  pt->frame_size = frame_size;
  pt->flags = flags;
  pt->chunk_name = r->chunk_name;
  pt->first_line = first_line;
  pt->line_count = line_count;
  bool swap = r->flags & KX_BCDUMP_F_BE;
  Instr* code = proto_bc(pt);
  uint32_t head = (flags & KX_PROTO_VARARG) ? BC_FUNCV : BC_FUNCF;
  code[0] = bcins_ad((r->flags & KX_BCDUMP_F_FR2) ? BC_NOT : head, frame_size, 0);
  const uint8_t* src = read_block(r, 4 * count);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t w;
    memcpy(&w, src + 4 * i, 4);
    code[i + 1] = bswap_if(w, swap);
  }
  src = read_block(r, 2u * upval_count);
  for (uint32_t i = 0; i < upval_count; i++) {
    uint16_t d;
    memcpy(&d, src + 2 * i, 2);
    pt->upval_descs[i] = swap ? __builtin_bswap16(d) : d;
  }
  read_kgc(r, pt, gc_count);
  read_knum(r, pt);
  if (dsize) {
    memcpy(pt->line_info, read_block(r, dsize), dsize);
    setup_debug(r, pt, dsize);
  }
  validate(r, pt);
  return pt;
}

// ---- Reading a chunk from a stream --------------------------------------------------------------

namespace {

[[noreturn]] void chunk_error(ChunkStream* in, ErrorCode code) { kx_bcread_error(in->thread, in->given_name, code); }

// Makes at least n bytes available at the cursor. The unread rest of a block moves into the
// stream's text buffer when more input is needed; a block is used in place when nothing is pending.
// With need, the input ending early is an error; otherwise fewer bytes may remain.
void bcread_fill(ChunkStream* in, size_t n, bool need) {
  if (n > KX_MAX_BUF) chunk_error(in, KX_ERR_MalformedBytecode);
  StrBuf* sb = &in->text;
  while (static_cast<size_t>(in->block_end - in->cursor) < n) {
    if (in->current == KX_STREAM_EOF) {
      if (need) chunk_error(in, KX_ERR_MalformedBytecode);
      return;
    }
    size_t have = static_cast<size_t>(in->block_end - in->cursor);
    if (have && in->cursor != sb->b) {
      bool inside = in->cursor >= sb->b && in->cursor < sb->e;
      size_t off = inside ? static_cast<size_t>(in->cursor - sb->b) : 0;
      char* dst = kx_buf_need(sb, static_cast<uint32_t>(have));
      memmove(dst, inside ? dst + off : in->cursor, have);
    }
    sb->w = sb->b + have;
    size_t size;
    const char* block = in->reader(in->thread, in->reader_data, &size);
    if (block == nullptr || size == 0) {
      in->current = KX_STREAM_EOF;
    } else if (have == 0 && size >= n) {
      in->cursor = block;
      in->block_end = block + size;
      return;
    } else {
      if (size > KX_MAX_BUF - have) kx_err_mem(in->thread);
      kx_buf_putmem(sb, block, static_cast<uint32_t>(size));
    }
    in->cursor = sb->b;
    in->block_end = sb->w;
  }
}

// A ULEB128 from the available bytes; false when they end within it.
bool stream_uleb(ChunkStream* in, uint32_t* v) {
  *v = 0;
  for (int shift = 0; in->cursor < in->block_end && shift < 35; shift += 7) {
    uint8_t b = static_cast<uint8_t>(*in->cursor++);
    *v |= static_cast<uint32_t>(b & 0x7f) << shift;
    if (b < 0x80) return true;
  }
  return false;
}

uint32_t read_header(ChunkStream* in, bool two_slot_frames) {
  bcread_fill(in, 13, false);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(in->cursor);
  if (in->block_end - in->cursor < 3 || p[0] != KX_BCDUMP_HEAD2 || p[1] != KX_BCDUMP_HEAD3 || p[2] != KX_BCDUMP_VERSION)
    chunk_error(in, KX_ERR_IncompatibleBytecode);
  in->cursor += 3;
  uint32_t flags;
  if (!stream_uleb(in, &flags)) chunk_error(in, KX_ERR_MalformedBytecode);
  if ((flags & ~KX_BCDUMP_F_KNOWN) || ((flags & KX_BCDUMP_F_FR2) != 0) != two_slot_frames)
    chunk_error(in, KX_ERR_IncompatibleBytecode);
  return flags;
}

GcString* read_chunk_name(ChunkStream* in, uint32_t flags) {
  lua_State* L = in->thread;
  if (flags & KX_BCDUMP_F_STRIP) {
    const char* name = *in->given_name == KX_BCDUMP_HEAD1 ? "=?" : in->given_name;
    return kx_str_newz(L, name);
  }
  bcread_fill(in, 5, false);
  uint32_t len;
  if (!stream_uleb(in, &len)) chunk_error(in, KX_ERR_MalformedBytecode);
  bcread_fill(in, len, true);
  GcString* name = kx_str_new(L, in->cursor, len);
  in->cursor += len;
  return name;
}

}  // namespace

GcProto* kx_bcread(ChunkStream* in, bool two_slot_frames) {
  lua_State* L = in->thread;
  uint32_t flags = read_header(in, two_slot_frames);
  GcString* name = read_chunk_name(in, flags);
  setstrV(L->top, name);  // anchored while the prototypes are read
  kx_state_incr_top(L);
  // Opening may run collector steps, which must not happen while prototypes are half read.
  if (flags & KX_BCDUMP_F_FFI) kx_cdata_open(L);
  int32_t level = savestack(L, L->top);
  for (;;) {
    if (in->cursor < in->block_end && *in->cursor == 0) {
      in->cursor++;
      break;
    }
    bcread_fill(in, 5, false);
    uint32_t len;
    if (!stream_uleb(in, &len)) chunk_error(in, KX_ERR_MalformedBytecode);
    if (len == 0) break;
    bcread_fill(in, len, true);
    BcProtoReader r;
    r.L = L;
    r.p = reinterpret_cast<const uint8_t*>(in->cursor);
    r.pe = r.p + len;
    r.flags = flags;
    r.chunk_name = name;
    r.level = level;
    r.trusted = false;
    r.given_name = in->given_name;
    GcProto* pt = kx_bcread_proto(&r);
    if (r.p != r.pe) chunk_error(in, KX_ERR_MalformedBytecode);
    in->cursor += len;
    setprotoV(L->top, pt);
    kx_state_incr_top(L);
  }
  if ((in->cursor != in->block_end && !in->unbounded_input) || L->top != restorestack(L, level) + 1)
    chunk_error(in, KX_ERR_MalformedBytecode);
  GcProto* pt = protoV(L->top - 1);
  L->top -= 2;
  return pt;
}
