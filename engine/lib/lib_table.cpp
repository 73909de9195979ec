// The table library. Every element access is raw; lengths are the table border.
#include "core/buf.h"
#include "core/err.h"
#include "core/gc.h"
#include "core/str.h"
#include "core/table.h"
#include "lib/builtins.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/ffid.h"
#include "vm/vm.h"

static inline const Value* tab_geti(GcTable* t, int32_t k) {
  return static_cast<uint32_t>(k) < t->asize ? &t->array[k] : kx_tab_getint(t, k);
}

static inline void tab_readi(GcTable* t, int32_t k, Value* out) {
  const Value* v = tab_geti(t, k);
  if (v) copyV(out, v);
  else setnilV(out);
}

// v must not point into t: the store may resize it.
static inline void tab_seti(lua_State* L, GcTable* t, int32_t k, const Value* v) {
  copyV(static_cast<uint32_t>(k) < t->asize ? &t->array[k] : kx_tab_setint(L, t, k), v);
  kx_gc_barriert(G(L), t, v);
}

static int kx_cf_table_maxn(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  double m = 0;
  for (uint32_t i = t->asize; i > 0; i--) {
    if (!tv_isnil(&t->array[i - 1])) {
      m = i - 1;
      break;
    }
  }
  if (t->hmask) {
    for (uint32_t i = 0; i <= t->hmask; i++) {
      const TableNode* n = &t->node[i];
      if (!tv_isnil(&n->val) && tv_isnum(&n->key) && numV(&n->key) > m) m = numV(&n->key);
    }
  }
  lua_pushnumber(L, m);
  return 1;
}

static int kx_cf_table_insert(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  int32_t n = static_cast<int32_t>(kx_tab_len(t)) + 1;
  int nargs = static_cast<int>(L->top - L->base);
  if (nargs == 2) {
    tab_seti(L, t, n, L->base + 1);
    return 0;
  }
  if (nargs != 3) kx_err_caller(L, KX_ERR_InsertArgCount);
  int32_t pos = kx_lib_checkint(L, 2);
  for (int64_t i = n; i > pos; i--) {
    Value v;
    tab_readi(t, static_cast<int32_t>(i - 1), &v);
    tab_seti(L, t, static_cast<int32_t>(i), &v);
  }
  tab_seti(L, t, pos, L->base + 2);
  return 0;
}

static int kx_cf_table_concat(lua_State* L) {
  GcTable* t = kx_lib_checktab(L, 1);
  GcString* sep = kx_lib_optstr(L, 2);
  int32_t i = kx_lib_optint(L, 3, 1);
  int32_t j = lua_isnoneornil(L, 4) ? static_cast<int32_t>(kx_tab_len(t)) : kx_lib_checkint(L, 4);
  kx_gc_check(L);  // before the text is built: a collector step may shrink the temporary buffer
  StrBuf* sb = kx_buf_tmp(L);
  if (kx_buf_puttab(sb, t, sep && sep->len ? sep : nullptr, i, j) == nullptr) {
    int32_t k = static_cast<int32_t>(reinterpret_cast<intptr_t>(sb->w));
    const Value* v = tab_geti(t, k);
    kx_err_callerv(L, KX_ERR_ConcatBadValue, v ? kx_obj_typename_of(v) : kx_obj_itypename[KX_INIL], k);
  }
  setstrV(L->top, kx_buf_tostr(sb));
  kx_state_incr_top(L);
  return 1;
}

// ---- Sorting ----------------------------------------------------------------------------------------------

// Stack slots of a running sort: the table, the comparison function (or nil), the pivot and the two
// elements being compared or exchanged. Elements live in slots while a comparison runs, since the
// comparison function may remove them from the table.
enum : int { SORT_TAB, SORT_COMP, SORT_PIVOT, SORT_A, SORT_B, SORT_NSLOTS };

struct Sort {
  lua_State* L;
  GcTable* t;
  bool comp;
};

static inline void sort_get(Sort* s, int32_t k, int slot) { tab_readi(s->t, k, s->L->base + slot); }

static inline void sort_set(Sort* s, int32_t k, int slot) {
  Value v;
  copyV(&v, s->L->base + slot);
  tab_seti(s->L, s->t, k, &v);
}

static bool sort_call(Sort* s, int a, int b) {
  lua_State* L = s->L;
  Value* top = L->top;
  copyV(top, L->base + SORT_COMP);
  copyV(top + 1, L->base + a);
  copyV(top + 2, L->base + b);
  L->top = top + 3;
  kx_vm_call(L, top + 1, 2);
  L->top--;
  return tv_istruecond(L->top);
}

static inline bool sort_lt(Sort* s, int a, int b) {
  if (s->comp) return sort_call(s, a, b);
  const Value* va = s->L->base + a;
  const Value* vb = s->L->base + b;
  if (tv_isnum(va) && tv_isnum(vb)) return numV(va) < numV(vb);
  if (tv_isstr(va) && tv_isstr(vb)) return kx_str_cmp(strV(va), strV(vb)) < 0;
  return lua_lessthan(s->L, a + 1, b + 1);
}

// The order of comparisons and exchanges is fixed: it decides where equal elements end up and when an
// inconsistent order function is detected. No comparison reads outside lo .. up.
static void sort_range(Sort* s, int32_t lo, int32_t up) {
  while (lo < up) {
    sort_get(s, up, SORT_A);
    sort_get(s, lo, SORT_B);
    if (sort_lt(s, SORT_A, SORT_B)) {
      sort_set(s, lo, SORT_A);
      sort_set(s, up, SORT_B);
    }
    if (up - lo == 1) break;
    int32_t i = lo + (up - lo) / 2;
    sort_get(s, i, SORT_A);
    sort_get(s, lo, SORT_B);
    if (sort_lt(s, SORT_A, SORT_B)) {
      sort_set(s, i, SORT_B);
      sort_set(s, lo, SORT_A);
    } else {
      sort_get(s, up, SORT_B);
      if (sort_lt(s, SORT_B, SORT_A)) {
        sort_set(s, i, SORT_B);
        sort_set(s, up, SORT_A);
      }
    }
    if (up - lo == 2) break;
    sort_get(s, i, SORT_PIVOT);
    sort_get(s, up - 1, SORT_A);
    sort_set(s, i, SORT_A);
    sort_set(s, up - 1, SORT_PIVOT);
    int32_t j = up - 1;
    i = lo;
    for (;;) {
      for (;;) {
        sort_get(s, ++i, SORT_A);
        if (!sort_lt(s, SORT_A, SORT_PIVOT)) break;
        if (i == up) kx_err_caller(s->L, KX_ERR_SortBadOrder);
      }
      for (;;) {
        sort_get(s, --j, SORT_B);
        if (!sort_lt(s, SORT_PIVOT, SORT_B)) break;
        if (j == lo) kx_err_caller(s->L, KX_ERR_SortBadOrder);
      }
      if (j < i) break;
      sort_set(s, i, SORT_B);
      sort_set(s, j, SORT_A);
    }
    sort_get(s, up - 1, SORT_A);
    sort_get(s, i, SORT_B);
    sort_set(s, up - 1, SORT_B);
    sort_set(s, i, SORT_A);
    // Recurse into the smaller part, loop on the larger one: the C stack stays logarithmic.
    if (i - lo < up - i) {
      sort_range(s, lo, i - 1);
      lo = i + 1;
    } else {
      sort_range(s, i + 1, up);
      up = i - 1;
    }
  }
}

static int kx_cf_table_sort(lua_State* L) {
  Sort s{L, kx_lib_checktab(L, 1), !lua_isnoneornil(L, 2)};
  int32_t n = static_cast<int32_t>(kx_tab_len(s.t));
  if (s.comp) kx_lib_checkfunc(L, 2);
  lua_settop(L, SORT_NSLOTS);
  sort_range(&s, 1, n);
  return 0;
}

// ---- Construction -----------------------------------------------------------------------------------------

static int kx_cf_table_pack(lua_State* L) {
  kx_gc_check(L);
  uint32_t n = static_cast<uint32_t>(L->top - L->base);
  GcTable* t = kx_tab_new(L, n + 1, 1);
  settabV(L->top, t);
  kx_state_incr_top(L);
  for (uint32_t i = 0; i < n; i++) copyV(&t->array[i + 1], L->base + i);
  GcString* nkey = strV(&funcV(L->base - 1)->c.upvalue[0]);
  setnumV(kx_tab_setstr(L, t, nkey), n);
  return 1;
}

static int kx_cf_table_new(lua_State* L) {
  int32_t narr = kx_lib_checkint(L, 1);
  int32_t nhash = kx_lib_checkint(L, 2);
  lua_createtable(L, narr, nhash);
  return 1;
}

static int kx_cf_table_clear(lua_State* L) {
  kx_tab_clear(kx_lib_checktab(L, 1));
  return 0;
}

// ---- Registration -----------------------------------------------------------------------------------------

static constexpr BcBuiltin kx_lib_bc_table[] = {
    {"foreachi", kx_builtins::foreachi.data(), kx_builtins::foreachi.size()},
    {"foreach", kx_builtins::foreach.data(), kx_builtins::foreach.size()},
    {"getn", kx_builtins::getn.data(), kx_builtins::getn.size()},
    {"remove", kx_builtins::remove.data(), kx_builtins::remove.size()},
    {"move", kx_builtins::move.data(), kx_builtins::move.size()},
};

KX_LIBDEF_L(kx_lib_init_table, kx_lib_bc_table, "table");

static const lua_CFunction kx_lib_cf_table[] = {
    kx_cf_table_maxn, kx_cf_table_insert, kx_cf_table_concat, kx_cf_table_sort, kx_cf_table_pack,
};

static int open_table_new(lua_State* L) {
  kx_lib_postreg(L, kx_cf_table_new, KX_FFID_table_new, "new");
  return 1;
}

static int open_table_clear(lua_State* L) {
  kx_lib_postreg(L, kx_cf_table_clear, KX_FFID_table_clear, "clear");
  return 1;
}

extern "C" int luaopen_table(lua_State* L) {
  kx_lib_register(L, LUA_TABLIBNAME, kx_lib_init_table.data(), kx_lib_cf_table);
  lua_getfield(L, LUA_GLOBALSINDEX, "unpack");
  lua_setfield(L, -2, "unpack");
  GcTable* lib = tabV(L->top - 1);
  kx_lib_prereg(L, "table.new", open_table_new, lib);
  kx_lib_prereg(L, "table.clear", open_table_clear, lib);
  return 1;
}
