// The auxiliary library: argument checks, metatables, references, buffers, modules, tracebacks.
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/err.h"
#include "core/frame.h"
#include "core/state.h"
#include "core/strfmt.h"
#include "lauxlib.h"
#include "lua.h"
#include "vm/debug.h"

// ---- Argument errors and checks ------------------------------------------------------------------------

extern "C" int luaL_argerror(lua_State* L, int narg, const char* extramsg) { kx_err_argmsg(L, narg, extramsg); }

extern "C" int luaL_typerror(lua_State* L, int narg, const char* tname) { kx_err_argtype(L, narg, tname); }

extern "C" void luaL_where(lua_State* L, int level) {
  int size;
  Value* frame = kx_debug_frame(L, level, &size);
  if (frame && isluafunc(funcV(frame))) {
    GcFunc* fn = funcV(frame);
    uint32_t pos = kx_debug_framepc(L, fn, size ? frame + size : nullptr);
    const GcProto* pt = funcproto(fn);
    int32_t line = pos != KX_NO_BCPOS ? kx_debug_line(pt, pos) : 0;
    if (line > 0) {
      char name[LUA_IDSIZE];
      kx_debug_shortname(name, pt->chunk_name, static_cast<int32_t>(pt->first_line));
      lua_pushfstring(L, "%s:%d: ", name, line);
      return;
    }
  }
  lua_pushliteral(L, "");
}

extern "C" int luaL_error(lua_State* L, const char* fmt, ...) {
  va_list argp;
  va_start(argp, fmt);
  const char* msg = lua_pushvfstring(L, fmt, argp);
  va_end(argp);
  kx_err_callermsg(L, msg);
}

extern "C" void luaL_checkany(lua_State* L, int narg) {
  if (lua_type(L, narg) == LUA_TNONE) kx_err_arg(L, narg, KX_ERR_ValueExpected);
}

extern "C" void luaL_checktype(lua_State* L, int narg, int t) {
  if (lua_type(L, narg) != t) kx_err_argt(L, narg, t);
}

extern "C" lua_Number luaL_checknumber(lua_State* L, int narg) {
  int isnum;
  lua_Number n = lua_tonumberx(L, narg, &isnum);
  if (!isnum) kx_err_argt(L, narg, LUA_TNUMBER);
  return n;
}

extern "C" lua_Number luaL_optnumber(lua_State* L, int narg, lua_Number def) {
  return lua_isnoneornil(L, narg) ? def : luaL_checknumber(L, narg);
}

extern "C" lua_Integer luaL_checkinteger(lua_State* L, int narg) {
  int isnum;
  lua_Integer n = lua_tointegerx(L, narg, &isnum);
  if (!isnum) kx_err_argt(L, narg, LUA_TNUMBER);
  return n;
}

extern "C" lua_Integer luaL_optinteger(lua_State* L, int narg, lua_Integer def) {
  return lua_isnoneornil(L, narg) ? def : luaL_checkinteger(L, narg);
}

extern "C" const char* luaL_checklstring(lua_State* L, int narg, size_t* len) {
  const char* s = lua_tolstring(L, narg, len);
  if (s == nullptr) kx_err_argt(L, narg, LUA_TSTRING);
  return s;
}

extern "C" const char* luaL_optlstring(lua_State* L, int narg, const char* def, size_t* len) {
  if (lua_isnoneornil(L, narg)) {
    if (len) *len = def ? strlen(def) : 0;
    return def;
  }
  return luaL_checklstring(L, narg, len);
}

extern "C" int luaL_checkoption(lua_State* L, int narg, const char* def, const char* const lst[]) {
  size_t len;
  const char* s = lua_tolstring(L, narg, &len);
  if (s == nullptr) {
    if (def == nullptr) kx_err_argt(L, narg, LUA_TSTRING);
    s = def;
    len = strlen(def);
  }
  for (int i = 0; lst[i]; i++)
    if (strlen(lst[i]) == len && memcmp(lst[i], s, len) == 0) return i;
  kx_err_argv(L, narg, KX_ERR_InvalidOptionNamed, s);
}

extern "C" void luaL_checkstack(lua_State* L, int size, const char* msg) {
  if (!lua_checkstack(L, size)) kx_err_callerv(L, KX_ERR_StackOverflowDetail, msg);
}

// ---- Metatables ---------------------------------------------------------------------------------------------

extern "C" int luaL_newmetatable(lua_State* L, const char* tname) {
  lua_getfield(L, LUA_REGISTRYINDEX, tname);
  if (!lua_isnil(L, -1)) return 0;
  lua_pop(L, 1);
  lua_createtable(L, 0, 2);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, tname);
  return 1;
}

extern "C" void luaL_setmetatable(lua_State* L, const char* tname) {
  lua_getfield(L, LUA_REGISTRYINDEX, tname);
  lua_setmetatable(L, -2);
}

extern "C" void* luaL_testudata(lua_State* L, int ud, const char* tname) {
  void* p = lua_touserdata(L, ud);
  if (p == nullptr || lua_type(L, ud) != LUA_TUSERDATA || !lua_getmetatable(L, ud)) return nullptr;
  lua_getfield(L, LUA_REGISTRYINDEX, tname);
  bool same = lua_istable(L, -1) && lua_rawequal(L, -1, -2);
  lua_pop(L, 2);
  return same ? p : nullptr;
}

extern "C" void* luaL_checkudata(lua_State* L, int ud, const char* tname) {
  void* p = luaL_testudata(L, ud, tname);
  if (p == nullptr) kx_err_argtype(L, ud, tname);
  return p;
}

extern "C" int luaL_getmetafield(lua_State* L, int obj, const char* e) {
  if (!lua_getmetatable(L, obj)) return 0;
  lua_pushstring(L, e);
  lua_rawget(L, -2);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 2);
    return 0;
  }
  lua_remove(L, -2);
  return 1;
}

extern "C" int luaL_callmeta(lua_State* L, int obj, const char* e) {
  if (obj < 0 && obj > LUA_REGISTRYINDEX) obj = lua_gettop(L) + obj + 1;
  if (!luaL_getmetafield(L, obj, e)) return 0;
  lua_pushvalue(L, obj);
  lua_call(L, 1, 1);
  return 1;
}

// ---- References ------------------------------------------------------------------------------------------------

extern "C" int luaL_ref(lua_State* L, int t) {
  if (t < 0 && t > LUA_REGISTRYINDEX) t = lua_gettop(L) + t + 1;
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    return LUA_REFNIL;
  }
  lua_rawgeti(L, t, 0);
  int ref = static_cast<int>(lua_tointeger(L, -1));
  lua_pop(L, 1);
  if (ref != 0) {
    lua_rawgeti(L, t, ref);
    lua_rawseti(L, t, 0);
  } else {
    ref = static_cast<int>(lua_objlen(L, t)) + 1;
  }
  lua_rawseti(L, t, ref);
  return ref;
}

extern "C" void luaL_unref(lua_State* L, int t, int ref) {
  if (ref < 0) return;
  if (t < 0 && t > LUA_REGISTRYINDEX) t = lua_gettop(L) + t + 1;
  lua_rawgeti(L, t, 0);
  lua_rawseti(L, t, ref);
  lua_pushinteger(L, ref);
  lua_rawseti(L, t, 0);
}

// ---- Modules ---------------------------------------------------------------------------------------------------

extern "C" const char* luaL_findtable(lua_State* L, int idx, const char* fname, int szhint) {
  lua_pushvalue(L, idx);
  do {
    const char* e = strchr(fname, '.');
    if (e == nullptr) e = fname + strlen(fname);
    lua_pushlstring(L, fname, static_cast<size_t>(e - fname));
    lua_rawget(L, -2);
    if (lua_isnil(L, -1)) {
      lua_pop(L, 1);
      lua_createtable(L, 0, *e == '.' ? 1 : szhint);
      lua_pushlstring(L, fname, static_cast<size_t>(e - fname));
      lua_pushvalue(L, -2);
      lua_settable(L, -4);
    } else if (!lua_istable(L, -1)) {
      lua_pop(L, 2);
      return fname;
    }
    lua_remove(L, -2);
    fname = e + 1;
  } while (fname[-1] == '.');
  return nullptr;
}

extern "C" void luaL_pushmodule(lua_State* L, const char* modname, int sizehint) {
  luaL_findtable(L, LUA_REGISTRYINDEX, "_LOADED", 16);
  lua_getfield(L, -1, modname);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    if (luaL_findtable(L, LUA_GLOBALSINDEX, modname, sizehint) != nullptr)
      kx_err_callerv(L, KX_ERR_ModuleNameConflict, modname);
    lua_pushvalue(L, -1);
    lua_setfield(L, -3, modname);
  }
  lua_remove(L, -2);
}

extern "C" void luaL_setfuncs(lua_State* L, const luaL_Reg* l, int nup) {
  luaL_checkstack(L, nup, "too many upvalues");
  for (; l->name; l++) {
    for (int i = 0; i < nup; i++) lua_pushvalue(L, -nup);
    lua_pushcclosure(L, l->func, nup);
    lua_setfield(L, -(nup + 2), l->name);
  }
  lua_pop(L, nup);
}

extern "C" void luaL_openlib(lua_State* L, const char* libname, const luaL_Reg* l, int nup) {
  // A floating-point unit set to lower precision would break every number in the engine.
  lua_pushnumber(L, 1437217655.0);
  if (lua_tointeger(L, -1) != 0x55aa3377) kx_err_caller(L, KX_ERR_BadFpuPrecision);
  lua_pop(L, 1);
  if (libname) {
    int size = 0;
    for (const luaL_Reg* p = l; p && p->name; p++) size++;
    luaL_pushmodule(L, libname, size);
    lua_insert(L, -(nup + 1));
  }
  if (l) luaL_setfuncs(L, l, nup);
  else lua_pop(L, nup);
}

extern "C" void luaL_register(lua_State* L, const char* libname, const luaL_Reg* l) { luaL_openlib(L, libname, l, 0); }

// ---- Strings and buffers -----------------------------------------------------------------------------------------

extern "C" const char* luaL_gsub(lua_State* L, const char* s, const char* p, const char* r) {
  size_t plen = strlen(p);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  if (plen > 0) {
    const char* wild;
    while ((wild = strstr(s, p)) != nullptr) {
      luaL_addlstring(&b, s, static_cast<size_t>(wild - s));
      luaL_addstring(&b, r);
      s = wild + plen;
    }
  }
  luaL_addstring(&b, s);
  luaL_pushresult(&b);
  return lua_tostring(L, -1);
}

static inline size_t buff_used(const luaL_Buffer* B) { return static_cast<size_t>(B->p - B->buffer); }

// Pushes the inline bytes as a piece; false when there were none.
static bool buff_flush(luaL_Buffer* B) {
  size_t n = buff_used(B);
  if (n == 0) return false;
  lua_pushlstring(B->L, B->buffer, n);
  B->p = B->buffer;
  B->lvl++;
  return true;
}

// Joins the top pieces while many remain or the upper ones outweigh the next lower one. Only the
// buffer's own pieces are joined: whatever lies below the lowest one belongs to the caller.
static void buff_merge(luaL_Buffer* B) {
  lua_State* L = B->L;
  int toget = 1;
  size_t toplen = lua_objlen(L, -1);
  while (toget < B->lvl) {
    size_t l = lua_objlen(L, -(toget + 1));
    if (B->lvl - toget + 1 < 10 && toplen <= l) break;
    toplen += l;
    toget++;
  }
  lua_concat(L, toget);
  B->lvl = B->lvl - toget + 1;
}

extern "C" void luaL_buffinit(lua_State* L, luaL_Buffer* B) {
  B->L = L;
  B->p = B->buffer;
  B->lvl = 0;
}

extern "C" char* luaL_prepbuffer(luaL_Buffer* B) {
  if (buff_flush(B)) buff_merge(B);
  return B->buffer;
}

extern "C" void luaL_addlstring(luaL_Buffer* B, const char* s, size_t len) {
  if (len <= LUAL_BUFFERSIZE - buff_used(B)) {
    memcpy(B->p, s, len);
    B->p += len;
    return;
  }
  buff_flush(B);
  lua_pushlstring(B->L, s, len);
  B->lvl++;
  buff_merge(B);
}

extern "C" void luaL_addstring(luaL_Buffer* B, const char* s) { luaL_addlstring(B, s, strlen(s)); }

extern "C" void luaL_addvalue(luaL_Buffer* B) {
  lua_State* L = B->L;
  size_t len;
  const char* s = lua_tolstring(L, -1, &len);
  if (len <= LUAL_BUFFERSIZE - buff_used(B)) {
    memcpy(B->p, s, len);
    B->p += len;
    lua_pop(L, 1);
    return;
  }
  if (buff_flush(B)) lua_insert(L, -2);  // the buffered bytes go below the value
  B->lvl++;
  buff_merge(B);
}

extern "C" void luaL_pushresult(luaL_Buffer* B) {
  buff_flush(B);
  lua_concat(B->L, B->lvl);
  B->lvl = 1;
}

// ---- Process results ------------------------------------------------------------------------------------------------

extern "C" int luaL_fileresult(lua_State* L, int stat, const char* fname) {
  int en = errno;
  if (stat) {
    lua_pushboolean(L, 1);
    return 1;
  }
  lua_pushnil(L);
  if (fname) lua_pushfstring(L, "%s: %s", fname, strerror(en));
  else lua_pushfstring(L, "%s", strerror(en));
  lua_pushinteger(L, en);
  return 3;
}

// stat is a wait status (system, pclose): an exit code, or the signal that ended the process.
extern "C" int luaL_execresult(lua_State* L, int stat) {
  if (stat == -1) return luaL_fileresult(L, 0, nullptr);
  bool signaled = WIFSIGNALED(stat);
  if (WIFEXITED(stat)) stat = WEXITSTATUS(stat);
  else if (signaled) stat = WTERMSIG(stat);
  if (stat == 0 && !signaled) lua_pushboolean(L, 1);
  else lua_pushnil(L);
  lua_pushstring(L, signaled ? "signal" : "exit");
  lua_pushinteger(L, stat);
  return 3;
}

// ---- Tracebacks ----------------------------------------------------------------------------------------------------

constexpr int KX_TRACEBACK_LEVELS1 = 12;  // levels shown before the elision
constexpr int KX_TRACEBACK_LEVELS2 = 10;  // levels shown after it

extern "C" void luaL_traceback(lua_State* L, lua_State* L1, const char* msg, int level) {
  int top = lua_gettop(L);
  int limit = KX_TRACEBACK_LEVELS1;
  lua_Debug ar;
  if (msg) lua_pushfstring(L, "%s\n", msg);
  lua_pushliteral(L, "stack traceback:");
  while (lua_getstack(L1, level++, &ar)) {
    if (limit > 0 && level > limit) {
      // Deep stacks show their first levels, an elision and their last ten levels.
      limit = -1;
      if (lua_getstack(L1, level + KX_TRACEBACK_LEVELS2, &ar)) {
        lua_pushliteral(L, "\n\t...");
        lua_getstack(L1, -KX_TRACEBACK_LEVELS2, &ar);
        level = ar.i_ci - KX_TRACEBACK_LEVELS2;
        continue;
      }
      lua_getstack(L1, level - 1, &ar);
    }
    lua_getinfo(L1, "Snlf", &ar);
    GcFunc* fn = funcV(L1->top - 1);
    L1->top--;
    if (fn->ffid > KX_FF_C && *ar.namewhat == '\0') lua_pushfstring(L, "\n\t[builtin#%d]:", fn->ffid);
    else lua_pushfstring(L, "\n\t%s:", ar.short_src);
    if (ar.currentline > 0) lua_pushfstring(L, "%d:", ar.currentline);
    if (*ar.namewhat) lua_pushfstring(L, " in function '%s'", ar.name);
    else if (*ar.what == 'm') lua_pushliteral(L, " in main chunk");
    else if (*ar.what == 'C') lua_pushfstring(L, " at %p", reinterpret_cast<void*>(fn->c.cfunc));
    else lua_pushfstring(L, " in function <%s:%d>", ar.short_src, ar.linedefined);
    if (lua_gettop(L) - top >= 15) lua_concat(L, lua_gettop(L) - top);
  }
  lua_concat(L, lua_gettop(L) - top);
}

// ---- State creation --------------------------------------------------------------------------------------------------

static int default_panic(lua_State* L) {
  const char* msg = lua_tolstring(L, -1, nullptr);
  fputs("PANIC: unprotected error in call to Lua API (", stderr);
  fputs(msg ? msg : "?", stderr);
  fputs(")\n", stderr);
  fflush(stderr);
  return 0;
}

static int error_in_finalizer(lua_State* L) {
  const char* msg = lua_tolstring(L, -1, nullptr);
  fputs("ERROR in finalizer: ", stderr);
  fputs(msg ? msg : "?", stderr);
  fputs("\n", stderr);
  fflush(stderr);
  return 0;
}


extern "C" lua_State* luaL_newstate(void) {
  lua_State* L = lua_newstate(reinterpret_cast<lua_Alloc>(0x4d50), nullptr);
  if (L == nullptr) return nullptr;
  lua_atpanic(L, default_panic);
  luaL_findtable(L, LUA_REGISTRYINDEX, "_VMEVENTS", 4);
  lua_pushcfunction(L, error_in_finalizer);
  lua_rawseti(L, -2, KX_VMEVENT_KEY_ERRFIN);
  G(L)->event_mask = KX_EVENT_ERRFIN;
  lua_pop(L, 1);
  return L;
}
