// Growable byte buffers and the GlobalState's shared temporary buffer.
//
// Every putter checks the free room inline and only calls kx_buf_more2 when it is short. The temporary
// buffer is emptied at every use: code that builds text in it must intern or copy the result before
// calling anything that may use it again (metamethods, the collector's finalizers).
#pragma once

#include "core/value.h"

struct StrBuf {
  char* w;          // write position: the content is b ... w
  char* e;          // end of the allocation
  char* b;          // start of the allocation (null while never grown)
  uintptr_t owner;  // the lua_State used for allocation and errors, with the flags below
};
// Buffers may hold memory from outside the engine (C data), so their positions are native pointers.
static_assert(sizeof(StrBuf) == 4 * sizeof(void*));

enum : uintptr_t {
  KX_SBUF_EXT = 0x1,       // an extended buffer (StrBufExt)
  KX_SBUF_COW = 0x2,       // b ... e is memory the buffer does not own
  KX_SBUF_BORROW = 0x4,    // growth is mirrored into the StrBuf that ref designates
  KX_SBUF_FLAGS = 0x7,
};

// The payload of a string buffer object: a StrBuf that also reads from its front.
struct StrBufExt {
  StrBuf sb;
  Ref<GcObj> ref;       // copy-on-write: the object whose memory is read; borrowed: the mirrored StrBuf
  char* r;              // read position: unread content is r ... w
  Ref<GcTable> dict_str;  // serializer dictionaries
  Ref<GcTable> dict_mt;
  uint32_t depth;       // nesting levels left during one encode or decode
};
static_assert(KX_64 || sizeof(StrBufExt) == 36);
static_assert(offsetof(StrBufExt, ref) == 4 * sizeof(void*) && offsetof(StrBufExt, r) == (KX_64 ? 40 : 20));

constexpr uint32_t KX_MAX_BUF = 0x7fffff00;

inline lua_State* sbufL(const StrBuf* sb) { return reinterpret_cast<lua_State*>(sb->owner & ~KX_SBUF_FLAGS); }
inline uint32_t sbuflen(const StrBuf* sb) { return static_cast<uint32_t>(sb->w - sb->b); }
inline uint32_t sbufsz(const StrBuf* sb) { return static_cast<uint32_t>(sb->e - sb->b); }
inline uint32_t sbufleft(const StrBuf* sb) { return static_cast<uint32_t>(sb->e - sb->w); }
inline bool sbufisext(const StrBuf* sb) { return (sb->owner & KX_SBUF_EXT) != 0; }
inline void sbufinit(lua_State* L, StrBuf* sb) { sb->w = sb->e = sb->b = nullptr; sb->owner = reinterpret_cast<uintptr_t>(L); }
inline void sbufreset(StrBuf* sb) { sb->w = sb->b; }
inline void sbufsetowner(StrBuf* sb, lua_State* L) { sb->owner = reinterpret_cast<uintptr_t>(L) | (sb->owner & KX_SBUF_FLAGS); }

char* kx_buf_more2(StrBuf* sb, uint32_t n);
char* kx_buf_need2(StrBuf* sb, uint32_t n);
size_t kx_bufx_more(StrBufExt* sbx, uint32_t n);
void kx_buf_free(GlobalState* g, StrBuf* sb);

// Room for n more bytes; returns the write position.
inline char* kx_buf_more(StrBuf* sb, uint32_t n) {
  if (n > sbufleft(sb)) return kx_buf_more2(sb, n);
  return sb->w;
}
// A capacity of at least n bytes in total; returns the start.
inline char* kx_buf_need(StrBuf* sb, uint32_t n) {
  if (n > sbufsz(sb)) return kx_buf_need2(sb, n);
  return sb->b;
}

// The temporary buffer of L's GlobalState, emptied and owned by L.
StrBuf* kx_buf_tmp(lua_State* L);

StrBuf* kx_buf_putmem(StrBuf* sb, const void* p, uint32_t n);
StrBuf* kx_buf_putstr(StrBuf* sb, const GcString* s);
StrBuf* kx_buf_putchar(StrBuf* sb, int c);
StrBuf* kx_buf_putstr_reverse(StrBuf* sb, const GcString* s);
StrBuf* kx_buf_putstr_lower(StrBuf* sb, const GcString* s);
StrBuf* kx_buf_putstr_upper(StrBuf* sb, const GcString* s);
StrBuf* kx_buf_putstr_rep(StrBuf* sb, const GcString* s, int32_t n);
// Appends t[i] ... t[j] separated by sep (may be null). A value that is neither a string nor a number
// stops it: the result is null and w holds the failing index instead of a position.
StrBuf* kx_buf_puttab(StrBuf* sb, GcTable* t, const GcString* sep, int32_t i, int32_t j);
GcString* kx_buf_tostr(StrBuf* sb);
GcString* kx_buf_cat2str(lua_State* L, const GcString* s1, const GcString* s2);

inline StrBuf* kx_buf_putcstr(StrBuf* sb, const char* s) { return kx_buf_putmem(sb, s, static_cast<uint32_t>(strlen(s))); }
