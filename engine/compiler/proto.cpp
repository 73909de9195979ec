// Prototype finalisation and the compiler's entry.
#include "compiler/proto.h"

#include <cstring>

#include "compiler/parse.h"
#include "core/func.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/table.h"

GcString* kx_parse_keepstr(Lexer* ls, const char* text, size_t len) {
  lua_State* L = ls->thread;
  GcString* s = kx_str_new(L, text, len);
  Value* slot = kx_tab_setstr(L, ls->func->constants, s);
  if (tv_isnil(slot)) setboolV(slot, true);
  kx_gc_check(L);
  return s;
}

void kx_parse_keepcdata(Lexer* ls, const Value* cd) {
  lua_State* L = ls->thread;
  Value* slot = kx_tab_set(L, ls->func->constants, cd);
  if (tv_isnil(slot)) setboolV(slot, true);
  kx_gc_check(L);
}

void fs_init(Lexer* ls, FuncBuilder* fs, int32_t line) {
  lua_State* L = ls->thread;
  FuncBuilder* parent = ls->func;
  fs->parent = parent;
  ls->func = fs;
  fs->lexer = ls;
  fs->thread = L;
  fs->block = nullptr;
  if (parent != nullptr) {  // the child's code follows the parent's in the shared buffer
    fs->code = parent->code + parent->pc;
    fs->code_limit = parent->code_limit - parent->pc;
  } else {
    fs->code = ls->code;
    fs->code_limit = ls->code_capacity;
  }
  fs->pc = 0;
  fs->last_target = 0;
  fs->pending_jumps = NO_JUMP;
  fs->free_reg = 0;
  fs->active_vars = 0;
  fs->num_count = fs->gc_count = 0;
  fs->min_line = fs->max_line = line;
  fs->var_base = ls->vars_top;
  fs->flags = 0;
  fs->num_params = 0;
  fs->frame_size = 1;
  fs->upval_count = 0;
  fs->constants = kx_tab_new(L, 0, 0);
  settabV(L->top, fs->constants);
  kx_state_incr_top(L);
}

static bool is_return(uint32_t op) { return bc_isret(op) || op == BC_CALLMT || op == BC_CALLT; }

// The closing return, and the copies of early returns that must close upvalues first.
static void fs_fixup_returns(FuncBuilder* fs) {
  uint32_t last = fs->pc;
  if (last <= fs->last_target || !is_return(bc_op(fs->code[last - 1].ins))) {
    if (fs->block->flags & KX_SCOPE_UPVAL) bcemit_AJ(fs, BC_UCLO, 0, 0);
    bcemit_AD(fs, BC_RET0, 0, 1);
  }
  fs->block->flags |= KX_SCOPE_NOCLOSE;  // closed by the return above
  fscope_end(fs);
  if (!(fs->flags & KX_PROTO_FIXUP_RETURN)) return;
  // Returns compiled before the first closure: each becomes an upvalue close jumping to its copy.
  for (uint32_t pc = 1; pc < last; pc++) {
    Instr ins = fs->code[pc].ins;
    uint32_t op = bc_op(ins);
    if (op == BC_FNEW) return;
    if (!is_return(op)) continue;
    uint32_t copy = bcemit_INS(fs, ins);
    set_line(fs, copy, fs->code[pc].line);
    uint32_t offset = copy - (pc + 1) + KX_BCBIAS_J;
    if (offset > KX_BCMAX_D) err_syntax(fs->lexer, KX_ERR_ReturnFixupTooLong);
    fs->code[pc].ins = bcins_ad(BC_UCLO, 0, offset);
  }
}

static inline uint32_t align_up(uint32_t n, uint32_t a) { return (n + a - 1) & ~(a - 1); }

static void putuleb(StrBuf* sb, uint32_t v) {
  for (; v >= 0x80; v >>= 7) kx_buf_putchar(sb, static_cast<int>((v & 0x7f) | 0x80));
  kx_buf_putchar(sb, static_cast<int>(v));
}

// Upvalue names, then variable info, appended to the text buffer. Returns the upvalue names' length.
static uint32_t fs_debug_bytes(Lexer* ls, FuncBuilder* fs, StrBuf* sb) {
  uint32_t start = sbuflen(sb);
  for (uint32_t i = 0; i < fs->upval_count; i++) {
    const GcString* name = ls->vars[fs->upval_map[i]].name;
    kx_buf_putmem(sb, strdata(name), name->len + 1);
  }
  uint32_t names_len = sbuflen(sb) - start;
  uint32_t last_start = 0;
  for (uint32_t i = fs->var_base; i < ls->vars_top; i++) {
    const VarSlot* v = &ls->vars[i];
    if (v->info & (KX_VAR_JUMP | KX_VAR_LABEL)) continue;
    if (varname_isstr(v->name)) kx_buf_putmem(sb, strdata(v->name), v->name->len + 1);
    else kx_buf_putchar(sb, static_cast<int>(v->name.bits));
    putuleb(sb, v->start_pc - last_start);
    putuleb(sb, v->end_pc - v->start_pc);
    last_start = v->start_pc;
  }
  kx_buf_putchar(sb, 0);
  return names_len;
}

// A child's upvalue sources become descriptors once its parent (fs) knows which locals are written.
static void fs_fixup_child_upvalues(Lexer* ls, GcProto* child) {
  for (uint32_t i = 0; i < child->upval_count; i++) {
    uint32_t source = child->upval_descs[i];
    if (source >= KX_MAX_VSTACK) {
      child->upval_descs[i] = static_cast<uint16_t>(source - KX_MAX_VSTACK);
    } else {
      const VarSlot* v = &ls->vars[source];
      uint16_t d = static_cast<uint16_t>(KX_UV_LOCAL | v->slot);
      if (!(v->info & KX_VAR_RW)) d |= KX_UV_IMMUTABLE;
      child->upval_descs[i] = d;
    }
  }
}

static void fs_fill_constants(Lexer* ls, FuncBuilder* fs, GcProto* pt) {
  GlobalState* g = G(ls->thread);
  GcTable* kt = fs->constants;
  Ref<GcObj>* kgc = reinterpret_cast<Ref<GcObj>*>(pt->consts.get());
  for (uint32_t i = 0; i < kt->asize; i++) {
    const Value* v = &kt->array[i];
    if (tv_isnum(v)) setnumV(&pt->consts[v->w.lo], static_cast<double>(i));
  }
  for (uint32_t i = 0; i <= kt->hmask; i++) {
    const TableNode* n = &kt->node[i];
    if (!tv_isnum(&n->val)) continue;
    uint32_t idx = n->val.w.lo;
    if (tv_isnum(&n->key)) {
      copyV(&pt->consts[idx], &n->key);
      continue;
    }
    GcObj* o = gcV(&n->key);
    kgc[-1 - static_cast<int32_t>(idx)] = o;
    kx_gc_objbarrier(g, obj2gco(pt), o);
    if (tv_isproto(&n->key)) fs_fixup_child_upvalues(ls, protoV(&n->key));
  }
}

static void fs_fill_lines(FuncBuilder* fs, GcProto* pt, uint32_t width) {
  uint32_t count = fs->pc - 1;
  const InsLine* il = fs->code + 1;
  int32_t first = fs->min_line;
  if (width == 1) {
    uint8_t* li = static_cast<uint8_t*>(pt->line_info.get());
    for (uint32_t i = 0; i < count; i++) li[i] = static_cast<uint8_t>(il[i].line - first);
  } else if (width == 2) {
    uint16_t* li = static_cast<uint16_t*>(pt->line_info.get());
    for (uint32_t i = 0; i < count; i++) li[i] = static_cast<uint16_t>(il[i].line - first);
  } else {
    uint32_t* li = static_cast<uint32_t*>(pt->line_info.get());
    for (uint32_t i = 0; i < count; i++) li[i] = static_cast<uint32_t>(il[i].line - first);
  }
}

static Instr fs_header(Lexer* ls, const FuncBuilder* fs) {
  uint32_t op = ls->two_slot_frames ? BC_NOT : (fs->flags & KX_PROTO_VARARG) ? BC_FUNCV : BC_FUNCF;
  return bcins_ad(op, fs->frame_size, 0);
}

// The prototype in one allocation: fields, code, GC constants (below consts), number constants,
// upvalue descriptors, line map, upvalue names and variable info.
static GcProto* fs_build(Lexer* ls, FuncBuilder* fs) {
  lua_State* L = ls->thread;
  uint32_t code_size = fs->pc;
  uint32_t ofs_k = align_up(sizeof(GcProto) + 4 * code_size + 4 * fs->gc_count, 8);
  uint32_t ofs_uv = ofs_k + 8 * fs->num_count;
  uint32_t ofs_li = ofs_uv + align_up(2 * fs->upval_count, 4);
  uint32_t line_count = static_cast<uint32_t>(fs->max_line - fs->min_line);
  uint32_t width = line_count < 256 ? 1 : line_count < 65536 ? 2 : 4;
  uint32_t ofs_dbg = ofs_li + width * (code_size - 1);
  // The text buffer may hold the current token's text, which error messages still need.
  StrBuf* sb = &ls->text;
  uint32_t keep = sbuflen(sb);
  uint32_t names_len = fs_debug_bytes(ls, fs, sb);
  uint32_t dbg_len = sbuflen(sb) - keep;
  uint32_t total = ofs_dbg + dbg_len;

  GcProto* pt = reinterpret_cast<GcProto*>(kx_mem_newgco(L, total));
  char* base = reinterpret_cast<char*>(pt);
  pt->gc_type = KX_IPROTO;
  pt->num_params = fs->num_params;
  pt->frame_size = fs->frame_size;
  pt->code_size = code_size;
  pt->gray_link = nullptr;
  pt->consts = reinterpret_cast<Value*>(base + ofs_k);
  pt->upval_descs = reinterpret_cast<uint16_t*>(base + ofs_uv);
  pt->gc_const_count = fs->gc_count;
  pt->num_const_count = fs->num_count;
  pt->total_size = total;
  pt->upval_count = fs->upval_count;
  pt->flags = fs->flags & ~(KX_PROTO_HAS_RETURN | KX_PROTO_FIXUP_RETURN);
  pt->root_trace = 0;
  pt->chunk_name = ls->chunk_name;
  pt->first_line = static_cast<uint32_t>(fs->min_line);
  pt->line_count = line_count;
  pt->line_info = base + ofs_li;
  pt->upval_names = reinterpret_cast<const uint8_t*>(base + ofs_dbg);
  pt->var_info = pt->upval_names + names_len;

  Instr* code = proto_bc(pt);
  code[0] = fs_header(ls, fs);
  for (uint32_t i = 1; i < code_size; i++) code[i] = fs->code[i].ins;
  char* gc_start = base + ofs_k - 4 * fs->gc_count;
  char* code_end = reinterpret_cast<char*>(code + code_size);
  memset(code_end, 0, static_cast<size_t>(gc_start - code_end));
  fs_fill_constants(ls, fs, pt);
  memcpy(pt->upval_descs, fs->upval_source, 2 * fs->upval_count);
  if (fs->upval_count & 1) pt->upval_descs[fs->upval_count] = 0;
  fs_fill_lines(fs, pt, width);
  memcpy(base + ofs_dbg, sb->b + keep, dbg_len);
  sb->w = sb->b + keep;
  return pt;
}

GcProto* fs_finish(Lexer* ls) {
  lua_State* L = ls->thread;
  FuncBuilder* fs = ls->func;
  fs_fixup_returns(fs);
  if (fs->num_count > KX_MAX_CONSTS || fs->gc_count > KX_MAX_CONSTS) err_limit(fs, KX_MAX_CONSTS, "constants");
  GcProto* pt = fs_build(ls, fs);
  L->top--;  // the constants table
  ls->vars_top = fs->var_base;
  ls->func = fs->parent;
  return pt;
}

// The token after a short function's body was scanned while the body was compiled, so its string is
// anchored only by the finished function: the parent keeps it alive from now on.
static void keep_token(FuncBuilder* fs, int32_t tok, const Value* v) {
  if (tok != KX_TK_name && tok != KX_TK_string) return;
  Value* slot = kx_tab_setstr(fs->thread, fs->constants, strV(v));
  if (tv_isnil(slot)) setboolV(slot, true);
}

void proto_finish(Lexer* ls, ExprDesc* e, int32_t end_line) {
  FuncBuilder* child = ls->func;
  FuncBuilder* parent = child->parent;
  // A function's last line is at least that of its closing token.
  ls->last_line = end_line;
  widen_lines(child, end_line);
  GcProto* pt = fs_finish(ls);
  keep_token(parent, ls->token, &ls->token_value);
  keep_token(parent, ls->peek_token, &ls->peek_value);
  uint32_t idx = const_object(parent, obj2gco(pt), KX_TPROTO);
  expr_init(e, ExprRelocable, bcemit_AD(parent, BC_FNEW, 0, idx));
  parent->flags |= pt->flags & (KX_PROTO_FFI | KX_PROTO_BITOPS);
  if (!(parent->flags & KX_PROTO_CHILD)) {
    if (parent->flags & KX_PROTO_HAS_RETURN) parent->flags |= KX_PROTO_FIXUP_RETURN;
    parent->flags |= KX_PROTO_CHILD;
  }
}

GcProto* kx_parse(Lexer* ls) {
  lua_State* L = ls->thread;
  ls->chunk_name = kx_str_newz(L, ls->given_name);
  ls->chunk_name_slot = savestack(L, L->top);
  setstrV(L->top, ls->chunk_name);
  kx_state_incr_top(L);
  ls->depth = 0;
  for (uint16_t& head : ls->name_chains) head = KX_CHAIN_END;
  FuncBuilder fs;
  BlockScope bl;
  fs_init(ls, &fs, 0);
  fs.flags |= KX_PROTO_VARARG;  // the main chunk always takes varargs
  scope_begin(&fs, &bl, 0);
  bcemit_AD(&fs, BC_FUNCV, 0, 0);
  kx_lex_advance(ls);
  parse_chunk(ls);
  if (ls->token != KX_TK_eof) err_token(ls, KX_TK_eof);
  widen_lines(&fs, ls->line);
  GcProto* pt = fs_finish(ls);
  L->top--;  // the chunk name
  return pt;
}
