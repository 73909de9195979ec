// The debug library: the registry, raw metatables and environments, stack frames, locals and
// upvalues, the hook, tracebacks and an interactive prompt.
#include <cstdio>
#include <cstring>

#include "core/err.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/debug.h"

// Functions that examine a thread take it as an optional first argument; the other arguments then
// move up by one (*arg is 1, else 0).
static lua_State* opt_thread(lua_State* L, int* arg) {
  if (lua_isthread(L, 1)) {
    *arg = 1;
    return lua_tothread(L, 1);
  }
  *arg = 0;
  return L;
}

// ---- Registry, metatables and environments -----------------------------------------------------------------

static int kx_cf_debug_getregistry(lua_State* L) {
  lua_pushvalue(L, LUA_REGISTRYINDEX);
  return 1;
}

static int kx_cf_debug_getmetatable(lua_State* L) {
  kx_lib_checkany(L, 1);
  if (!lua_getmetatable(L, 1)) lua_pushnil(L);
  return 1;
}

static int kx_cf_debug_setmetatable(lua_State* L) {
  int t = lua_type(L, 2);
  if (t != LUA_TNIL && t != LUA_TTABLE) kx_err_arg(L, 2, KX_ERR_NilOrTableExpected);
  lua_settop(L, 2);
  lua_setmetatable(L, 1);
  return 1;
}

static int kx_cf_debug_getfenv(lua_State* L) {
  kx_lib_checkany(L, 1);
  lua_getfenv(L, 1);
  return 1;
}

static int kx_cf_debug_setfenv(lua_State* L) {
  kx_lib_checktab(L, 2);
  lua_settop(L, 2);
  if (!lua_setfenv(L, 1)) kx_err_caller(L, KX_ERR_SetfenvRefused);
  return 1;
}

static int kx_cf_debug_getuservalue(lua_State* L) {
  if (lua_type(L, 1) == LUA_TUSERDATA) lua_getfenv(L, 1);
  else lua_pushnil(L);
  return 1;
}

static int kx_cf_debug_setuservalue(lua_State* L) {
  if (lua_type(L, 1) != LUA_TUSERDATA) kx_err_argt(L, 1, LUA_TUSERDATA);
  kx_lib_checktab(L, 2);
  lua_settop(L, 2);
  lua_setfenv(L, 1);
  return 1;
}

// ---- Stack frames ------------------------------------------------------------------------------------------------

static void set_str(lua_State* L, const char* key, const char* v) {
  lua_pushstring(L, v);
  lua_setfield(L, -2, key);
}
static void set_int(lua_State* L, const char* key, int v) {
  lua_pushinteger(L, v);
  lua_setfield(L, -2, key);
}
static void set_bool(lua_State* L, const char* key, int v) {
  lua_pushboolean(L, v);
  lua_setfield(L, -2, key);
}

// Stores the value on top of L1 under key in the table on top of L.
static void set_moved(lua_State* L, lua_State* L1, const char* key) {
  if (L == L1) lua_insert(L, -2);
  else lua_xmove(L1, L, 1);
  lua_setfield(L, -2, key);
}

static int kx_cf_debug_getinfo(lua_State* L) {
  int arg;
  lua_State* L1 = opt_thread(L, &arg);
  DebugExt x;
  lua_Debug* ar = &x.ar;
  const char* what = luaL_optstring(L, arg + 2, "flnSu");
  // ">" is the engine's own marker of a pushed function, never a letter of a query.
  if (strchr(what, '>')) kx_err_arg(L, arg + 2, KX_ERR_InvalidOption);
  if (lua_isnumber(L, arg + 1)) {
    if (!lua_getstack(L1, static_cast<int>(lua_tointeger(L, arg + 1)), ar)) {
      lua_pushnil(L);
      return 1;
    }
  } else if (lua_isfunction(L, arg + 1)) {
    what = lua_pushfstring(L, ">%s", what);
    lua_pushvalue(L, arg + 1);
    lua_xmove(L, L1, 1);
  } else {
    kx_err_arg(L, arg + 1, KX_ERR_FunctionOrLevelExpected);
  }
  if (!kx_debug_getinfo(L1, what, ar, 1)) kx_err_arg(L, arg + 2, KX_ERR_InvalidOption);
  lua_createtable(L, 0, 16);
  for (const char* p = what; *p; p++) {
    switch (*p) {
      case 'S':
        set_str(L, "source", ar->source);
        set_str(L, "short_src", ar->short_src);
        set_int(L, "linedefined", ar->linedefined);
        set_int(L, "lastlinedefined", ar->lastlinedefined);
        set_str(L, "what", ar->what);
        break;
      case 'l':
        set_int(L, "currentline", ar->currentline);
        break;
      case 'n':
        set_str(L, "name", ar->name);
        set_str(L, "namewhat", ar->namewhat);
        break;
      case 'u':
        set_int(L, "nups", ar->nups);
        set_int(L, "nparams", x.nparams);
        set_bool(L, "isvararg", x.isvararg);
        break;
      default:
        break;
    }
  }
  // The query pushed the function and then the line table on the examined thread.
  if (strchr(what, 'L')) set_moved(L, L1, "activelines");
  if (strchr(what, 'f')) set_moved(L, L1, "func");
  return 1;
}

// The frame at the level in argument n of thread L1; "level out of range" when there is none.
static void check_level(lua_State* L, lua_State* L1, int n, lua_Debug* ar) {
  if (!lua_getstack(L1, kx_lib_checkint(L, n), ar)) kx_err_arg(L, n, KX_ERR_LevelOutOfRange);
}

static int kx_cf_debug_getlocal(lua_State* L) {
  int arg;
  lua_State* L1 = opt_thread(L, &arg);
  int n = kx_lib_checkint(L, arg + 2);
  if (lua_isfunction(L, arg + 1)) {
    lua_pushvalue(L, arg + 1);
    lua_pushstring(L, lua_getlocal(L, nullptr, n));
    return 1;
  }
  lua_Debug ar;
  check_level(L, L1, arg + 1, &ar);
  const char* name = lua_getlocal(L1, &ar, n);
  if (name == nullptr) {
    lua_pushnil(L);
    return 1;
  }
  lua_xmove(L1, L, 1);
  lua_pushstring(L, name);
  lua_insert(L, -2);
  return 2;
}

static int kx_cf_debug_setlocal(lua_State* L) {
  int arg;
  lua_State* L1 = opt_thread(L, &arg);
  lua_Debug ar;
  check_level(L, L1, arg + 1, &ar);
  kx_lib_checkany(L, arg + 3);
  int n = kx_lib_checkint(L, arg + 2);
  lua_settop(L, arg + 3);
  lua_xmove(L, L1, 1);
  lua_pushstring(L, lua_setlocal(L1, &ar, n));
  return 1;
}

// ---- Upvalues ------------------------------------------------------------------------------------------------------

static int kx_cf_debug_getupvalue(lua_State* L) {
  int n = kx_lib_checkint(L, 2);
  kx_lib_checkfunc(L, 1);
  const char* name = lua_getupvalue(L, 1, n);
  if (name == nullptr) return 0;
  lua_pushstring(L, name);
  lua_insert(L, -2);
  return 2;
}

static int kx_cf_debug_setupvalue(lua_State* L) {
  kx_lib_checkany(L, 3);
  int n = kx_lib_checkint(L, 2);
  kx_lib_checkfunc(L, 1);
  lua_settop(L, 3);
  const char* name = lua_setupvalue(L, 1, n);
  if (name == nullptr) return 0;
  lua_pushstring(L, name);
  return 1;
}

// The upvalue number in argument n of the function in argument n - 1; "index out of range" unless
// the function has it.
static int check_upvalue(lua_State* L, int n) {
  GcFunc* fn = kx_lib_checkfunc(L, n - 1);
  int32_t idx = kx_lib_checkint(L, n);
  if (idx < 1 || static_cast<uint32_t>(idx) > fn->upvalue_count) kx_err_arg(L, n, KX_ERR_IndexOutOfRange);
  return idx;
}

static int kx_cf_debug_upvalueid(lua_State* L) {
  int n = check_upvalue(L, 2);
  lua_pushlightuserdata(L, lua_upvalueid(L, 1, n));
  return 1;
}

static int kx_cf_debug_upvaluejoin(lua_State* L) {
  int n1 = check_upvalue(L, 2);
  int n2 = check_upvalue(L, 4);
  if (lua_iscfunction(L, 1)) kx_err_arg(L, 1, KX_ERR_LuaFunctionExpected);
  if (lua_iscfunction(L, 3)) kx_err_arg(L, 3, KX_ERR_LuaFunctionExpected);
  lua_upvaluejoin(L, 1, n1, 3, n2);
  return 0;
}

// ---- The hook ------------------------------------------------------------------------------------------------------

// The registry key of the Lua hook function: a number no script computes by chance.
static void push_hook_key(lua_State* L) {
  const uint64_t bits = 0x8100000000000068ull;
  double key;
  memcpy(&key, &bits, sizeof(key));
  lua_pushnumber(L, key);
}

// The C hook that debug.sethook installs: calls the stored function with the event's name and line.
static void hook_dispatcher(lua_State* L, lua_Debug* ar) {
  static const char* const events[] = {"call", "return", "line", "count", "tail return"};
  push_hook_key(L);
  lua_rawget(L, LUA_REGISTRYINDEX);
  if (!lua_isfunction(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  lua_pushstring(L, events[ar->event]);
  if (ar->currentline >= 0) lua_pushinteger(L, ar->currentline);
  else lua_pushnil(L);
  lua_call(L, 2, 0);
}

static int hook_mask(const char* s, int count) {
  int mask = 0;
  if (strchr(s, 'c')) mask |= LUA_MASKCALL;
  if (strchr(s, 'r')) mask |= LUA_MASKRET;
  if (strchr(s, 'l')) mask |= LUA_MASKLINE;
  if (count > 0) mask |= LUA_MASKCOUNT;
  return mask;
}

static int kx_cf_debug_sethook(lua_State* L) {
  int arg;
  lua_State* L1 = opt_thread(L, &arg);
  lua_Hook func = nullptr;
  int mask = 0, count = 0;
  if (lua_isnoneornil(L, arg + 1)) {
    lua_settop(L, arg + 1);
  } else {
    const char* smask = luaL_checkstring(L, arg + 2);
    kx_lib_checkfunc(L, arg + 1);
    count = kx_lib_optint(L, arg + 3, 0);
    func = hook_dispatcher;
    mask = hook_mask(smask, count);
  }
  push_hook_key(L);
  lua_pushvalue(L, arg + 1);
  lua_rawset(L, LUA_REGISTRYINDEX);
  lua_sethook(L1, func, mask, count);
  return 0;
}

static int kx_cf_debug_gethook(lua_State* L) {
  lua_Hook hook = lua_gethook(L);
  int mask = lua_gethookmask(L);
  if (hook == nullptr) {
    lua_pushnil(L);
  } else if (hook != hook_dispatcher) {
    lua_pushliteral(L, "external hook");
  } else {
    push_hook_key(L);
    lua_rawget(L, LUA_REGISTRYINDEX);
  }
  char smask[4];
  char* p = smask;
  if (mask & LUA_MASKCALL) *p++ = 'c';
  if (mask & LUA_MASKRET) *p++ = 'r';
  if (mask & LUA_MASKLINE) *p++ = 'l';
  *p = 0;
  lua_pushstring(L, smask);
  lua_pushinteger(L, lua_gethookcount(L));
  return 3;
}

// ---- Tracebacks and the prompt -----------------------------------------------------------------------------------

static int kx_cf_debug_traceback(lua_State* L) {
  int arg;
  lua_State* L1 = opt_thread(L, &arg);
  const char* msg = lua_tostring(L, arg + 1);
  if (msg == nullptr && !lua_isnoneornil(L, arg + 1)) {
    lua_pushvalue(L, arg + 1);
    return 1;
  }
  luaL_traceback(L, L1, msg, kx_lib_optint(L, arg + 2, L == L1 ? 1 : 0));
  return 1;
}

static int kx_cf_debug_debug(lua_State* L) {
  for (;;) {
    char line[250];
    fputs("lua_debug> ", stderr);
    fflush(stderr);
    if (fgets(line, sizeof(line), stdin) == nullptr || strcmp(line, "cont\n") == 0) return 0;
    if (luaL_loadbuffer(L, line, strlen(line), "=(debug command)") || lua_pcall(L, 0, 0, 0)) {
      const char* msg = lua_tostring(L, -1);
      fputs(msg ? msg : "(error object is not a string)", stderr);
      fputs("\n", stderr);
      fflush(stderr);
    }
    lua_settop(L, 0);
  }
}

// ---- Registration --------------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_debug, "debug");

static const lua_CFunction kx_lib_cf_debug[] = {
    kx_cf_debug_getregistry, kx_cf_debug_getmetatable, kx_cf_debug_setmetatable, kx_cf_debug_getfenv,
    kx_cf_debug_setfenv,     kx_cf_debug_getinfo,      kx_cf_debug_getlocal,     kx_cf_debug_setlocal,
    kx_cf_debug_getupvalue,  kx_cf_debug_setupvalue,   kx_cf_debug_upvalueid,    kx_cf_debug_upvaluejoin,
    kx_cf_debug_getuservalue, kx_cf_debug_setuservalue, kx_cf_debug_sethook,     kx_cf_debug_gethook,
    kx_cf_debug_debug,       kx_cf_debug_traceback,
};

extern "C" int luaopen_debug(lua_State* L) {
  kx_lib_register(L, LUA_DBLIBNAME, kx_lib_init_debug.data(), kx_lib_cf_debug);
  return 1;
}
