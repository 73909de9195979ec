// A micro-benchmark of table stores and lookups with integer and string keys, not run by ctest.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/state.h"
#include "core/str.h"
#include "core/table.h"
#include "lauxlib.h"

template <typename F>
static double ns_per_op(int ops, F f) {
  auto start = std::chrono::steady_clock::now();
  f();
  std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - start;
  return d.count() / ops;
}

int main() {
  lua_State* L = luaL_newstate();
  const int n = 1000000;
  GcTable* t = kx_tab_new(L, 0, 0);
  settabV(L->top++, t);
  double ins_int = ns_per_op(n, [&] {
    for (int i = 1; i <= n; i++) setnumV(kx_tab_setint(L, t, i), i);
  });
  volatile double sink = 0;
  double get_int = ns_per_op(n, [&] {
    for (int i = 1; i <= n; i++) sink = sink + kx_tab_getint(t, i)->n;
  });
  GcTable* h = kx_tab_new(L, 0, 0);
  settabV(L->top++, h);
  const int ns = 200000;
  std::vector<GcString*> keys;
  for (int i = 0; i < ns; i++) {
    std::string k = "key" + std::to_string(i);
    keys.push_back(kx_str_new(L, k.data(), k.size()));
  }
  GcTable* anchor = kx_tab_new(L, ns + 1, 0);  // keeps the keys alive
  settabV(L->top++, anchor);
  for (int i = 0; i < ns; i++) setstrV(&anchor->array[i + 1], keys[i]);
  double ins_str = ns_per_op(ns, [&] {
    for (int i = 0; i < ns; i++) setnumV(kx_tab_setstr(L, h, keys[i]), i);
  });
  double get_str = ns_per_op(ns * 5, [&] {
    for (int r = 0; r < 5; r++)
      for (int i = 0; i < ns; i++) sink = sink + kx_tab_getstr(h, keys[i])->n;
  });
  double miss_str = ns_per_op(ns, [&] {
    GcTable* empty = kx_tab_new(L, 0, 4);
    for (int i = 0; i < ns; i++) sink = sink + (kx_tab_getstr(empty, keys[i]) != nullptr);
  });
  printf("integer keys: insert %.1f ns, lookup %.1f ns (%d keys)\n", ins_int, get_int, n);
  printf("string keys:  insert %.1f ns, lookup %.1f ns, miss %.1f ns (%d keys)\n", ins_str, get_str, miss_str, ns);
  lua_close(L);
  return 0;
}
