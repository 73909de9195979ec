// Time per interned string for strings whose sparse hashes all collide (the table switches their
// chain to the dense hash) and for ordinary distinct strings. Not a test: run it by hand from the
// build directory (tests/intern_bench).
#include <chrono>
#include <cstdio>
#include <string>

#include "lauxlib.h"
#include "lua.h"

namespace {

constexpr int kCount = 100000;

// 200-byte strings that differ only in bytes the sparse hash never reads.
std::string colliding(int i) {
  std::string s(200, 'a');
  for (int k = 0; k < 4; k++, i /= 26) s[120 + k] = static_cast<char>('A' + i % 26);
  return s;
}

std::string ordinary(int i) { return std::string(180, 'a') + std::to_string(i); }

// Nanoseconds per string for interning kCount strings and keeping them alive in a table.
template <typename Make>
double ns_per_string(Make make) {
  lua_State* L = luaL_newstate();
  lua_createtable(L, kCount, 0);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kCount; i++) {
    std::string s = make(i);
    lua_pushlstring(L, s.data(), s.size());
    lua_rawseti(L, -2, i + 1);
  }
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  lua_close(L);
  return ns / kCount;
}

}  // namespace

int main() {
  printf("colliding sparse hashes: %8.1f ns per string\n", ns_per_string(colliding));
  printf("ordinary strings:        %8.1f ns per string\n", ns_per_string(ordinary));
  return 0;
}
