// Growable byte buffers.
#include "core/buf.h"

#include "core/err.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"

static inline StrBufExt* sbufx(StrBuf* sb) { return reinterpret_cast<StrBufExt*>(sb); }

// Grows the capacity to at least size bytes, doubling from at least 32.
static void buf_grow(StrBuf* sb, uint32_t size) {
  lua_State* L = sbufL(sb);
  uint32_t osz = sbufsz(sb), len = sbuflen(sb);
  uint32_t nsz = osz < 32 ? 32 : osz;
  while (nsz < size) nsz += nsz;
  char* b;
  if (sb->owner & KX_SBUF_COW) {
    b = kx_mem_newvec<char>(L, nsz);
    if (osz) memcpy(b, sb->b, osz);
    sbufx(sb)->ref = nullptr;
    sb->owner &= ~uintptr_t(KX_SBUF_COW);
  } else {
    b = static_cast<char*>(kx_mem_realloc(L, sb->b, osz, nsz));
  }
  if (sbufisext(sb)) sbufx(sb)->r = b + (sbufx(sb)->r - sb->b);
  sb->b = b;
  sb->w = b + len;
  sb->e = b + nsz;
  if (sb->owner & KX_SBUF_BORROW) {
    StrBuf* mirror = reinterpret_cast<StrBuf*>((sbufx(sb)->ref).get());
    mirror->w = sb->w;
    mirror->e = sb->e;
    mirror->b = sb->b;
  }
}

// Moves the unread bytes of an extended buffer down to the start.
static void bufx_compact(StrBufExt* sbx) {
  StrBuf* sb = &sbx->sb;
  if (sbx->r == sb->b) return;
  uint32_t len = static_cast<uint32_t>(sb->w - sbx->r);
  memmove(sb->b, sbx->r, len);
  sbx->r = sb->b;
  sb->w = sb->b + len;
}

static void bufx_more(StrBufExt* sbx, uint32_t n) {
  StrBuf* sb = &sbx->sb;
  uint32_t len = static_cast<uint32_t>(sb->w - sbx->r);
  if (n > KX_MAX_BUF || len + n > KX_MAX_BUF) kx_err_mem(sbufL(sb));
  if (len + n > sbufsz(sb)) {
    // Growing to len + n only leaves n bytes free once the read part is dropped.
    buf_grow(sb, len + n);
    bufx_compact(sbx);
  } else if ((sb->owner & KX_SBUF_COW) || static_cast<uint32_t>(sbx->r - sb->b) < sbufsz(sb) / 8) {
    buf_grow(sb, sbuflen(sb) + n);  // compacting this often would cost more than growing
  } else {
    bufx_compact(sbx);
  }
}

char* kx_buf_more2(StrBuf* sb, uint32_t n) {
  if (sbufisext(sb)) {
    bufx_more(sbufx(sb), n);
    return sb->w;
  }
  uint32_t len = sbuflen(sb);
  if (n > KX_MAX_BUF || len + n > KX_MAX_BUF) kx_err_mem(sbufL(sb));
  buf_grow(sb, len + n);
  return sb->w;
}

size_t kx_bufx_more(StrBufExt* sbx, uint32_t n) {
  if (n > sbufleft(&sbx->sb)) bufx_more(sbx, n);
  return sbufleft(&sbx->sb);
}

char* kx_buf_need2(StrBuf* sb, uint32_t n) {
  if (n > KX_MAX_BUF) kx_err_mem(sbufL(sb));
  buf_grow(sb, n);
  return sb->b;
}

void kx_buf_free(GlobalState* g, StrBuf* sb) {
  if (!(sb->owner & KX_SBUF_COW)) kx_mem_freevec(g, sb->b, sbufsz(sb));
  sb->w = sb->e = sb->b = nullptr;
}

StrBuf* kx_buf_tmp(lua_State* L) {
  StrBuf* sb = &G(L)->temp_buf;
  sb->owner = reinterpret_cast<uintptr_t>(L);
  sbufreset(sb);
  return sb;
}

StrBuf* kx_buf_putmem(StrBuf* sb, const void* p, uint32_t n) {
  char* w = kx_buf_more(sb, n);
  if (n) memcpy(w, p, n);
  sb->w = w + n;
  return sb;
}

StrBuf* kx_buf_putstr(StrBuf* sb, const GcString* s) { return kx_buf_putmem(sb, strdata(s), s->len); }

StrBuf* kx_buf_putchar(StrBuf* sb, int c) {
  char* w = kx_buf_more(sb, 1);
  *w++ = static_cast<char>(c);
  sb->w = w;
  return sb;
}

StrBuf* kx_buf_putstr_reverse(StrBuf* sb, const GcString* s) {
  uint32_t len = s->len;
  char* w = kx_buf_more(sb, len);
  const char* q = strdata(s) + len;
  while (len--) *w++ = *--q;
  sb->w = w;
  return sb;
}

StrBuf* kx_buf_putstr_lower(StrBuf* sb, const GcString* s) {
  uint32_t len = s->len;
  char* w = kx_buf_more(sb, len);
  const char* q = strdata(s);
  for (uint32_t i = 0; i < len; i++) {
    char c = q[i];
    w[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
  }
  sb->w = w + len;
  return sb;
}

StrBuf* kx_buf_putstr_upper(StrBuf* sb, const GcString* s) {
  uint32_t len = s->len;
  char* w = kx_buf_more(sb, len);
  const char* q = strdata(s);
  for (uint32_t i = 0; i < len; i++) {
    char c = q[i];
    w[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c ^ 0x20) : c;
  }
  sb->w = w + len;
  return sb;
}

StrBuf* kx_buf_putstr_rep(StrBuf* sb, const GcString* s, int32_t n) {
  uint32_t len = s->len;
  if (n <= 0 || len == 0) return sb;
  uint64_t total = static_cast<uint64_t>(len) * static_cast<uint32_t>(n);
  if (total > KX_MAX_BUF) kx_err_mem(sbufL(sb));
  char* w = kx_buf_more(sb, static_cast<uint32_t>(total));
  if (len == 1) {
    memset(w, strdata(s)[0], static_cast<size_t>(total));
    w += total;
  } else {
    for (const char* src = strdata(s); n > 0; n--, w += len) memcpy(w, src, len);
  }
  sb->w = w;
  return sb;
}

StrBuf* kx_buf_puttab(StrBuf* sb, GcTable* t, const GcString* sep, int32_t i, int32_t j) {
  if (j < i) return sb;
  for (int32_t k = i;; k++) {
    const Value* v = static_cast<uint32_t>(k) < t->asize ? &t->array[k] : kx_tab_getint(t, k);
    if (v && tv_isstr(v)) {
      kx_buf_putstr(sb, strV(v));
    } else if (v && tv_isnum(v)) {
      kx_strfmt_putnum(sb, numV(v));
    } else {
      sb->w = reinterpret_cast<char*>(static_cast<intptr_t>(k));
      return nullptr;
    }
    if (k == j) return sb;
    if (sep) kx_buf_putstr(sb, sep);
  }
}

GcString* kx_buf_tostr(StrBuf* sb) { return kx_str_new(sbufL(sb), sb->b, sbuflen(sb)); }

GcString* kx_buf_cat2str(lua_State* L, const GcString* s1, const GcString* s2) {
  StrBuf* sb = kx_buf_tmp(L);
  uint32_t len1 = s1->len, len2 = s2->len;
  char* b = kx_buf_need(sb, len1 + len2);
  memcpy(b, strdata(s1), len1);
  memcpy(b + len1, strdata(s2), len2);
  return kx_str_new(L, b, len1 + len2);
}
