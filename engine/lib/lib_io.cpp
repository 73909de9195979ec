// The io library: file objects over the C library's buffered streams, the standard streams, pipes.
//
// A file object is a userdata of type KX_UDTYPE_IO_FILE holding an IoFile; its metatable (the file
// metatable, registry["FILE*"]) is the environment of every io function, which is where new file
// objects take it from. The default input and output files are roots of the GlobalState.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/buf.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/strscan.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"

// The payload of a file object.
struct IoFile {
  FILE* fp;       // null once the file is closed
  uint32_t kind;  // IOFILE_FILE, _PIPE or _STD in the low two bits, plus IOFILE_CLOSE_AT_END
};
static_assert(KX_64 || sizeof(IoFile) == 8);

enum : uint32_t {
  IOFILE_FILE = 0,          // closed with fclose
  IOFILE_PIPE = 1,          // closed with pclose
  IOFILE_STD = 2,           // a standard stream: never closed
  IOFILE_TYPE = 3,
  IOFILE_CLOSE_AT_END = 4,  // a line iterator closes it when it reaches the end
};

// A line iterator keeps the file and its formats as upvalues.
constexpr int IO_MAX_FORMATS = 59;
// Chunk size of the first read of a byte count or of the rest of a file; later chunks double.
constexpr uint32_t IO_CHUNK = 512;
// Buffer size of file:setvbuf when none is given.
constexpr int32_t IO_VBUF_DEFAULT = 512;

static inline GcFunc* curr_func(lua_State* L) { return funcV(L->base - 1); }
static inline IoFile* iofile(GcUdata* ud) { return static_cast<IoFile*>(uddata(ud)); }
static inline bool isiofile(const Value* o) { return tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_IO_FILE; }

static void push_udata(lua_State* L, GcUdata* ud) {
  setudataV(L->top, ud);
  kx_state_incr_top(L);
}

// A new file object wrapping fp, with the file metatable mt, pushed.
static IoFile* new_file(lua_State* L, GcTable* mt, FILE* fp, uint32_t kind) {
  kx_gc_check(L);
  GcUdata* ud = kx_udata_new(L, sizeof(IoFile), mt);
  ud->udtype = KX_UDTYPE_IO_FILE;
  ud->metatable = mt;
  IoFile* f = iofile(ud);
  f->fp = fp;
  f->kind = kind;
  push_udata(L, ud);
  return f;
}

// The file metatable, from the environment of the running io function.
static inline GcTable* file_mt(lua_State* L) { return curr_func(L)->env; }

static IoFile* check_file(lua_State* L, int n) {
  Value* o = L->base + n - 1;
  if (o >= L->top || !isiofile(o)) kx_err_argtype(L, n, LUA_FILEHANDLE);
  return iofile(udataV(o));
}

static IoFile* check_open(lua_State* L, int n) {
  IoFile* f = check_file(L, n);
  if (f->fp == nullptr) kx_err_caller(L, KX_ERR_ClosedFile);
  return f;
}

static inline GcUdata* std_file(lua_State* L, uint32_t root) {
  return reinterpret_cast<GcUdata*>(G(L)->roots[root].get());
}

// The default input or output; raises when it has been closed.
static IoFile* std_open(lua_State* L, uint32_t root) {
  IoFile* f = iofile(std_file(L, root));
  if (f->fp == nullptr) kx_err_caller(L, KX_ERR_StandardFileClosed);
  return f;
}

// Opens a file for io.input, io.output and io.lines: a failure is an error of argument 1.
static IoFile* open_or_raise(lua_State* L, const char* name, const char* mode, uint32_t kind) {
  FILE* fp = fopen(name, mode);
  if (fp == nullptr) luaL_argerror(L, 1, lua_pushfstring(L, "%s: %s", name, strerror(errno)));
  return new_file(L, file_mt(L), fp, kind);
}

static int close_file(lua_State* L, IoFile* f) {
  FILE* fp = f->fp;
  switch (f->kind & IOFILE_TYPE) {
    case IOFILE_STD:
      lua_pushnil(L);
      lua_pushliteral(L, "cannot close standard file");
      return 2;
    case IOFILE_PIPE:
      f->fp = nullptr;
      return luaL_execresult(L, pclose(fp));
    default:
      f->fp = nullptr;
      return luaL_fileresult(L, fclose(fp) == 0, nullptr);
  }
}

// ---- Reading ------------------------------------------------------------------------------------------------

static void push_tmp(lua_State* L, StrBuf* sb) {
  setstrV(L->top, kx_buf_tostr(sb));
  kx_state_incr_top(L);
}

// One line, with or without its newline; false at the end of the file. Every byte is kept, NUL
// bytes included. The engine runs on one thread, so the stream needs no locking per byte.
static bool read_line(lua_State* L, FILE* fp, bool keep_newline) {
  kx_gc_check(L);  // before the buffer is filled: a collector step may shrink it
  StrBuf* sb = kx_buf_tmp(L);
  int c = EOF;
  for (;;) {
    char* p = kx_buf_more(sb, IO_CHUNK);
    char* e = sb->e - 1;  // one byte stays free for the newline
    while (p < e) {
      c = getc_unlocked(fp);
      if (c == EOF || c == '\n') break;
      *p++ = static_cast<char>(c);
    }
    sb->w = p;
    if (p < e) break;
  }
  if (c == '\n' && keep_newline) *sb->w++ = '\n';
  push_tmp(L, sb);
  return c == '\n' || sbuflen(sb) > 0;
}

// The bytes left in a regular file, plus one so that a single read meets the end; else IO_CHUNK.
static uint32_t first_chunk(FILE* fp) {
  struct stat st;
  if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return IO_CHUNK;
  off_t pos = ftello(fp);
  if (pos < 0 || st.st_size < pos || st.st_size - pos >= static_cast<off_t>(KX_MAX_BUF)) return IO_CHUNK;
  return static_cast<uint32_t>(st.st_size - pos) + 1;
}

// Up to n bytes (all the rest when n is UINT32_MAX) in chunks that double; false when none was read.
// All the rest of a regular file is read into a buffer of its size at once, without copies.
static bool read_chars(lua_State* L, FILE* fp, uint32_t n) {
  kx_gc_check(L);
  StrBuf* sb = kx_buf_tmp(L);
  uint32_t chunk = n == UINT32_MAX ? first_chunk(fp) : IO_CHUNK;
  while (n > 0) {
    uint32_t want = chunk < n ? chunk : n;
    char* p = kx_buf_more(sb, want);
    size_t got = fread(p, 1, want, fp);
    sb->w = p + got;
    if (got < want) break;
    n -= want;
    if (chunk < KX_MAX_BUF / 2) chunk <<= 1;
  }
  push_tmp(L, sb);
  return sbuflen(sb) > 0;
}

// The byte count 0: "" when a byte follows, else nil.
static bool test_eof(lua_State* L, FILE* fp) {
  int c = getc(fp);
  ungetc(c, fp);
  if (c == EOF) lua_pushnil(L);
  else lua_pushliteral(L, "");
  return c != EOF;
}

// The longest prefix of the input that reads as a numeral, gathered one byte ahead.
struct NumText {
  FILE* fp;
  int c;  // the next byte, not yet taken
  uint32_t n;
  char buf[200];
};

static bool num_take(NumText* t, const char* set) {
  if (t->c == EOF || t->c == 0 || strchr(set, t->c) == nullptr || t->n >= sizeof(t->buf)) return false;
  t->buf[t->n++] = static_cast<char>(t->c);
  t->c = getc(t->fp);
  return true;
}

static uint32_t num_digits(NumText* t, bool hex) {
  uint32_t count = 0;
  while (num_take(t, hex ? "0123456789abcdefABCDEF" : "0123456789")) count++;
  return count;
}

// A number in the engine's own notation (decimal or hexadecimal, with an optional sign, fraction and
// exponent), after any white space.
static bool read_number(lua_State* L, FILE* fp) {
  NumText t;
  t.fp = fp;
  t.n = 0;
  do t.c = getc(fp);
  while (t.c == ' ' || (t.c >= '\t' && t.c <= '\r'));
  num_take(&t, "+-");
  bool hex = false;
  uint32_t count = 0;
  if (num_take(&t, "0")) {
    if (num_take(&t, "xX")) hex = true;
    else count = 1;
  }
  count += num_digits(&t, hex);
  if (num_take(&t, ".")) count += num_digits(&t, hex);
  if (count > 0 && num_take(&t, hex ? "pP" : "eE")) {
    num_take(&t, "+-");
    num_digits(&t, false);
  }
  ungetc(t.c, fp);
  Value v;
  if (kx_strscan_scan(reinterpret_cast<const uint8_t*>(t.buf), t.n, &v, KX_STRSCAN_OPT_TONUM) == KX_STRSCAN_ERROR) {
    lua_pushnil(L);
    return false;
  }
  lua_pushnumber(L, numV(&v));
  return true;
}

// Reads by the formats in arguments first ... of the running function; returns the result count.
static int read_formats(lua_State* L, FILE* fp, int first) {
  int top = lua_gettop(L);
  int nformats = top - first + 1;
  clearerr_unlocked(fp);  // one thread: no locking, as in the readers
  bool ok = true;
  if (nformats <= 0) {
    ok = read_line(L, fp, false);
  } else {
    luaL_checkstack(L, nformats + LUA_MINSTACK, "too many arguments");
    for (int n = first; ok && n < first + nformats; n++) {
      Value* o = L->base + n - 1;
      if (tv_isnum(o)) {
        int32_t count = kx_lib_num2int(numV(o));
        ok = count > 0 ? read_chars(L, fp, static_cast<uint32_t>(count)) : test_eof(L, fp);
      } else if (tv_isstr(o)) {
        const char* p = strdata(strV(o));
        if (*p == '*') p++;
        switch (*p) {
          case 'n': ok = read_number(L, fp); break;
          case 'l': ok = read_line(L, fp, false); break;
          case 'L': ok = read_line(L, fp, true); break;
          case 'a': read_chars(L, fp, UINT32_MAX); break;
          default: kx_err_arg(L, n, KX_ERR_InvalidFormat);
        }
      } else {
        kx_err_arg(L, n, KX_ERR_InvalidOption);
      }
    }
  }
  if (ferror_unlocked(fp)) return luaL_fileresult(L, 0, nullptr);
  if (!ok) setnilV(L->top - 1);
  return lua_gettop(L) - top;
}

// ---- Writing ------------------------------------------------------------------------------------------------

// Writes arguments first ...; the result is fileobj, or the failure triple.
static int write_values(lua_State* L, FILE* fp, int first, const Value* fileobj) {
  bool ok = true;
  int top = lua_gettop(L);
  for (int n = first; n <= top; n++) {
    const Value* o = L->base + n - 1;
    const char* s;
    size_t len;
    char num[64];
    if (tv_isstr(o)) {
      s = strdata(strV(o));
      len = strV(o)->len;
    } else if (tv_isnum(o)) {
      s = num;
      len = static_cast<size_t>(kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, numV(o), num) - num);
    } else if (tv_isudata(o) && udataV(o)->udtype == KX_UDTYPE_BUFFER) {
      const StrBufExt* sbx = static_cast<const StrBufExt*>(uddata(udataV(o)));
      s = sbx->r;
      len = static_cast<size_t>(sbx->sb.w - sbx->r);
    } else {
      kx_err_argt(L, n, LUA_TSTRING);
    }
    if (ok && len > 0) ok = fwrite(s, 1, len, fp) == len;
  }
  if (!ok) return luaL_fileresult(L, 0, nullptr);
  copyV(L->top, fileobj);
  kx_state_incr_top(L);
  return 1;
}

// ---- Line iterators -----------------------------------------------------------------------------------------

static int lines_next(lua_State* L) {
  GcFunc* fn = curr_func(L);
  IoFile* f = iofile(udataV(&fn->c.upvalue[0]));
  if (f->fp == nullptr) kx_err_caller(L, KX_ERR_ClosedFile);
  uint32_t nformats = fn->upvalue_count - 1u;
  lua_settop(L, 0);
  kx_state_checkstack(L, nformats);
  for (uint32_t i = 0; i < nformats; i++) copyV(L->top++, &fn->c.upvalue[i + 1]);
  int n = read_formats(L, f->fp, 1);
  if (ferror_unlocked(f->fp)) luaL_error(L, "%s", lua_tostring(L, -2));
  if (tv_isnil(L->top - n) && (f->kind & IOFILE_CLOSE_AT_END)) {
    close_file(L, f);
    return 0;
  }
  return n;
}

// An iterator over fileobj with the formats from argument first on.
static int push_lines(lua_State* L, const Value* fileobj, int first) {
  int nformats = lua_gettop(L) >= first ? lua_gettop(L) - first + 1 : 0;
  if (nformats > IO_MAX_FORMATS) kx_err_caller(L, KX_ERR_UnpackTooMany);
  Value file;
  copyV(&file, fileobj);
  luaL_checkstack(L, nformats + 1, "too many arguments");
  copyV(L->top++, &file);
  for (int i = 0; i < nformats; i++) lua_pushvalue(L, first + i);
  lua_pushcclosure(L, lines_next, nformats + 1);
  return 1;
}

// ---- File methods -------------------------------------------------------------------------------------------

// file:close() and io.close(): without a file, the default output.
static int kx_cf_io_method_close(lua_State* L) {
  if (lua_isnone(L, 1)) return close_file(L, std_open(L, KX_ROOT_IO_OUTPUT));
  return close_file(L, check_open(L, 1));
}

static int kx_cf_io_method_read(lua_State* L) { return read_formats(L, check_open(L, 1)->fp, 2); }

static int kx_cf_io_method_write(lua_State* L) {
  FILE* fp = check_open(L, 1)->fp;
  return write_values(L, fp, 2, L->base);
}

static int kx_cf_io_method_flush(lua_State* L) { return luaL_fileresult(L, fflush(check_open(L, 1)->fp) == 0, nullptr); }

// A 64-bit offset from a double; values beyond the range give one the C library refuses.
static int64_t to_offset(double x) {
  if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) return static_cast<int64_t>(x);
  return INT64_MIN;
}

static int kx_cf_io_method_seek(lua_State* L) {
  static const int whences[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  FILE* fp = check_open(L, 1)->fp;
  int opt = kx_lib_checkopt(L, 2, 1, "\3set\3cur\3end");
  int64_t offset = lua_isnoneornil(L, 3) ? 0 : to_offset(kx_lib_checknum(L, 3));
  if (fseeko(fp, static_cast<off_t>(offset), whences[opt]) != 0) return luaL_fileresult(L, 0, nullptr);
  lua_pushnumber(L, static_cast<double>(ftello(fp)));
  return 1;
}

static int kx_cf_io_method_setvbuf(lua_State* L) {
  static const int modes[] = {_IOFBF, _IOLBF, _IONBF};
  FILE* fp = check_open(L, 1)->fp;
  int opt = kx_lib_checkopt(L, 2, -1, "\4full\4line\2no");
  int32_t size = kx_lib_optint(L, 3, IO_VBUF_DEFAULT);
  size_t n = size > 0 ? static_cast<size_t>(size) : 0;
  return luaL_fileresult(L, setvbuf(fp, nullptr, modes[opt], n) == 0, nullptr);
}

static int kx_cf_io_method_lines(lua_State* L) {
  check_open(L, 1);
  return push_lines(L, L->base, 2);
}

static int kx_cf_io_method_gc(lua_State* L) {
  IoFile* f = check_file(L, 1);
  if (f->fp && (f->kind & IOFILE_TYPE) != IOFILE_STD) close_file(L, f);
  return 0;
}

static int kx_cf_io_method_tostring(lua_State* L) {
  IoFile* f = check_file(L, 1);
  if (f->fp) lua_pushfstring(L, "file (%p)", static_cast<void*>(f->fp));
  else lua_pushliteral(L, "file (closed)");
  return 1;
}

// ---- io functions -------------------------------------------------------------------------------------------

static int kx_cf_io_open(lua_State* L) {
  const char* name = strdata(kx_lib_checkstr(L, 1));
  GcString* mode = kx_lib_optstr(L, 2);
  FILE* fp = fopen(name, mode ? strdata(mode) : "r");
  if (fp == nullptr) return luaL_fileresult(L, 0, name);
  new_file(L, file_mt(L), fp, IOFILE_FILE);
  return 1;
}

static int kx_cf_io_popen(lua_State* L) {
  const char* prog = strdata(kx_lib_checkstr(L, 1));
  GcString* mode = kx_lib_optstr(L, 2);
  fflush(nullptr);  // what was written before reaches its destination before the child's output
  FILE* fp = popen(prog, mode ? strdata(mode) : "r");
  if (fp == nullptr) return luaL_fileresult(L, 0, prog);
  new_file(L, file_mt(L), fp, IOFILE_PIPE);
  return 1;
}

static int kx_cf_io_tmpfile(lua_State* L) {
  FILE* fp = tmpfile();
  if (fp == nullptr) return luaL_fileresult(L, 0, nullptr);
  new_file(L, file_mt(L), fp, IOFILE_FILE);
  return 1;
}

static int kx_cf_io_read(lua_State* L) { return read_formats(L, std_open(L, KX_ROOT_IO_INPUT)->fp, 1); }

static int kx_cf_io_write(lua_State* L) {
  FILE* fp = std_open(L, KX_ROOT_IO_OUTPUT)->fp;
  Value out;
  setudataV(&out, std_file(L, KX_ROOT_IO_OUTPUT));
  return write_values(L, fp, 1, &out);
}

static int kx_cf_io_flush(lua_State* L) {
  return luaL_fileresult(L, fflush(std_open(L, KX_ROOT_IO_OUTPUT)->fp) == 0, nullptr);
}

// io.input and io.output: a file object or a file name (opened in mode) replaces the default.
static int set_default(lua_State* L, uint32_t root, const char* mode) {
  if (!lua_isnoneornil(L, 1)) {
    if (isiofile(L->base)) {
      check_open(L, 1);
    } else {
      open_or_raise(L, strdata(kx_lib_checkstr(L, 1)), mode, IOFILE_FILE);
      lua_replace(L, 1);
    }
    G(L)->roots[root] = obj2gco(udataV(L->base));
  }
  push_udata(L, std_file(L, root));
  return 1;
}

static int kx_cf_io_input(lua_State* L) { return set_default(L, KX_ROOT_IO_INPUT, "r"); }
static int kx_cf_io_output(lua_State* L) { return set_default(L, KX_ROOT_IO_OUTPUT, "w"); }

static int kx_cf_io_lines(lua_State* L) {
  if (lua_isnoneornil(L, 1)) {
    std_open(L, KX_ROOT_IO_INPUT);
    Value in;
    setudataV(&in, std_file(L, KX_ROOT_IO_INPUT));
    return push_lines(L, &in, 2);
  }
  open_or_raise(L, strdata(kx_lib_checkstr(L, 1)), "r", IOFILE_FILE | IOFILE_CLOSE_AT_END);
  lua_replace(L, 1);
  return push_lines(L, L->base, 2);
}

static int kx_cf_io_type(lua_State* L) {
  kx_lib_checkany(L, 1);
  if (!isiofile(L->base)) lua_pushnil(L);
  else if (iofile(udataV(L->base))->fp) lua_pushliteral(L, "file");
  else lua_pushliteral(L, "closed file");
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_io_method, "io_method");

static const lua_CFunction kx_lib_cf_io_method[] = {
    kx_cf_io_method_close, kx_cf_io_method_read,  kx_cf_io_method_write, kx_cf_io_method_flush,
    kx_cf_io_method_seek,  kx_cf_io_method_setvbuf, kx_cf_io_method_lines, kx_cf_io_method_gc,
    kx_cf_io_method_tostring,
};

KX_LIBDEF(kx_lib_init_io, "io");

static const lua_CFunction kx_lib_cf_io[] = {
    kx_cf_io_open,  kx_cf_io_popen, kx_cf_io_tmpfile, kx_cf_io_method_close, kx_cf_io_read, kx_cf_io_write,
    kx_cf_io_flush, kx_cf_io_input, kx_cf_io_output,  kx_cf_io_lines,        kx_cf_io_type,
};

static void new_std_file(lua_State* L, GcTable* mt, FILE* fp, const char* name) {
  new_file(L, mt, fp, IOFILE_STD);
  lua_setfield(L, -2, name);
}

extern "C" int luaopen_io(lua_State* L) {
  kx_lib_register(L, nullptr, kx_lib_init_io_method.data(), kx_lib_cf_io_method);
  GcTable* mt = tabV(L->top - 1);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, LUA_FILEHANDLE);
  kx_lib_register(L, LUA_IOLIBNAME, kx_lib_init_io.data(), kx_lib_cf_io);
  new_std_file(L, mt, stdin, "stdin");
  new_std_file(L, mt, stdout, "stdout");
  new_std_file(L, mt, stderr, "stderr");
  lua_getfield(L, -1, "stdin");
  G(L)->roots[KX_ROOT_IO_INPUT] = obj2gco(udataV(L->top - 1));
  lua_getfield(L, -2, "stdout");
  G(L)->roots[KX_ROOT_IO_OUTPUT] = obj2gco(udataV(L->top - 1));
  lua_pop(L, 2);
  return 1;
}
