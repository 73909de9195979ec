// Loading chunks: every load entry ends in lua_loadx, which runs the compiler (or the binary chunk
// reader) under a protected call and pushes the resulting function.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytecode/bcread.h"
#include "compiler/lex.h"
#include "compiler/proto.h"
#include "core/entry.h"
#include "core/err.h"
#include "core/func.h"
#include "core/gc.h"
#include "core/state.h"
#include "core/strfmt.h"
#include "lauxlib.h"


// The mode letters: "t" allows text, "b" binary; each "X" selects two-slot call frames.
static void check_mode(Lexer* ls, bool binary) {
  const char* mode = ls->mode;
  bool allowed = strchr(mode, binary ? 'b' : 't') != nullptr;
  for (const char* p = mode; *p; p++) {
    if (*p == 'X') ls->two_slot_frames = 1;
  }
  if (*mode == '\0' || !allowed) {
    lua_State* L = ls->thread;
    setstrV(L->top, kx_err_str(L, KX_ERR_LoadWrongMode));
    kx_state_incr_top(L);
    kx_err_throw(L, LUA_ERRSYNTAX);
  }
}

static Value* cpparser(lua_State* L, lua_CFunction, void* ud) {
  Lexer* ls = static_cast<Lexer*>(ud);
  cframe_raw(L->c_frame)->handler = -1;  // errors here look for a handler further out
  bool binary = kx_lex_start(ls);
  if (ls->mode != nullptr) check_mode(ls, binary);
  GcProto* pt = binary ? kx_bcread(ls, ls->two_slot_frames) : kx_parse(ls);
  if (ls->two_slot_frames) setprotoV(L->top, pt);
  else setfuncV(L->top, kx_func_newL_empty(L, pt, L->env));
  kx_state_incr_top(L);
  return nullptr;
}

extern "C" int lua_loadx(lua_State* L, lua_Reader reader, void* data, const char* chunkname, const char* mode) {
  Lexer ls;
  kx_lex_prepare(L, &ls);
  ls.reader = reader;
  ls.reader_data = data;
  ls.given_name = chunkname ? chunkname : "?";
  ls.mode = mode;
  int status = kx_vm_cpcall(L, nullptr, &ls, cpparser);
  kx_lex_cleanup(L, &ls);
  kx_gc_check(L);
  return status;
}

extern "C" int lua_load(lua_State* L, lua_Reader reader, void* data, const char* chunkname) {
  return lua_loadx(L, reader, data, chunkname, nullptr);
}

// ---- Buffers and strings --------------------------------------------------------------------------------

struct StringReader {
  const char* data;
  size_t size;
};

static const char* reader_string(lua_State*, void* ud, size_t* size) {
  StringReader* r = static_cast<StringReader*>(ud);
  if (r->size == 0) return nullptr;
  *size = r->size;
  r->size = 0;
  return r->data;
}

extern "C" int luaL_loadbufferx(lua_State* L, const char* buffer, size_t size, const char* name, const char* mode) {
  StringReader r = {buffer, size};
  return lua_loadx(L, reader_string, &r, name, mode);
}

extern "C" int luaL_loadbuffer(lua_State* L, const char* buffer, size_t size, const char* name) {
  return luaL_loadbufferx(L, buffer, size, name, nullptr);
}

extern "C" int luaL_loadstring(lua_State* L, const char* s) { return luaL_loadbuffer(L, s, strlen(s), s); }

// ---- Files ----------------------------------------------------------------------------------------------

struct FileReader {
  FILE* fp;
  int error;  // the system error of the first failed read, 0 if none
  char buf[512];
};

static const char* reader_file(lua_State*, void* ud, size_t* size) {
  FileReader* r = static_cast<FileReader*>(ud);
  if (r->error != 0 || feof(r->fp)) return nullptr;
  *size = fread(r->buf, 1, sizeof(r->buf), r->fp);
  // A failed read ends the input; the loader then reports it instead of a truncated chunk.
  if (ferror(r->fp)) {
    r->error = errno != 0 ? errno : EIO;
    return nullptr;
  }
  return *size > 0 ? r->buf : nullptr;
}

extern "C" int luaL_loadfilex(lua_State* L, const char* filename, const char* mode) {
  FileReader r;
  r.error = 0;
  const char* chunkname = "=stdin";
  int32_t name_slot = savestack(L, L->top);
  if (filename != nullptr) {
    chunkname = kx_strfmt_pushf(L, "@%s", filename);
    r.fp = fopen(filename, "rb");
    if (r.fp == nullptr) {
      int err = errno;
      L->top--;
      kx_strfmt_pushf(L, "cannot open %s: %s", filename, strerror(err));
      return LUA_ERRFILE;
    }
  } else {
    r.fp = stdin;
  }
  int status = lua_loadx(L, reader_file, &r, chunkname, mode);
  if (filename != nullptr) {
    fclose(r.fp);
    Value* slot = restorestack(L, name_slot);
    copyV(slot, L->top - 1);  // the result replaces the chunk name
    L->top--;
  }
  if (r.error == 0) return status;
  L->top--;
  kx_strfmt_pushf(L, "cannot read %s: %s", filename ? filename : "stdin", strerror(r.error));
  return LUA_ERRFILE;
}

extern "C" int luaL_loadfile(lua_State* L, const char* filename) { return luaL_loadfilex(L, filename, nullptr); }
