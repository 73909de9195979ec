// The jit library: the script-level controls of the trace compiler, its introspection modules
// (jit.util, jit.profile) and the attachment of handlers to engine events.
//
// The engine runs everything in the interpreter. The controls keep what they are told in the
// compiler state (flags word, parameters, per-prototype permission) and report it back; the
// trace-inspection functions find no traces.
#include <algorithm>
#include <bit>

#include "bytecode/bc.h"
#include "core/jit.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "core/table.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/debug.h"
#include "vm/err.h"
#include "vm/vm.h"

static inline uint32_t nargs_of(lua_State* L) { return static_cast<uint32_t>(L->top - L->base); }

static inline void push_str(lua_State* L, GcString* s) {
  setstrV(L->top, s);
  kx_state_incr_top(L);
}

// ---- jit.on, jit.off, jit.flush -----------------------------------------------------------------------------

static int setjitmode(lua_State* L, int mode) {
  const Value* arg = L->base;
  if (arg >= L->top || tv_isnil(arg)) {
    if (!kestrix_setmode(L, 0, mode | KESTRIX_MODE_ENGINE)) kx_err_caller(L, KX_ERR_JitDisabled);
    return 0;
  }
  int idx = 1;
  if (tv_istrue(arg)) {
    idx = 0;  // the Lua function that called us
  } else if (tv_isnum(arg) && (mode & KESTRIX_MODE_FLUSH)) {
    if (!kestrix_setmode(L, kx_lib_num2int(numV(arg)), mode | KESTRIX_MODE_TRACE)) kx_err_argt(L, 1, LUA_TFUNCTION);
    return 0;
  }
  const Value* nested = L->base + 1;
  if (nested < L->top && tv_isbool(nested))
    mode |= tv_istrue(nested) ? KESTRIX_MODE_ALLFUNC : KESTRIX_MODE_ALLSUBFUNC;
  else
    mode |= KESTRIX_MODE_FUNC;
  if (!kestrix_setmode(L, idx, mode)) kx_err_argt(L, 1, LUA_TFUNCTION);
  return 0;
}

static int kx_cf_jit_on(lua_State* L) { return setjitmode(L, KESTRIX_MODE_ON); }
static int kx_cf_jit_off(lua_State* L) { return setjitmode(L, KESTRIX_MODE_OFF); }
static int kx_cf_jit_flush(lua_State* L) { return setjitmode(L, KESTRIX_MODE_FLUSH); }

// ---- jit.status, jit.security -------------------------------------------------------------------------------

// Names of the flags word's bits from 0x10 upward (processor features, then optimisations); an empty
// name is an unused bit.
static const char* const flag_names[] = {
    "SSE3", "SSE4.1", "BMI2", "", "", "", "", "", "", "", "", "",
#define KX_JIT_FLAG_NAME(name) #name,
    KX_JIT_OPTFLAGS(KX_JIT_FLAG_NAME)
#undef KX_JIT_FLAG_NAME
};
constexpr uint32_t KX_JIT_FLAG_NAMES = sizeof(flag_names) / sizeof(flag_names[0]);
constexpr uint32_t KX_JIT_NOPTFLAGS = KX_JIT_FLAG_NAMES - 12;

static int kx_cf_jit_status(lua_State* L) {
  uint32_t flags = kx_jit(G(L))->flags;
  lua_pushboolean(L, flags & KX_JIT_F_ON);
  int n = 1;
  for (uint32_t i = 0; i < KX_JIT_FLAG_NAMES; i++) {
    if (!(flags & (KX_JIT_F_SSE3 << i)) || !*flag_names[i]) continue;
    lua_pushstring(L, flag_names[i]);
    n++;
  }
  return n;
}

// Every hardening feature is built in at level 1.
static int kx_cf_jit_security(lua_State* L) {
  kx_lib_checkopt(L, 1, -1, "\4prng\7strhash\5strid\5mcode");
  lua_pushinteger(L, 1);
  return 1;
}

// ---- jit.attach ---------------------------------------------------------------------------------------------

static int kx_cf_jit_attach(lua_State* L) {
  kx_lib_checkfunc(L, 1);
  GcString* event = kx_lib_optstr(L, 2);
  lua_settop(L, 2);
  luaL_findtable(L, LUA_REGISTRYINDEX, "_VMEVENTS", 4);
  if (event) {
    lua_pushvalue(L, 1);
    lua_rawseti(L, -2, kx_vmevent_key(strdata(event)));
    G(L)->event_mask = 0xff;  // every event may have a handler now; the engine clears those that don't
    return 0;
  }
  // Detach from every event: clearing an existing field keeps the traversal valid.
  lua_pushnil(L);
  while (lua_next(L, 3)) {
    if (lua_rawequal(L, -1, 1)) {
      lua_pushvalue(L, -2);
      lua_pushnil(L);
      lua_rawset(L, 3);
    }
    lua_pop(L, 1);
  }
  return 0;
}

// ---- jit.opt.start ------------------------------------------------------------------------------------------

static bool opt_level(JitState* js, const GcString* s) {
  static const uint32_t levels[] = {0, 0x70000, 0x670000};
  char c = strdata(s)[0];
  if (s->len != 1 || c < '0' || c > '9') return false;
  uint32_t bits = c < '3' ? levels[c - '0'] : KX_JIT_F_OPT_DEFAULT;
  js->flags = (js->flags & ~uint32_t(KX_JIT_F_OPT)) | bits;
  return true;
}

// "+name" or "name" sets an optimisation, "-name", "noname" and "no-name" clear it.
static bool opt_flag(JitState* js, const GcString* s) {
  const char* p = strdata(s);
  const char* end = p + s->len;
  bool set = true;
  if (*p == '+') {
    p++;
  } else if (*p == '-') {
    p++, set = false;
  } else if (end - p >= 2 && p[0] == 'n' && p[1] == 'o') {
    p += 2, set = false;
    if (*p == '-') p++;
  }
  for (uint32_t i = 0; i < KX_JIT_NOPTFLAGS; i++) {
    const char* name = flag_names[KX_JIT_FLAG_NAMES - KX_JIT_NOPTFLAGS + i];
    if (strlen(name) != static_cast<size_t>(end - p) || memcmp(name, p, static_cast<size_t>(end - p)) != 0) continue;
    uint32_t bit = KX_JIT_F_OPT_FIRST << i;
    js->flags = set ? js->flags | bit : js->flags & ~bit;
    return true;
  }
  return false;
}

static void opt_setparam(GlobalState* g, JitState* js, uint32_t i, int32_t v) {
  if (i == KX_JIT_P_sizemcode) v = static_cast<int32_t>(std::min<int64_t>((int64_t(v) + 3) & ~int64_t(3), 2097088));
  js->param[i] = v;
  if (i == KX_JIT_P_hotloop) {
    uint16_t start = static_cast<uint16_t>(static_cast<uint32_t>(v) * 2 - 1);
    for (uint16_t& c : kx_dispatch(g)->hot_counters) c = start;
  }
}

// "name=digits": an empty value is 0; signs, spaces and values beyond 2^31 - 1 are malformed.
static bool opt_param(GlobalState* g, JitState* js, const GcString* s) {
  static const char* const names[] = {
#define KX_JIT_PARAM_NAME(name, def) #name,
      KX_JIT_PARAMS(KX_JIT_PARAM_NAME)
#undef KX_JIT_PARAM_NAME
  };
  const char* p = strdata(s);
  const char* eq = static_cast<const char*>(memchr(p, '=', s->len));
  if (eq == nullptr) return false;
  const char* end = p + s->len;
  int64_t v = 0;
  for (const char* q = eq + 1; q < end; q++) {
    if (*q < '0' || *q > '9') return false;
    v = v * 10 + (*q - '0');
    if (v > INT32_MAX) return false;
  }
  for (uint32_t i = 0; i < KX_JIT_P__MAX; i++) {
    if (strlen(names[i]) != static_cast<size_t>(eq - p) || memcmp(names[i], p, static_cast<size_t>(eq - p)) != 0) continue;
    opt_setparam(g, js, i, static_cast<int32_t>(v));
    return true;
  }
  return false;
}

static int kx_cf_jit_opt_start(lua_State* L) {
  GlobalState* g = G(L);
  JitState* js = kx_jit(g);
  uint32_t n = nargs_of(L);
  if (n == 0) js->flags = (js->flags & ~uint32_t(KX_JIT_F_OPT)) | KX_JIT_F_OPT_DEFAULT;
  for (uint32_t i = 1; i <= n; i++) {
    GcString* s = kx_lib_checkstr(L, static_cast<int>(i));
    if (s->len == 0 || !(opt_level(js, s) || opt_flag(js, s) || opt_param(g, js, s)))
      kx_err_callerv(L, KX_ERR_JitBadOptFlag, strdata(s));
  }
  return 0;
}

// ---- jit.util -----------------------------------------------------------------------------------------------

static void setfield_int(lua_State* L, const char* name, lua_Integer v) {
  lua_pushinteger(L, v);
  lua_setfield(L, -2, name);
}

// Where a prototype's code at pc comes from, in a form tools print.
static void push_loc(lua_State* L, const GcProto* pt, uint32_t pc) {
  const GcString* chunk = pt->chunk_name;
  const char* name = strdata(chunk);
  int32_t line = kx_debug_line(pt, pc < pt->code_size ? pc : 0);
  if (pt->first_line == ~0u) {
    lua_pushfstring(L, "builtin:%s", name);
  } else if (*name == '@') {
    const char* file = name + 1;
    for (const char* q = file; *q; q++)
      if (*q == '/' || *q == '\\') file = q + 1;
    lua_pushfstring(L, "%s:%d", file, line);
  } else if (*name == '=') {
    lua_pushfstring(L, "%s:%d", name + 1, line);
  } else if (chunk->len <= 40) {
    lua_pushfstring(L, "\"%s\":%d", name, line);
  } else {
    lua_pushfstring(L, "%p:%d", static_cast<const void*>(pt), line);
  }
}

static int kx_cf_jit_util_funcinfo(lua_State* L) {
  GcProto* pt = kx_lib_checkLproto(L, 1, true);
  if (pt == nullptr) {
    GcFunc* fn = funcV(L->base);
    lua_createtable(L, 0, 3);
    if (!iscfunc(fn)) setfield_int(L, "ffid", fn->ffid);
    lua_pushnumber(L, static_cast<double>(reinterpret_cast<uintptr_t>(fn->c.cfunc)));
    lua_setfield(L, -2, "addr");
    setfield_int(L, "upvalues", fn->upvalue_count);
    return 1;
  }
  uint32_t pc = static_cast<uint32_t>(kx_lib_optint(L, 2, 0));
  lua_createtable(L, 0, 16);
  setfield_int(L, "linedefined", static_cast<int32_t>(pt->first_line));
  setfield_int(L, "lastlinedefined", static_cast<int32_t>(pt->first_line + pt->line_count));
  setfield_int(L, "stackslots", pt->frame_size);
  setfield_int(L, "params", pt->num_params);
  setfield_int(L, "bytecodes", pt->code_size);
  setfield_int(L, "gcconsts", pt->gc_const_count);
  setfield_int(L, "nconsts", pt->num_const_count);
  setfield_int(L, "upvalues", pt->upval_count);
  if (pc < pt->code_size) setfield_int(L, "currentline", kx_debug_line(pt, pc));
  lua_pushboolean(L, pt->flags & KX_PROTO_VARARG);
  lua_setfield(L, -2, "isvararg");
  lua_pushboolean(L, pt->flags & KX_PROTO_CHILD);
  lua_setfield(L, -2, "children");
  push_str(L, pt->chunk_name);
  lua_setfield(L, -2, "source");
  push_loc(L, pt, pc);
  lua_setfield(L, -2, "loc");
  setprotoV(L->top, pt);
  kx_state_incr_top(L);
  lua_setfield(L, -2, "proto");
  return 1;
}

static int kx_cf_jit_util_funcbc(lua_State* L) {
  GcProto* pt = kx_lib_checkLproto(L, 1, false);
  uint32_t pc = static_cast<uint32_t>(kx_lib_checkint(L, 2));
  if (pc >= pt->code_size) return 0;
  Instr ins = proto_bc(pt)[pc];
  lua_pushnumber(L, ins);
  lua_pushinteger(L, kx_bc_mode[bc_op(ins)]);
  return 2;
}

static int kx_cf_jit_util_funck(lua_State* L) {
  GcProto* pt = kx_lib_checkLproto(L, 1, false);
  int32_t i = kx_lib_checkint(L, 2);
  if (i >= 0) {
    if (static_cast<uint32_t>(i) >= pt->num_const_count) return 0;
    copyV(L->top, proto_knum(pt, static_cast<uint32_t>(i)));
  } else {
    if (static_cast<uint32_t>(-(i + 1)) >= pt->gc_const_count) return 0;
    GcObj* k = proto_kgc(pt, i);
    setgcV(L->top, k, ~static_cast<uint32_t>(k->gc_type));
  }
  kx_state_incr_top(L);
  return 1;
}

static int kx_cf_jit_util_funcuvname(lua_State* L) {
  GcProto* pt = kx_lib_checkLproto(L, 1, false);
  uint32_t n = static_cast<uint32_t>(kx_lib_checkint(L, 2));
  if (n >= pt->upval_count) return 0;
  const char* name = pt->upval_names ? kx_debug_uvname(pt, n) : nullptr;
  lua_pushstring(L, name ? name : "");
  return 1;
}

// Traces, their IR, constants, snapshots, machine code and exit stubs: there are none to report.
static int kx_cf_jit_util_notrace(lua_State* L) { return 0; }

// ---- jit.profile --------------------------------------------------------------------------------------------

// Registry keys of the profiler's thread and callback: fixed numbers no script computes by chance.
static void push_profkey(lua_State* L, uint64_t bits) { lua_pushnumber(L, std::bit_cast<double>(bits)); }
constexpr uint64_t KX_PROFKEY_THREAD = 0x8100000000000074ull;
constexpr uint64_t KX_PROFKEY_FUNC = 0x8100000000000066ull;

static void prof_setkey(lua_State* L, uint64_t key, int value_idx) {
  push_profkey(L, key);
  if (value_idx) lua_pushvalue(L, value_idx);
  else lua_pushnil(L);
  lua_rawset(L, LUA_REGISTRYINDEX);
}

// The sampler itself belongs to the trace compiler, which this engine does not have: starting records
// the callback and the thread it would run on, so that stopping and restarting behave, and no samples
// are taken.
static int kx_cf_jit_profile_start(lua_State* L) {
  kx_lib_checkstr(L, 1);
  kx_lib_checkfunc(L, 2);
  lua_settop(L, 2);
  prof_setkey(L, KX_PROFKEY_THREAD, 0);
  prof_setkey(L, KX_PROFKEY_FUNC, 0);
  lua_newthread(L);
  prof_setkey(L, KX_PROFKEY_THREAD, 3);
  prof_setkey(L, KX_PROFKEY_FUNC, 2);
  return 0;
}

static int kx_cf_jit_profile_stop(lua_State* L) {
  prof_setkey(L, KX_PROFKEY_THREAD, 0);
  prof_setkey(L, KX_PROFKEY_FUNC, 0);
  return 0;
}

// One frame by the format: 'f' the function's name, 'l' the chunk and current line, 'F' the chunk and
// the line where the function is defined; every other character stands for itself.
static void dump_frame(lua_State* L1, luaL_Buffer* b, const char* fmt, lua_Debug* ar) {
  lua_getinfo(L1, "Sln", ar);
  for (const char* p = fmt; *p; p++) {
    if (*p == 'f') luaL_addstring(b, ar->name ? ar->name : "?");
    else if (*p == 'l') lua_pushfstring(b->L, "%s:%d", ar->short_src, ar->currentline), luaL_addvalue(b);
    else if (*p == 'F') lua_pushfstring(b->L, "%s:%d", ar->short_src, ar->linedefined), luaL_addvalue(b);
    else luaL_addchar(b, *p);
  }
}

// Up to |depth| frames of a thread, innermost first, or outermost first for a negative depth. The
// running thread's dump starts at the caller of dumpstack.
static int kx_cf_jit_profile_dumpstack(lua_State* L) {
  lua_State* L1 = L;
  int arg = 1;
  if (L->base < L->top && tv_isthread(L->base)) L1 = threadV(L->base), arg = 2;
  const char* fmt = strdata(kx_lib_checkstr(L, arg));
  int32_t depth = kx_lib_checkint(L, arg + 1);
  int first = L1 == L ? 1 : 0, end = first;
  lua_Debug ar;
  while (lua_getstack(L1, end, &ar)) end++;
  int32_t count = depth < 0 ? (depth == INT32_MIN ? INT32_MAX : -depth) : depth;
  if (count > end - first) count = end - first;
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (int32_t i = 0; i < count; i++) {
    lua_getstack(L1, depth < 0 ? end - 1 - i : first + i, &ar);
    dump_frame(L1, &b, fmt, &ar);
  }
  luaL_pushresult(&b);
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_jit, "jit");

static const lua_CFunction kx_lib_cf_jit[] = {
    kx_cf_jit_on, kx_cf_jit_off, kx_cf_jit_flush, kx_cf_jit_status, kx_cf_jit_security, kx_cf_jit_attach,
};

KX_LIBDEF(kx_lib_init_jit_util, "jit_util");

static const lua_CFunction kx_lib_cf_jit_util[] = {
    kx_cf_jit_util_funcinfo, kx_cf_jit_util_funcbc,  kx_cf_jit_util_funck,   kx_cf_jit_util_funcuvname,
    kx_cf_jit_util_notrace,  kx_cf_jit_util_notrace, kx_cf_jit_util_notrace, kx_cf_jit_util_notrace,
    kx_cf_jit_util_notrace,  kx_cf_jit_util_notrace, kx_cf_jit_util_notrace,
};

KX_LIBDEF(kx_lib_init_jit_opt, "jit_opt");

static const lua_CFunction kx_lib_cf_jit_opt[] = {kx_cf_jit_opt_start};

KX_LIBDEF(kx_lib_init_jit_profile, "jit_profile");

static const lua_CFunction kx_lib_cf_jit_profile[] = {
    kx_cf_jit_profile_start, kx_cf_jit_profile_stop, kx_cf_jit_profile_dumpstack,
};

// A sub-module, once required, is also a field of the jit table (jit.util, jit.profile).
static int open_submodule(lua_State* L, const uint8_t* stream, const lua_CFunction* handlers, const char* field) {
  kx_lib_register(L, nullptr, stream, handlers);
  luaL_findtable(L, LUA_REGISTRYINDEX, "_LOADED", 16);
  lua_getfield(L, -1, LUA_JITLIBNAME);
  if (lua_istable(L, -1)) {
    lua_pushvalue(L, -3);
    lua_setfield(L, -2, field);
  }
  lua_pop(L, 2);
  return 1;
}

static int luaopen_jit_util(lua_State* L) {
  return open_submodule(L, kx_lib_init_jit_util.data(), kx_lib_cf_jit_util, "util");
}

static int luaopen_jit_profile(lua_State* L) {
  return open_submodule(L, kx_lib_init_jit_profile.data(), kx_lib_cf_jit_profile, "profile");
}

extern "C" int luaopen_jit(lua_State* L) {
  lua_pushliteral(L, "Linux");
  lua_pushstring(L, KX_64 ? "x64" : "x86");
  lua_pushinteger(L, KESTRIX_VERSION_NUM);
  lua_pushliteral(L, KESTRIX_VERSION);
  kx_lib_register(L, LUA_JITLIBNAME, kx_lib_init_jit.data(), kx_lib_cf_jit);
  kx_lib_prereg(L, "jit.profile", luaopen_jit_profile, L->env);
  kx_lib_prereg(L, "jit.util", luaopen_jit_util, L->env);
  kx_lib_register(L, "jit.opt", kx_lib_init_jit_opt.data(), kx_lib_cf_jit_opt);
  lua_pop(L, 1);
  return 1;
}
