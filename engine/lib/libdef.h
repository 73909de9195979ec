// Library definition streams, written as readable text and turned into their byte form at compile time.
//
// The text is a sequence of whitespace-separated items after a header of three numbers (first
// fast-function id, first fast-entry index, size hint of the table):
//   C name      a C function            F name     a fast-path function
//   F* name     a fast-path function sharing the previous function's handler
//   str word    push a string ("" is the empty string)
//   num x       push a number (an integer, pi or huge)
//   copy n      push a copy of the n-th value from the top
//   last        push the last created function
//   set         store the value below the top under the key on top
//   R           reserve a fast-function id
//   L name      a function in the engine's bytecode, taken from the built-ins given to the stream
// A name of "-" creates a function without storing it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "lib/bcasm.h"
#include "lib/lib.h"

namespace kx_libdef {

struct Out {
  uint8_t* p;
  size_t n;
  constexpr void put(uint8_t b) {
    if (p) p[n] = b;
    n++;
  }
};

using kx_bcasm::Token;

constexpr bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == ';'; }

struct Lexer {
  const char* p;
  constexpr Token next() {
    while (*p && is_space(*p)) p++;
    const char* s = p;
    while (*p && !is_space(*p)) p++;
    return Token{s, static_cast<size_t>(p - s)};
  }
};

constexpr uint32_t to_uint(Token t) {
  uint32_t v = 0;
  for (size_t i = 0; i < t.len; i++) v = v * 10 + static_cast<uint32_t>(t.s[i] - '0');
  return v;
}

constexpr double to_double(Token t) {
  if (t.is("pi")) return 3.14159265358979323846;
  if (t.is("huge")) return __builtin_inf();
  return static_cast<double>(to_uint(t));
}

constexpr void put_name(Out& o, uint8_t tag, Token name) {
  if (name.is("-")) name.len = 0;
  o.put(static_cast<uint8_t>(tag | name.len));
  for (size_t i = 0; i < name.len; i++) o.put(static_cast<uint8_t>(name.s[i]));
}

constexpr const BcBuiltin& find_builtin(Token name, const BcBuiltin* builtins, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (name.is(builtins[i].name)) return builtins[i];
  throw "unknown built-in Lua function";
}

// Encodes the text into out (or only counts the bytes when out is null); returns the byte count.
constexpr size_t encode(const char* src, uint8_t* out, const BcBuiltin* builtins = nullptr, size_t nbuiltins = 0) {
  Out o{out, 0};
  Lexer lx{src};
  for (int i = 0; i < 3; i++) o.put(static_cast<uint8_t>(to_uint(lx.next())));
  for (Token t = lx.next(); t.len; t = lx.next()) {
    if (t.is("C")) {
      put_name(o, KX_LIBTAG_CFUNC, lx.next());
    } else if (t.is("F")) {
      put_name(o, KX_LIBTAG_FASTFUNC, lx.next());
    } else if (t.is("F*")) {
      put_name(o, KX_LIBTAG_FASTSHARED, lx.next());
    } else if (t.is("str")) {
      Token s = lx.next();
      if (s.is("\"\"")) s.len = 0;
      put_name(o, KX_LIBTAG_STR, s);
    } else if (t.is("num")) {
      uint64_t bits = std::bit_cast<uint64_t>(to_double(lx.next()));
      o.put(KX_LIBTAG_NUM);
      for (int i = 0; i < 8; i++) o.put(static_cast<uint8_t>(bits >> (8 * i)));
    } else if (t.is("copy")) {
      o.put(KX_LIBTAG_COPY);
      o.put(static_cast<uint8_t>(to_uint(lx.next())));
    } else if (t.is("last")) {
      o.put(KX_LIBTAG_LAST);
    } else if (t.is("set")) {
      o.put(KX_LIBTAG_SET);
    } else if (t.is("R")) {
      o.put(KX_LIBTAG_RESERVE);
    } else if (t.is("L")) {
      Token name = lx.next();
      const BcBuiltin& b = find_builtin(name, builtins, nbuiltins);
      o.put(KX_LIBTAG_LUAFUNC);
      o.put(static_cast<uint8_t>(name.len));
      for (size_t i = 0; i < name.len; i++) o.put(static_cast<uint8_t>(name.s[i]));
      for (uint32_t i = 0; i < b.size; i++) o.put(b.body[i]);
    } else {
      throw "unknown library definition item";
    }
  }
  o.put(KX_LIBTAG_END);
  return o.n;
}

template <size_t N>
constexpr std::array<uint8_t, N> build(const char* src, const BcBuiltin* builtins = nullptr, size_t nbuiltins = 0) {
  std::array<uint8_t, N> a{};
  encode(src, a.data(), builtins, nbuiltins);
  return a;
}

}  // namespace kx_libdef

#define KX_LIBDEF(name, text)                        \
  static constexpr const char name##_text[] = text; \
  static constexpr auto name = kx_libdef::build<kx_libdef::encode(name##_text, nullptr)>(name##_text)

// A stream with L items, whose bodies come from the array of BcBuiltin named builtins.
#define KX_LIBDEF_L(name, builtins, text)                                                                   \
  static constexpr const char name##_text[] = text;                                                        \
  static constexpr auto name = kx_libdef::build<kx_libdef::encode(                                         \
      name##_text, nullptr, builtins, sizeof(builtins) / sizeof(BcBuiltin))>(name##_text, builtins,      \
                                                                              sizeof(builtins) / sizeof(BcBuiltin))
