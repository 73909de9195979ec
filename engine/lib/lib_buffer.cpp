// The string.buffer module: byte buffers with a read position, for building strings without
// intermediate garbage, reading data piecewise and serializing values.
//
// A buffer object is a userdata whose payload is a StrBufExt. A copy-on-write buffer reads memory it
// does not own (a string given to set, kept alive through ref): it is never written or freed, and
// its first growth copies the bytes into memory of its own.
#include "core/cdata.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"
#include "lib/lib.h"
#include "lib/lib_string.h"
#include "lib/libdef.h"
#include "lib/serial.h"
#include "lualib.h"
#include "vm/err.h"
#include "vm/meta.h"

static inline GcFunc* curr_func(lua_State* L) { return funcV(L->base - 1); }
static inline uint32_t nargs_of(lua_State* L) { return static_cast<uint32_t>(L->top - L->base); }

static inline void push_str(lua_State* L, GcString* s) {
  setstrV(L->top, s);
  kx_state_incr_top(L);
}

static inline bool isbuffer(const Value* o) { return tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_BUFFER; }
static inline StrBufExt* bufV(const Value* o) { return static_cast<StrBufExt*>(uddata(udataV(o))); }
static inline uint32_t unread(const StrBufExt* sbx) { return static_cast<uint32_t>(sbx->sb.w - sbx->r); }
static inline bool iscow(const StrBufExt* sbx) { return (sbx->sb.owner & KX_SBUF_COW) != 0; }

// Argument 1 of every method; the running thread becomes the buffer's owner for allocations and errors.
static StrBufExt* checkbuf(lua_State* L) {
  if (L->base >= L->top || !isbuffer(L->base)) kx_err_argtype(L, 1, "buffer");
  StrBufExt* sbx = bufV(L->base);
  sbufsetowner(&sbx->sb, L);
  return sbx;
}

static int ret_self(lua_State* L) {
  L->top = L->base + 1;
  return 1;
}

// Releases memory the buffer owns and leaves it empty with only the extended flag.
static void buf_release(lua_State* L, StrBufExt* sbx) {
  if (!(sbx->sb.owner & (KX_SBUF_COW | KX_SBUF_BORROW))) kx_buf_free(G(L), &sbx->sb);
  sbx->sb.w = sbx->sb.e = sbx->sb.b = nullptr;
  sbx->r = nullptr;
  sbx->ref = nullptr;
  sbx->sb.owner = reinterpret_cast<uintptr_t>(L) | KX_SBUF_EXT;
}

// After everything was read, a buffer of its own starts again at the front of its memory.
static void consumed(StrBufExt* sbx) {
  if (sbx->r == sbx->sb.w && !iscow(sbx)) sbx->r = sbx->sb.w = sbx->sb.b;
}

// Pushes an ffi byte pointer (the ffi opens for it) and a length: the results of reserve and ref.
static int ret_pointer(lua_State* L, char* p, uint32_t len) {
  setcdataV(L->top, kx_cdata_newptr(L, p));
  kx_state_incr_top(L);
  lua_pushnumber(L, len);
  return 2;
}

// ---- Appending ----------------------------------------------------------------------------------------------

// Appends a string, a number or another buffer's unread bytes; false for any other value.
static bool put_strlike(lua_State* L, StrBufExt* sbx, const Value* o) {
  if (tv_isstr(o)) {
    kx_buf_putstr(&sbx->sb, strV(o));
  } else if (tv_isnum(o)) {
    kx_strfmt_putnum(&sbx->sb, numV(o));
  } else if (isbuffer(o)) {
    StrBufExt* src = bufV(o);
    if (src == sbx) kx_err_caller(L, KX_ERR_BufferIntoItself);
    kx_buf_putmem(&sbx->sb, src->r, unread(src));
  } else {
    return false;
  }
  return true;
}

static int kx_cf_buffer_method_put(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  uint32_t n = nargs_of(L);
  for (uint32_t i = 1; i < n; i++) {
    if (put_strlike(L, sbx, L->base + i)) continue;
    const Value* mo = kx_meta_lookup(L, L->base + i, MM_tostring);
    if (tv_isnil(mo)) kx_err_argtype(L, static_cast<int>(i + 1), "string/number/__tostring");
    kx_state_checkstack(L, 2);
    copyV(L->top, mo);
    copyV(L->top + 1, L->base + i);
    L->top += 2;
    lua_call(L, 1, 1);
    copyV(L->base + i, --L->top);
    sbufsetowner(&sbx->sb, L);  // the call may have used the buffer from another thread
    if (!put_strlike(L, sbx, L->base + i)) kx_err_argtype(L, static_cast<int>(i + 1), "string/number/__tostring");
  }
  return ret_self(L);
}

static int kx_cf_buffer_method_putf(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  uint32_t start = unread(sbx);
  if (kx_lib_strformat(L, &sbx->sb, 2, true)) {
    // A __tostring call converted arguments in place: format again over the first attempt.
    sbufsetowner(&sbx->sb, L);
    if (start < unread(sbx)) sbx->sb.w = sbx->r + start;
    kx_lib_strformat(L, &sbx->sb, 2, false);
  }
  return ret_self(L);
}

static int kx_cf_buffer_method_putcdata(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  if (L->base + 1 >= L->top || !tv_iscdata(L->base + 1)) kx_err_argtype(L, 2, "cdata");
  const void* p = kx_cdata_topointer(L, 2);
  uint32_t len = static_cast<uint32_t>(kx_lib_checkintrange(L, 3));
  sbufsetowner(&sbx->sb, L);
  kx_buf_putmem(&sbx->sb, p, len);
  return ret_self(L);
}

static int kx_cf_buffer_method_reserve(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  kx_bufx_more(sbx, static_cast<uint32_t>(kx_lib_checkintrange(L, 2)));
  return ret_pointer(L, sbx->sb.w, sbufleft(&sbx->sb));
}

static int kx_cf_buffer_method_commit(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  uint32_t n = static_cast<uint32_t>(kx_lib_checkintrange(L, 2));
  if (n > sbufleft(&sbx->sb)) kx_err_arg(L, 2, KX_ERR_NumberOutOfRange);
  sbx->sb.w += n;
  return ret_self(L);
}

static int kx_cf_buffer_method_ref(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  return ret_pointer(L, sbx->r, unread(sbx));
}

// ---- Resetting and reading ----------------------------------------------------------------------------------

static int kx_cf_buffer_method_free(lua_State* L) {
  buf_release(L, checkbuf(L));
  return ret_self(L);
}

static int kx_cf_buffer_method_reset(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  if (iscow(sbx)) buf_release(L, sbx);
  else sbx->r = sbx->sb.w = sbx->sb.b;
  return ret_self(L);
}

static int kx_cf_buffer_method_skip(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  uint32_t n = static_cast<uint32_t>(kx_lib_checkintrange(L, 2));
  sbx->r = n < unread(sbx) ? sbx->r + n : sbx->sb.w;
  consumed(sbx);
  return ret_self(L);
}

// Reads a string, or len bytes at an ffi pointer, without copying them.
static int kx_cf_buffer_method_set(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  const char* p;
  uint32_t len;
  GcObj* ref;
  if (L->base + 1 < L->top && tv_iscdata(L->base + 1)) {
    p = static_cast<const char*>(kx_cdata_topointer(L, 2));
    len = static_cast<uint32_t>(kx_lib_checkintrange(L, 3));
    ref = gcV(L->base + 1);
  } else {
    GcString* s = kx_lib_checkstr(L, 2);
    p = strdata(s);
    len = s->len;
    ref = obj2gco(s);
  }
  buf_release(L, sbx);
  sbx->sb.owner |= KX_SBUF_COW;
  sbx->sb.b = sbx->r = const_cast<char*>(p);
  sbx->sb.w = sbx->sb.e = sbx->sb.b + len;
  sbx->ref = ref;
  kx_gc_objbarrier(G(L), obj2gco(udataV(L->base)), ref);
  return ret_self(L);
}

static int kx_cf_buffer_method_get(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  kx_gc_check(L);
  uint32_t n = nargs_of(L);
  if (n <= 1) {
    push_str(L, kx_str_new(L, sbx->r, unread(sbx)));
    sbx->r = sbx->sb.w;
    consumed(sbx);
    return 1;
  }
  if (!kx_lib_stackroom(L, n)) kx_err_caller(L, KX_ERR_UnpackTooMany);
  for (uint32_t i = 1; i < n; i++) {
    uint32_t len = unread(sbx);
    if (!tv_isnil(L->base + i)) {
      uint32_t want = static_cast<uint32_t>(kx_lib_checkintrange(L, static_cast<int>(i + 1)));
      if (want < len) len = want;
    }
    push_str(L, kx_str_new(L, sbx->r, len));
    sbx->r += len;
  }
  consumed(sbx);
  return static_cast<int>(n - 1);
}

static int kx_cf_buffer_method___tostring(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  kx_gc_check(L);
  push_str(L, kx_str_new(L, sbx->r, unread(sbx)));
  return 1;
}

static int kx_cf_buffer_method___len(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  lua_pushinteger(L, unread(sbx));
  return 1;
}

static int kx_cf_buffer_method___gc(lua_State* L) {
  buf_release(L, checkbuf(L));
  return 0;
}

// ---- Serialization ------------------------------------------------------------------------------------------

static int kx_cf_buffer_method_encode(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  kx_lib_checkany(L, 2);
  kx_serial_put(L, sbx, L->base + 1);
  return ret_self(L);
}

static int kx_cf_buffer_method_decode(lua_State* L) {
  StrBufExt* sbx = checkbuf(L);
  kx_gc_check(L);
  setnilV(L->top);
  kx_state_incr_top(L);
  sbx->r = const_cast<char*>(kx_serial_get(L, sbx, L->top - 1));
  consumed(sbx);
  return 1;
}

// Serializes into the temporary buffer, borrowed by a buffer on the C stack: growth is mirrored
// into the temporary buffer, which keeps the memory if an error cuts the encode short.
static int kx_cf_buffer_encode(lua_State* L) {
  kx_lib_checkany(L, 1);
  kx_gc_check(L);
  StrBuf* tmp = kx_buf_tmp(L);
  StrBufExt sbx = {};
  sbx.sb = *tmp;
  sbx.sb.owner |= KX_SBUF_EXT | KX_SBUF_BORROW;
  sbx.ref = reinterpret_cast<GcObj*>(tmp);
  sbx.r = tmp->b;
  kx_serial_put(L, &sbx, L->base);
  push_str(L, kx_str_new(L, sbx.r, unread(&sbx)));
  return 1;
}

// Decodes straight from the string's bytes through a copy-on-write buffer on the C stack.
static int kx_cf_buffer_decode(lua_State* L) {
  GcString* s = kx_lib_checkstr(L, 1);
  kx_gc_check(L);
  StrBufExt sbx = {};
  sbx.sb.owner = reinterpret_cast<uintptr_t>(L) | KX_SBUF_EXT | KX_SBUF_COW;
  sbx.sb.b = sbx.r = const_cast<char*>(strdata(s));
  sbx.sb.w = sbx.sb.e = sbx.sb.b + s->len;
  setnilV(L->top);
  kx_state_incr_top(L);
  if (kx_serial_get(L, &sbx, L->top - 1) != sbx.sb.w) kx_err_caller(L, KX_ERR_LeftOverData);
  return 1;
}

// The dictionary under an option name, prepared, or null when the option is absent or not a table.
static GcTable* option_dict(lua_State* L, GcTable* options, const char* name, bool strings) {
  const Value* v = kx_tab_getstr(options, kx_str_newz(L, name));
  if (v == nullptr || !tv_istab(v)) return nullptr;
  kx_serial_dict_prepare(L, tabV(v), strings);
  return tabV(v);
}

static int kx_cf_buffer_new(lua_State* L) {
  GcTable* options = nullptr;
  int32_t size = 0;
  if (L->base < L->top && tv_istab(L->base)) {
    options = tabV(L->base);
  } else {
    if (L->base < L->top && !tv_isnil(L->base)) size = kx_lib_checkintrange(L, 1);
    if (L->base + 1 < L->top) options = kx_lib_checktab(L, 2);
  }
  kx_gc_check(L);
  GcTable* mt = curr_func(L)->env;
  GcUdata* ud = kx_udata_new(L, sizeof(StrBufExt), mt);
  ud->udtype = KX_UDTYPE_BUFFER;
  ud->metatable = mt;
  StrBufExt* sbx = static_cast<StrBufExt*>(uddata(ud));
  memset(sbx, 0, sizeof(StrBufExt));
  sbx->sb.owner = reinterpret_cast<uintptr_t>(L) | KX_SBUF_EXT;
  setudataV(L->top, ud);
  kx_state_incr_top(L);
  if (size > 0) kx_buf_need2(&sbx->sb, static_cast<uint32_t>(size));
  if (options) {
    // The userdata is new and white: the dictionaries need no barrier.
    sbx->dict_str = option_dict(L, options, "dict", true);
    sbx->dict_mt = option_dict(L, options, "metatable", false);
  }
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_buffer_method, "buffer_method");

static const lua_CFunction kx_lib_cf_buffer_method[] = {
    kx_cf_buffer_method_free,     kx_cf_buffer_method_reset,    kx_cf_buffer_method_skip,
    kx_cf_buffer_method_set,      kx_cf_buffer_method_put,      kx_cf_buffer_method_putf,
    kx_cf_buffer_method_get,      kx_cf_buffer_method_putcdata, kx_cf_buffer_method_reserve,
    kx_cf_buffer_method_commit,   kx_cf_buffer_method_ref,      kx_cf_buffer_method_encode,
    kx_cf_buffer_method_decode,   kx_cf_buffer_method___gc,     kx_cf_buffer_method___tostring,
    kx_cf_buffer_method___len,
};

KX_LIBDEF(kx_lib_init_buffer, "buffer");

static const lua_CFunction kx_lib_cf_buffer[] = {kx_cf_buffer_new, kx_cf_buffer_encode, kx_cf_buffer_decode};

extern "C" int luaopen_string_buffer(lua_State* L) {
  kx_lib_register(L, nullptr, kx_lib_init_buffer_method.data(), kx_lib_cf_buffer_method);
  lua_getfield(L, -1, "__tostring");
  lua_setfield(L, -2, "tostring");
  kx_lib_register(L, nullptr, kx_lib_init_buffer.data(), kx_lib_cf_buffer);
  return 1;
}
