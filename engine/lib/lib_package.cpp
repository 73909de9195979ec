// The package library: require and module, searching Lua and native modules along path templates,
// native modules as dynamic libraries, and precompiled modules exported as bytecode symbols.
//
// The searchers, require and module have the package table as their environment.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/dynlib.h"
#include "lualib.h"
#include "lauxlib.h"

// The system's packages install Lua modules and native modules for this target in these places.
#if defined(__x86_64__)
#define KX_MULTIARCH "x86_64-linux-gnu"
#elif defined(__i386__)
#define KX_MULTIARCH "i386-linux-gnu"
#else
#error "no multiarch directory known for this target"
#endif
#define KX_LDIR_LOCAL "/usr/local/share/lua/5.1/"
#define KX_LDIR_SYSTEM "/usr/share/lua/5.1/"
#define KX_CDIR_LOCAL "/usr/local/lib/lua/5.1/"
#define KX_CDIR_ARCH "/usr/lib/" KX_MULTIARCH "/lua/5.1/"
#define KX_CDIR_SYSTEM "/usr/lib/lua/5.1/"

// "!" stands for the directory of the running program.
static const char path_default[] =
    "./?.lua;!/lua/?.lua;!/lua/?/init.lua;" KX_LDIR_LOCAL "?.lua;" KX_LDIR_LOCAL "?/init.lua;" KX_LDIR_SYSTEM
    "?.lua;" KX_LDIR_SYSTEM "?/init.lua";
static const char cpath_default[] =
    "./?.so;!/?.so;!/loadall.so;" KX_CDIR_LOCAL "?.so;" KX_CDIR_ARCH "?.so;" KX_CDIR_SYSTEM "?.so";

// package.config: directory separator, template separator, substitution mark, program-directory
// mark, ignore mark.
static const char package_config[] = LUA_DIRSEP "\n" LUA_PATHSEP "\n" LUA_PATH_MARK "\n" LUA_EXECDIR "\n" LUA_IGMARK "\n";

// package.loaded[name] holds this number while the module's loader runs.
constexpr uint64_t LOADING_MARK = 0x8100000000000073ull;

constexpr size_t MAX_LIBPATH = 4095;
constexpr const char* LOADLIB_MT = "_LOADLIB";

// Results of loading a library function.
enum { LOAD_OK, LOAD_NOLIB, LOAD_NOSYM, LOAD_BADBC };

static bool is_loading_mark(lua_State* L, int idx) {
  return lua_type(L, idx) == LUA_TNUMBER && std::bit_cast<uint64_t>(lua_tonumber(L, idx)) == LOADING_MARK;
}

// A library that changed the floating-point unit's precision would break every number.
static void check_fpu(lua_State* L) {
  lua_pushnumber(L, 1437217655.0);
  if (lua_tointeger(L, -1) != 0x55aa3377) luaL_error(L, "bad FPU precision (use D3DCREATE_FPU_PRESERVE with DirectX)");
  lua_pop(L, 1);
}

// ---- Searching along a path -------------------------------------------------------------------------------

static bool readable(const char* filename) {
  FILE* f = fopen(filename, "r");
  if (f == nullptr) return false;
  fclose(f);
  return true;
}

// Tries each template of path with "?" replaced by name (sep in name replaced by rep first). Pushes
// the first readable file name and returns it, or pushes the list of tried names and returns null.
static const char* search_path(lua_State* L, const char* name, const char* path, const char* sep, const char* rep) {
  if (*sep) name = luaL_gsub(L, name, sep, rep);
  lua_pushliteral(L, "");
  for (const char* p = path;;) {
    while (*p == *LUA_PATHSEP) p++;
    if (*p == '\0') return nullptr;
    const char* e = strchr(p, *LUA_PATHSEP);
    if (e == nullptr) e = p + strlen(p);
    lua_pushlstring(L, p, static_cast<size_t>(e - p));
    const char* filename = luaL_gsub(L, lua_tostring(L, -1), LUA_PATH_MARK, name);
    if (readable(filename)) return filename;
    lua_pushfstring(L, "\n\tno file '%s'", filename);
    lua_replace(L, -3);  // the message replaces the template; the file name goes
    lua_pop(L, 1);
    lua_concat(L, 2);
    p = e;
  }
}

// Searches name along package[pname]; as search_path.
static const char* find_file(lua_State* L, const char* name, const char* pname) {
  lua_getfield(L, LUA_ENVIRONINDEX, pname);
  const char* path = lua_tostring(L, -1);
  if (path == nullptr) luaL_error(L, "'package.%s' must be a string", pname);
  return search_path(L, name, path, ".", LUA_DIRSEP);
}

[[noreturn]] static void load_error(lua_State* L, const char* file) {
  luaL_error(L, "error loading module '%s' from file '%s':\n\t%s", lua_tostring(L, 1), file, lua_tostring(L, -1));
  __builtin_unreachable();
}

// ---- Libraries and their symbols --------------------------------------------------------------------------

// prefix followed by the module name after its first "-", with "." turned into "_"; pushed.
static const char* symbol_name(lua_State* L, const char* prefix, const char* modname) {
  const char* mark = strchr(modname, *LUA_IGMARK);
  if (mark) modname = mark + 1;
  const char* sym = luaL_gsub(L, modname, ".", "_");
  sym = lua_pushfstring(L, "%s%s", prefix, sym);
  lua_remove(L, -2);
  return sym;
}

// The handle slot of the library at path, kept in the registry (created empty when missing).
static void** lib_handle(lua_State* L, const char* path) {
  lua_pushfstring(L, "LOADLIB: %s", path);
  lua_pushvalue(L, -1);
  lua_rawget(L, LUA_REGISTRYINDEX);
  void** handle = static_cast<void**>(luaL_testudata(L, -1, LOADLIB_MT));
  if (handle == nullptr) {
    lua_pop(L, 1);
    handle = static_cast<void**>(lua_newuserdata(L, sizeof(void*)));
    *handle = nullptr;
    luaL_getmetatable(L, LOADLIB_MT);
    lua_setmetatable(L, -2);
    lua_pushvalue(L, -2);
    lua_pushvalue(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
  }
  lua_pop(L, 2);
  return handle;
}

// Loads precompiled bytecode at p as the chunk of module modname; pushes the function or the message.
static bool load_bytecode(lua_State* L, const void* p, size_t size, const char* modname) {
  return luaL_loadbuffer(L, static_cast<const char*>(p), size, modname) == 0;
}

// Loads the library at path and pushes what it gives: with modname (a searcher), the module's
// "luaopen_" function or else the function of its exported bytecode; without, the C function sym
// ("*": true once the library is loaded). On failure pushes the message.
static int load_lib(lua_State* L, const char* path, const char* sym, const char* modname) {
  if (strlen(path) > MAX_LIBPATH) {
    lua_pushliteral(L, "path too long");
    return LOAD_NOLIB;
  }
  void** handle = lib_handle(L, path);
  if (*handle == nullptr) {
    *handle = kx_dynlib_open(path);
    if (*handle == nullptr) {
      kx_dynlib_pusherror(L);
      return LOAD_NOLIB;
    }
  }
  if (modname == nullptr && *sym == '*') {
    lua_pushboolean(L, 1);
    return LOAD_OK;
  }
  size_t size;
  if (modname) sym = symbol_name(L, "luaopen_", modname);
  void* f = kx_dynlib_sym(*handle, sym, &size);
  if (modname) lua_pop(L, 1);
  if (f) {
    lua_pushcfunction(L, reinterpret_cast<lua_CFunction>(f));
    return LOAD_OK;
  }
  kx_dynlib_pusherror(L);
  if (modname == nullptr) return LOAD_NOSYM;
  const void* bc = kx_dynlib_sym(*handle, symbol_name(L, "kestrix_BC_", modname), &size);
  lua_pop(L, 1);
  if (bc == nullptr) return LOAD_NOSYM;
  bool ok = load_bytecode(L, bc, size, modname);
  lua_remove(L, -2);
  return ok ? LOAD_OK : LOAD_BADBC;
}

static int kx_cf_package_gc(lua_State* L) {
  void** handle = static_cast<void**>(luaL_testudata(L, 1, LOADLIB_MT));
  if (handle == nullptr) luaL_typerror(L, 1, LOADLIB_MT);
  if (*handle) kx_dynlib_close(*handle);
  *handle = nullptr;
  return 0;
}

// ---- Searchers --------------------------------------------------------------------------------------------

static int kx_cf_package_searcher_preload(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_getfield(L, LUA_ENVIRONINDEX, "preload");
  if (!lua_istable(L, -1)) luaL_error(L, "'package.preload' must be a table");
  lua_pushvalue(L, 1);
  lua_gettable(L, -2);
  if (!lua_isnil(L, -1)) return 1;
  size_t size;
  const void* bc = kx_dynlib_ownsym(symbol_name(L, "kestrix_BC_", name), &size);
  if (bc && load_bytecode(L, bc, size, name)) return 1;
  lua_pushfstring(L, "\n\tno field package.preload['%s']", name);
  return 1;
}

static int kx_cf_package_searcher_lua(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  const char* file = find_file(L, name, "path");
  if (file && luaL_loadfilex(L, file, nullptr) != 0) load_error(L, file);
  return 1;
}

static int kx_cf_package_searcher_c(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  const char* file = find_file(L, name, "cpath");
  if (file && load_lib(L, file, nullptr, name) != LOAD_OK) load_error(L, file);
  return 1;
}

// A submodule a.b.c inside the library found for a.
static int kx_cf_package_searcher_croot(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  const char* dot = strchr(name, '.');
  if (dot == nullptr) return 0;
  lua_pushlstring(L, name, static_cast<size_t>(dot - name));
  const char* file = find_file(L, lua_tostring(L, -1), "cpath");
  if (file == nullptr) return 1;
  int code = load_lib(L, file, nullptr, name);
  if (code == LOAD_NOSYM) {
    lua_pushfstring(L, "\n\tno module '%s' in file '%s'", name, file);
  } else if (code != LOAD_OK) {
    load_error(L, file);
  }
  return 1;
}

// ---- require and module -----------------------------------------------------------------------------------

// Leaves the loader found for the module name in argument 1 on top of the stack.
static void find_loader(lua_State* L, const char* name) {
  lua_getfield(L, LUA_ENVIRONINDEX, "loaders");
  if (!lua_istable(L, -1)) luaL_error(L, "'package.loaders' must be a table");
  int searchers = lua_gettop(L);
  lua_pushliteral(L, "");
  for (int i = 1;; i++) {
    lua_rawgeti(L, searchers, i);
    if (lua_isnil(L, -1)) luaL_error(L, "module '%s' not found:%s", name, lua_tostring(L, -2));
    lua_pushvalue(L, 1);
    lua_call(L, 1, 1);
    if (lua_isfunction(L, -1)) return;
    if (lua_isstring(L, -1)) lua_concat(L, 2);
    else lua_pop(L, 1);
  }
}

static int kx_cf_package_require(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_settop(L, 1);
  luaL_findtable(L, LUA_REGISTRYINDEX, "_LOADED", 16);
  const int loaded = 2;
  lua_pushvalue(L, 1);
  lua_gettable(L, loaded);
  if (lua_toboolean(L, -1)) {
    if (is_loading_mark(L, -1)) luaL_error(L, "loop or previous error loading module '%s'", name);
    return 1;
  }
  lua_pop(L, 1);
  find_loader(L, name);
  lua_pushvalue(L, 1);
  lua_pushnumber(L, std::bit_cast<double>(LOADING_MARK));
  lua_settable(L, loaded);
  lua_pushvalue(L, 1);
  lua_call(L, 1, 1);
  if (!lua_isnil(L, -1)) {
    lua_pushvalue(L, 1);
    lua_insert(L, -2);
    lua_settable(L, loaded);
  }
  lua_pushvalue(L, 1);
  lua_gettable(L, loaded);
  if (is_loading_mark(L, -1)) {
    lua_pushvalue(L, 1);
    lua_pushboolean(L, 1);
    lua_settable(L, loaded);
    lua_pushboolean(L, 1);
  }
  check_fpu(L);
  return 1;
}

static int kx_cf_package_module(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  int lastarg = lua_gettop(L);
  luaL_pushmodule(L, name, 1);
  int m = lua_gettop(L);
  lua_getfield(L, m, "_NAME");
  bool fresh = lua_isnil(L, -1);
  lua_pop(L, 1);
  if (fresh) {
    lua_pushvalue(L, m);
    lua_setfield(L, m, "_M");
    lua_pushstring(L, name);
    lua_setfield(L, m, "_NAME");
    const char* dot = strrchr(name, '.');
    lua_pushlstring(L, name, dot ? static_cast<size_t>(dot - name + 1) : 0);
    lua_setfield(L, m, "_PACKAGE");
  }
  lua_Debug ar;
  if (!lua_getstack(L, 1, &ar) || !lua_getinfo(L, "f", &ar) || lua_iscfunction(L, -1))
    luaL_error(L, "'module' not called from a Lua function");
  lua_pushvalue(L, m);
  lua_setfenv(L, -2);
  lua_pop(L, 1);
  for (int i = 2; i <= lastarg; i++) {
    lua_pushvalue(L, i);
    lua_pushvalue(L, m);
    lua_call(L, 1, 0);
  }
  return 1;
}

// ---- package functions ------------------------------------------------------------------------------------

static int kx_cf_package_loadlib(lua_State* L) {
  const char* path = luaL_checkstring(L, 1);
  const char* sym = luaL_checkstring(L, 2);
  int code = load_lib(L, path, sym, nullptr);
  if (code == LOAD_OK) return 1;
  lua_pushnil(L);
  lua_insert(L, -2);
  lua_pushstring(L, code == LOAD_NOLIB ? "open" : "init");
  return 3;
}

static int kx_cf_package_searchpath(lua_State* L) {
  const char* rep = luaL_optstring(L, 4, LUA_DIRSEP);
  const char* sep = luaL_optstring(L, 3, ".");
  const char* path = luaL_checkstring(L, 2);
  const char* name = luaL_checkstring(L, 1);
  if (search_path(L, name, path, sep, rep)) return 1;
  lua_pushnil(L);
  lua_insert(L, -2);
  return 2;
}

static int kx_cf_package_seeall(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  if (!lua_getmetatable(L, 1)) {
    lua_createtable(L, 0, 1);
    lua_pushvalue(L, -1);
    lua_setmetatable(L, 1);
  }
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  lua_setfield(L, -2, "__index");
  return 0;
}

// ---- Opening ----------------------------------------------------------------------------------------------

// Replaces every "!" of the path on top of the stack by the program's directory.
static void expand_progdir(lua_State* L) {
  const char* path = lua_tostring(L, -1);
  if (strchr(path, *LUA_EXECDIR) == nullptr) return;
  char dir[4096];
  if (!kx_dynlib_progdir(dir, sizeof(dir))) luaL_error(L, "unable to get ModuleFileName");
  luaL_gsub(L, path, LUA_EXECDIR, dir);
  lua_remove(L, -2);
}

// package[field] from the environment variable, where ";;" stands for the default.
static void set_path(lua_State* L, const char* field, const char* envname, const char* def, bool noenv) {
  const char* path = noenv ? nullptr : getenv(envname);
  if (path == nullptr) {
    lua_pushstring(L, def);
  } else {
    path = luaL_gsub(L, path, LUA_PATHSEP LUA_PATHSEP, LUA_PATHSEP "\1" LUA_PATHSEP);
    luaL_gsub(L, path, "\1", def);
    lua_remove(L, -2);
  }
  expand_progdir(L);
  lua_setfield(L, -2, field);
}

static const luaL_Reg package_funcs[] = {
    {"loadlib", kx_cf_package_loadlib},
    {"searchpath", kx_cf_package_searchpath},
    {"seeall", kx_cf_package_seeall},
    {nullptr, nullptr},
};

static const luaL_Reg global_funcs[] = {
    {"module", kx_cf_package_module},
    {"require", kx_cf_package_require},
    {nullptr, nullptr},
};

static const lua_CFunction searchers[] = {
    kx_cf_package_searcher_preload,
    kx_cf_package_searcher_lua,
    kx_cf_package_searcher_c,
    kx_cf_package_searcher_croot,
};

extern "C" int luaopen_package(lua_State* L) {
  luaL_newmetatable(L, LOADLIB_MT);
  lua_pushcfunction(L, kx_cf_package_gc);
  lua_setfield(L, -2, "__gc");
  luaL_register(L, LUA_LOADLIBNAME, package_funcs);
  lua_pushvalue(L, -1);
  lua_replace(L, LUA_ENVIRONINDEX);
  lua_createtable(L, 4, 0);
  for (int i = 0; i < 4; i++) {
    lua_pushcfunction(L, searchers[i]);
    lua_rawseti(L, -2, i + 1);
  }
  lua_pushvalue(L, -1);
  lua_setfield(L, -3, "searchers");
  lua_setfield(L, -2, "loaders");
  lua_getfield(L, LUA_REGISTRYINDEX, "LUA_NOENV");
  bool noenv = lua_toboolean(L, -1);
  lua_pop(L, 1);
  set_path(L, "path", "LUA_PATH", path_default, noenv);
  set_path(L, "cpath", "LUA_CPATH", cpath_default, noenv);
  lua_pushlstring(L, package_config, sizeof(package_config) - 1);
  lua_setfield(L, -2, "config");
  luaL_findtable(L, LUA_REGISTRYINDEX, "_LOADED", 16);
  lua_setfield(L, -2, "loaded");
  luaL_findtable(L, LUA_REGISTRYINDEX, "_PRELOAD", 4);
  lua_setfield(L, -2, "preload");
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  luaL_register(L, nullptr, global_funcs);
  lua_pop(L, 1);
  return 1;
}
