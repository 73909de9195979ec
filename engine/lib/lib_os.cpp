// The os library: thin wrappers over the C library's process, file, time and locale functions.
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/buf.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"

// Times are 32-bit second counts; numbers outside that range become -2^31.
static inline time_t time_of(double x) { return static_cast<time_t>(kx_lib_num2int(x)); }

static int kx_cf_os_execute(lua_State* L) {
  GcString* cmd = kx_lib_optstr(L, 1);
  if (cmd == nullptr) {
    (void)system(nullptr);
    lua_pushboolean(L, 1);
    return 1;
  }
  fflush(nullptr);  // what was written before reaches its destination before the command's output
  return luaL_execresult(L, system(strdata(cmd)));
}

static int kx_cf_os_remove(lua_State* L) {
  const char* name = strdata(kx_lib_checkstr(L, 1));
  return luaL_fileresult(L, remove(name) == 0, name);
}

static int kx_cf_os_rename(lua_State* L) {
  const char* from = strdata(kx_lib_checkstr(L, 1));
  const char* to = strdata(kx_lib_checkstr(L, 2));
  return luaL_fileresult(L, rename(from, to) == 0, from);
}

// The name of a new empty file that nobody else can have claimed.
static int kx_cf_os_tmpname(lua_State* L) {
  char name[] = "/tmp/kx_XXXXXX";
  int fd = mkstemp(name);
  if (fd == -1) kx_err_caller(L, KX_ERR_NoUniqueFilename);
  close(fd);
  lua_pushstring(L, name);
  return 1;
}

static int kx_cf_os_getenv(lua_State* L) {
  const char* v = getenv(strdata(kx_lib_checkstr(L, 1)));
  if (v) lua_pushstring(L, v);
  else lua_pushnil(L);
  return 1;
}

static int kx_cf_os_exit(lua_State* L) {
  int status;
  if (L->base < L->top && tv_isbool(L->base)) status = tv_istrue(L->base) ? EXIT_SUCCESS : EXIT_FAILURE;
  else status = kx_lib_optint(L, 1, EXIT_SUCCESS);
  if (lua_toboolean(L, 2)) lua_close(L);
  exit(status);
}

static int kx_cf_os_clock(lua_State* L) {
  lua_pushnumber(L, static_cast<double>(clock()) / static_cast<double>(CLOCKS_PER_SEC));
  return 1;
}

// ---- Calendar time ------------------------------------------------------------------------------------------

static void set_field(lua_State* L, const char* key, int value) {
  lua_pushinteger(L, value);
  lua_setfield(L, -2, key);
}

static void push_date_table(lua_State* L, const struct tm* tm) {
  lua_createtable(L, 0, 9);
  set_field(L, "sec", tm->tm_sec);
  set_field(L, "min", tm->tm_min);
  set_field(L, "hour", tm->tm_hour);
  set_field(L, "day", tm->tm_mday);
  set_field(L, "month", tm->tm_mon + 1);
  set_field(L, "year", tm->tm_year + 1900);
  set_field(L, "wday", tm->tm_wday + 1);
  set_field(L, "yday", tm->tm_yday + 1);
  if (tm->tm_isdst >= 0) {
    lua_pushboolean(L, tm->tm_isdst);
    lua_setfield(L, -2, "isdst");
  }
}

// The C library's formatter into the temporary buffer, which grows while the output comes back empty.
static void push_date_text(lua_State* L, const char* fmt, uint32_t len, const struct tm* tm) {
  uint64_t size = 0;
  for (uint32_t i = 0; i < len; i++) size += fmt[i] == '%' ? 30 : 1;
  kx_gc_check(L);  // before the text is built: a collector step may shrink the temporary buffer
  StrBuf* sb = kx_buf_tmp(L);
  GcString* s = &G(L)->empty_string;
  for (int attempt = 0; attempt < 4; attempt++, size += size | 1) {
    if (size > KX_MAX_BUF) kx_err_mem(L);
    char* buf = kx_buf_need(sb, static_cast<uint32_t>(size));
    size_t n = strftime(buf, static_cast<size_t>(size), fmt, tm);
    if (n) {
      s = kx_str_new(L, buf, n);
      break;
    }
  }
  setstrV(L->top, s);
  kx_state_incr_top(L);
}

static int kx_cf_os_date(lua_State* L) {
  GcString* fs = kx_lib_optstr(L, 1);
  const char* fmt = fs ? strdata(fs) : "%c";
  uint32_t len = fs ? fs->len : 2;
  time_t t = lua_isnoneornil(L, 2) ? time(nullptr) : time_of(kx_lib_checknum(L, 2));
  struct tm buf;
  struct tm* tm;
  if (len > 0 && fmt[0] == '!') {
    tm = gmtime_r(&t, &buf);
    fmt++;
    len--;
  } else {
    tm = localtime_r(&t, &buf);
  }
  if (tm == nullptr) lua_pushnil(L);
  else if (len == 2 && fmt[0] == '*' && fmt[1] == 't') push_date_table(L, tm);
  else if (len == 0) lua_pushliteral(L, "");
  else push_date_text(L, fmt, len, tm);
  return 1;
}

// A numeric field of the date table in argument 1, truncated; def < 0 marks a required field.
static int32_t date_field(lua_State* L, const char* key, int32_t def) {
  lua_getfield(L, 1, key);
  bool ok = lua_isnumber(L, -1);
  int32_t v = ok ? kx_lib_num2int(lua_tonumber(L, -1)) : def;
  lua_pop(L, 1);
  if (!ok && def < 0) kx_err_callerv(L, KX_ERR_DateFieldMissing, key);
  return v;
}

// Wrapping, so that absurd field values reach the C library instead of overflowing here.
static inline int offset_field(int32_t v, uint32_t off) {
  return static_cast<int>(static_cast<uint32_t>(v) - off);
}

static int kx_cf_os_time(lua_State* L) {
  time_t t;
  if (lua_isnoneornil(L, 1)) {
    t = time(nullptr);
  } else {
    kx_lib_checktab(L, 1);
    lua_settop(L, 1);
    struct tm tm = {};
    tm.tm_sec = date_field(L, "sec", 0);
    tm.tm_min = date_field(L, "min", 0);
    tm.tm_hour = date_field(L, "hour", 12);
    tm.tm_mday = date_field(L, "day", -1);
    tm.tm_mon = offset_field(date_field(L, "month", -1), 1);
    tm.tm_year = offset_field(date_field(L, "year", -1), 1900);
    lua_getfield(L, 1, "isdst");
    tm.tm_isdst = lua_isnil(L, -1) ? -1 : lua_toboolean(L, -1);
    lua_pop(L, 1);
    errno = 0;
    t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && errno != 0) {
      lua_pushnil(L);
      return 1;
    }
  }
  lua_pushnumber(L, static_cast<double>(t));
  return 1;
}

static int kx_cf_os_difftime(lua_State* L) {
  time_t t1 = lua_isnoneornil(L, 2) ? 0 : time_of(kx_lib_checknum(L, 2));
  time_t t2 = time_of(kx_lib_checknum(L, 1));
  lua_pushnumber(L, difftime(t2, t1));  // made canonical if it is a NaN
  return 1;
}

static int kx_cf_os_setlocale(lua_State* L) {
  // The single byte 0xff passes the platform's category number 5 unchanged.
  static const int categories[] = {LC_CTYPE, LC_NUMERIC, LC_TIME, LC_COLLATE, LC_MONETARY, 5, LC_ALL};
  static const char words[] = "\5ctype\7numeric\4time\7collate\10monetary\1\377\3all";
  GcString* locale = kx_lib_optstr(L, 1);
  int opt = kx_lib_checkopt(L, 2, 6, words);
  const char* r = setlocale(categories[opt], locale ? strdata(locale) : nullptr);
  if (r) lua_pushstring(L, r);
  else lua_pushnil(L);
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_os, "os");

static const lua_CFunction kx_lib_cf_os[] = {
    kx_cf_os_execute, kx_cf_os_remove, kx_cf_os_rename, kx_cf_os_tmpname, kx_cf_os_getenv, kx_cf_os_exit,
    kx_cf_os_clock, kx_cf_os_date, kx_cf_os_time, kx_cf_os_difftime, kx_cf_os_setlocale,
};

extern "C" int luaopen_os(lua_State* L) {
  kx_lib_register(L, LUA_OSLIBNAME, kx_lib_init_os.data(), kx_lib_cf_os);
  return 1;
}
