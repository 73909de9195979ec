// The bytecode dump writer.
#include <cstring>

#include "bytecode/bc.h"
#include "bytecode/bcdump.h"
#include "core/buf.h"
#include "core/cdata.h"
#include "core/entry.h"
#include "core/func.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/table.h"

namespace {

struct BcWriteCtx {
  lua_State* L;
  StrBuf sb;             // the block being built
  GcProto* pt;           // the main prototype
  lua_Writer writer;
  void* data;
  uint32_t flags;
  int status;            // the first nonzero writer status
  TableNode** heap;      // template pairs being sorted
  uint32_t heap_size;
};

void put_uleb(StrBuf* sb, uint32_t v) {
  char* w = kx_buf_more(sb, 5);
  sb->w = reinterpret_cast<char*>(kx_bcdump_uleb128(reinterpret_cast<uint8_t*>(w), v));
}

// The 33-bit form: 2 * v + f.
void put_uleb33(StrBuf* sb, uint32_t v, uint32_t f) {
  uint64_t x = (static_cast<uint64_t>(v) << 1) | f;
  char* w = kx_buf_more(sb, 5);
  uint8_t* p = reinterpret_cast<uint8_t*>(w);
  for (; x >= 0x80; x >>= 7) *p++ = static_cast<uint8_t>((x & 0x7f) | 0x80);
  *p++ = static_cast<uint8_t>(x);
  sb->w = reinterpret_cast<char*>(p);
}

void put_bytes(StrBuf* sb, const void* p, uint32_t n) { kx_buf_putmem(sb, p, n); }

// A number that is exactly a 32-bit integer (with the sign of a zero kept apart).
bool exact_int(const Value* v, int32_t* i) {
  if (!kx_num2int_exact(v->n, i)) return false;
  Value back;
  back.n = static_cast<double>(*i);
  return back.u64 == v->u64;
}

void write_ktab_item(StrBuf* sb, const Value* v, bool narrow) {
  int32_t i;
  if (tv_isstr(v)) {
    GcString* s = strV(v);
    put_uleb(sb, KX_BCDUMP_KTAB_STR + s->len);
    put_bytes(sb, strdata(s), s->len);
  } else if (tv_isnum(v)) {
    if (narrow && exact_int(v, &i)) {
      put_uleb(sb, KX_BCDUMP_KTAB_INT);
      put_uleb(sb, static_cast<uint32_t>(i));
    } else {
      put_uleb(sb, KX_BCDUMP_KTAB_NUM);
      put_uleb(sb, v->w.lo);
      put_uleb(sb, v->w.hi);
    }
  } else {
    put_uleb(sb, tv_istrue(v) ? KX_BCDUMP_KTAB_TRUE : tv_isfalse(v) ? KX_BCDUMP_KTAB_FALSE : KX_BCDUMP_KTAB_NIL);
  }
}

// Deterministic key order: by type word, then strings bytewise, others by their low word.
bool key_less(const TableNode* a, const TableNode* b) {
  if (a->key.w.hi != b->key.w.hi) return a->key.w.hi < b->key.w.hi;
  if (tv_isstr(&a->key)) return kx_str_cmp(strV(&a->key), strV(&b->key)) < 0;
  return a->key.w.lo < b->key.w.lo;
}

void heap_sift(TableNode** h, uint32_t i, uint32_t n) {
  for (;;) {
    uint32_t l = 2 * i + 1, m = i;
    if (l < n && key_less(h[m], h[l])) m = l;
    if (l + 1 < n && key_less(h[m], h[l + 1])) m = l + 1;
    if (m == i) return;
    TableNode* t = h[i];
    h[i] = h[m];
    h[m] = t;
    i = m;
  }
}

void heap_sort(TableNode** h, uint32_t n) {
  for (uint32_t i = n / 2; i-- > 0;) heap_sift(h, i, n);
  for (uint32_t end = n; end-- > 1;) {
    TableNode* t = h[0];
    h[0] = h[end];
    h[end] = t;
    heap_sift(h, 0, end);
  }
}

void write_ktab(lua_State* L, BcWriteCtx* ctx, GcTable* t) {
  StrBuf* sb = &ctx->sb;
  uint32_t narray = 0, nhash = 0;
  for (uint32_t i = t->asize; i-- > 0;)
    if (!tv_isnil(&t->array[i])) {
      narray = i + 1;
      break;
    }
  for (uint32_t i = 0; t->hmask && i <= t->hmask; i++)
    if (!tv_isnil(&t->node[i].val)) nhash++;
  put_uleb(sb, narray);
  put_uleb(sb, nhash);
  Value nil;
  setnilV(&nil);
  auto item_value = [&](const Value* v) -> const Value* { return tv_istab(v) && tabV(v) == t ? &nil : v; };
  for (uint32_t i = 0; i < narray; i++) write_ktab_item(sb, item_value(&t->array[i]), true);
  if (nhash == 0) return;
  if ((ctx->flags & KX_BCDUMP_F_DETERMINISTIC) && nhash > 1) {
    if (ctx->heap_size < nhash) {
      ctx->heap = kx_mem_reallocvec(L, ctx->heap, ctx->heap_size, nhash);
      ctx->heap_size = nhash;
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i <= t->hmask; i++)
      if (!tv_isnil(&t->node[i].val)) ctx->heap[n++] = &t->node[i];
    heap_sort(ctx->heap, n);
    for (uint32_t i = 0; i < n; i++) {
      write_ktab_item(sb, &ctx->heap[i]->key, false);
      write_ktab_item(sb, item_value(&ctx->heap[i]->val), true);
    }
    return;
  }
  for (uint32_t i = t->hmask + 1; i-- > 0;) {
    TableNode* n = &t->node[i];
    if (tv_isnil(&n->val)) continue;
    write_ktab_item(sb, &n->key, false);
    write_ktab_item(sb, item_value(&n->val), true);
  }
}

// A 64-bit integer as two words; a complex number as the words of its real and imaginary parts.
void write_kcdata(StrBuf* sb, const GcCdata* cd) {
  const uint32_t* w = static_cast<const uint32_t*>(cdataptr(cd));
  uint32_t type = cd->ctype_id == KX_CTID_COMPLEX ? KX_BCDUMP_KGC_COMPLEX
                  : cd->ctype_id == KX_CTID_UINT64 ? KX_BCDUMP_KGC_U64 : KX_BCDUMP_KGC_I64;
  put_uleb(sb, type);
  uint32_t words = type == KX_BCDUMP_KGC_COMPLEX ? 4 : 2;
  for (uint32_t i = 0; i < words; i++) put_uleb(sb, w[i]);
}

void write_kgc(lua_State* L, BcWriteCtx* ctx, GcProto* pt) {
  for (uint32_t i = pt->gc_const_count; i-- > 0;) {
    GcObj* o = proto_kgc(pt, ~static_cast<int32_t>(i));
    switch (o->gc_type) {
      case KX_IPROTO:
        put_uleb(&ctx->sb, KX_BCDUMP_KGC_CHILD);
        break;
      case KX_ITAB:
        put_uleb(&ctx->sb, KX_BCDUMP_KGC_TAB);
        write_ktab(L, ctx, reinterpret_cast<GcTable*>(o));
        break;
      case KX_ICDATA:
        write_kcdata(&ctx->sb, reinterpret_cast<GcCdata*>(o));
        break;
      default: {
        GcString* s = reinterpret_cast<GcString*>(o);
        put_uleb(&ctx->sb, KX_BCDUMP_KGC_STR + s->len);
        put_bytes(&ctx->sb, strdata(s), s->len);
        break;
      }
    }
  }
}

void write_knum(BcWriteCtx* ctx, GcProto* pt) {
  for (uint32_t i = 0; i < pt->num_const_count; i++) {
    const Value* v = proto_knum(pt, i);
    int32_t k;
    if (exact_int(v, &k)) {
      put_uleb33(&ctx->sb, static_cast<uint32_t>(k), 0);
    } else {
      put_uleb33(&ctx->sb, v->w.lo, 1);
      put_uleb(&ctx->sb, v->w.hi);
    }
  }
}

// Bytes of a prototype's debug region: line map, upvalue names and variable info.
uint32_t debug_size(const GcProto* pt) {
  if (pt->line_info == nullptr) return 0;
  const uint8_t* p = pt->var_info;
  while (*p) {
    if (*p < 7) p++;
    else p += strlen(reinterpret_cast<const char*>(p)) + 1;
    for (int k = 0; k < 2; k++)
      while (*p++ >= 0x80) {
      }
  }
  return static_cast<uint32_t>(p + 1 - static_cast<const uint8_t*>(pt->line_info.get()));
}

// Instructions as stored: no interpreter-only variants.
Instr normalize(Instr ins) {
  switch (bc_op(ins)) {
    case BC_IFORL: setbc_op(&ins, BC_FORL); break;
    case BC_IITERL: setbc_op(&ins, BC_ITERL); break;
    case BC_ILOOP: setbc_op(&ins, BC_LOOP); break;
    case BC_JFORI: setbc_op(&ins, BC_FORI); break;
    default: break;
  }
  return ins;
}

void emit(BcWriteCtx* ctx, const char* p, uint32_t n) {
  if (ctx->status == 0) ctx->status = ctx->writer(ctx->L, p, n, ctx->data);
}

void write_proto(lua_State* L, BcWriteCtx* ctx, GcProto* pt) {
  if (pt->flags & KX_PROTO_CHILD) {  // children first, in constant order
    for (uint32_t i = 0; i < pt->gc_const_count; i++) {
      GcObj* o = proto_kgc(pt, ~static_cast<int32_t>(i));
      if (o->gc_type == KX_IPROTO) write_proto(L, ctx, reinterpret_cast<GcProto*>(o));
    }
  }
  StrBuf* sb = &ctx->sb;
  sbufreset(sb);
  kx_buf_more(sb, 5);
  sb->w += 5;  // room for the length in front
  bool strip = ctx->flags & KX_BCDUMP_F_STRIP;
  uint32_t dsize = strip ? 0 : debug_size(pt);
  uint8_t head[4] = {static_cast<uint8_t>(pt->flags & KX_PROTO_DUMPED_FLAGS), pt->num_params, pt->frame_size,
                     pt->upval_count};
  put_bytes(sb, head, 4);
  put_uleb(sb, pt->gc_const_count);
  put_uleb(sb, pt->num_const_count);
  put_uleb(sb, pt->code_size - 1);
  if (!strip) {
    put_uleb(sb, dsize);
    if (dsize) {
      put_uleb(sb, pt->first_line);
      put_uleb(sb, pt->line_count);
    }
  }
  const Instr* code = proto_bc(pt);
  bool runtime_variants = (pt->flags & KX_PROTO_VARIANTS) || pt->root_trace;
  for (uint32_t i = 1; i < pt->code_size; i++) {
    Instr ins = runtime_variants ? normalize(code[i]) : code[i];
    put_bytes(sb, &ins, 4);
  }
  put_bytes(sb, pt->upval_descs, 2u * pt->upval_count);
  write_kgc(L, ctx, pt);
  write_knum(ctx, pt);
  if (dsize) put_bytes(sb, pt->line_info, dsize);
  // The body length goes directly in front of the body.
  uint32_t len = sbuflen(sb) - 5;
  uint8_t lenbuf[5];
  uint32_t n = static_cast<uint32_t>(kx_bcdump_uleb128(lenbuf, len) - lenbuf);
  char* start = sb->b + 5 - n;
  memcpy(start, lenbuf, n);
  emit(ctx, start, len + n);
}

void write_header(BcWriteCtx* ctx) {
  GcProto* pt = ctx->pt;
  StrBuf* sb = &ctx->sb;
  sbufreset(sb);
  uint32_t flags = ctx->flags & (KX_BCDUMP_F_STRIP | KX_BCDUMP_F_FR2);
  if (bc_op(proto_bc(pt)[0]) == BC_NOT) flags |= KX_BCDUMP_F_FR2;
  if (pt->flags & KX_PROTO_FFI) flags |= KX_BCDUMP_F_FFI;
  if (pt->flags & KX_PROTO_BITOPS) flags |= KX_BCDUMP_F_BITOPS;
  const uint8_t magic[4] = {KX_BCDUMP_HEAD1, KX_BCDUMP_HEAD2, KX_BCDUMP_HEAD3, KX_BCDUMP_VERSION};
  put_bytes(sb, magic, 4);
  put_uleb(sb, flags);
  if (!(flags & KX_BCDUMP_F_STRIP)) {
    GcString* name = pt->chunk_name;
    put_uleb(sb, name->len);
    put_bytes(sb, strdata(name), name->len);
  }
  emit(ctx, sb->b, sbuflen(sb));
}

Value* cp_write(lua_State* L, lua_CFunction, void* ud) {
  BcWriteCtx* ctx = static_cast<BcWriteCtx*>(ud);
  write_header(ctx);
  write_proto(L, ctx, ctx->pt);
  char end = 0;
  emit(ctx, &end, 1);
  return nullptr;
}

}  // namespace

int kx_bcwrite(lua_State* L, GcProto* pt, lua_Writer writer, void* data, uint32_t flags) {
  BcWriteCtx ctx;
  ctx.L = L;
  sbufinit(L, &ctx.sb);
  ctx.pt = pt;
  ctx.writer = writer;
  ctx.data = data;
  ctx.flags = flags;
  ctx.status = 0;
  ctx.heap = nullptr;
  ctx.heap_size = 0;
  int status = kx_vm_cpcall(L, nullptr, &ctx, cp_write);
  if (status == 0) status = ctx.status;
  else L->top--;  // the error raised while writing
  kx_buf_free(G(L), &ctx.sb);
  kx_mem_freevec(G(L), ctx.heap, ctx.heap_size);
  return status;
}

extern "C" int lua_dump(lua_State* L, lua_Writer writer, void* data) {
  const Value* o = L->top - 1;
  if (L->top <= L->base || !tv_isfunc(o) || !isluafunc(funcV(o))) return 1;
  return kx_bcwrite(L, funcproto(funcV(o)), writer, data, 0);
}
