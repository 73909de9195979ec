// A compile-time assembler for the library functions written in the engine's own bytecode. They use
// instructions the compiler never emits (type checks, raw table access), so they are written as
// instruction text and turned into stripped prototype bodies of the dump format when the engine is
// built.
//
// Text: one instruction per line or ';'-separated, "OP a b c" (three-operand form) or "OP a d".
// Operands are integers, "@label" (a jump target, defined by a line "@label:"), "#k" (number
// constant k of the function), "nil"/"false"/"true" for primitives and type names for ISTYPE.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "bytecode/bc.h"

namespace kx_bcasm {

struct Op {
  const char* name;
  bool hasd;
};

constexpr Op ops[] = {
#define BCASM_OP(name, ma, mb, mc, mm) {#name, BCM##mb == BCMnone},
    KX_BCDEF(BCASM_OP)
#undef BCASM_OP
};

struct Token {
  const char* s;
  size_t len;
  constexpr bool is(const char* w) const {
    size_t i = 0;
    for (; w[i]; i++)
      if (i >= len || s[i] != w[i]) return false;
    return i == len;
  }
};

struct Lexer {
  const char* p;
  constexpr bool at_line_end() {
    while (*p == ' ' || *p == '\t') p++;
    return *p == 0 || *p == '\n' || *p == ';';
  }
  constexpr Token next() {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == ';') p++;
    const char* s = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != ';') p++;
    return Token{s, static_cast<size_t>(p - s)};
  }
};

constexpr uint32_t find_op(Token t) {
  for (uint32_t i = 0; i < BC__MAX; i++)
    if (t.is(ops[i].name)) return i;
  throw "unknown opcode";
}

constexpr bool is_label_def(Token t) { return t.len > 1 && t.s[0] == '@' && t.s[t.len - 1] == ':'; }

// The index of the instruction a label names (the header is instruction 0).
constexpr uint32_t label_pc(const char* src, Token ref) {
  Lexer lx{src};
  uint32_t pc = 1;
  for (Token t = lx.next(); t.len; t = lx.next()) {
    if (is_label_def(t)) {
      if (t.len - 1 == ref.len) {
        bool same = true;
        for (size_t i = 0; i < ref.len; i++) same = same && t.s[i] == ref.s[i];
        if (same) return pc;
      }
      continue;
    }
    find_op(t);
    while (!lx.at_line_end()) lx.next();
    pc++;
  }
  throw "undefined label";
}

constexpr uint32_t operand(const char* src, Token t, uint32_t pc) {
  if (t.s[0] == '@') return static_cast<uint32_t>(static_cast<int32_t>(label_pc(src, t)) - static_cast<int32_t>(pc + 1) + 0x8000);
  if (t.s[0] == '#') t = Token{t.s + 1, t.len - 1};
  if (t.is("nil")) return 0;
  if (t.is("false")) return 1;
  if (t.is("true")) return 2;
  if (t.is("string")) return KX_ISTR;
  if (t.is("function")) return KX_IFUNC;
  if (t.is("table")) return KX_ITAB;
  bool neg = t.s[0] == '-';
  int32_t v = 0;
  for (size_t i = neg ? 1 : 0; i < t.len; i++) {
    if (t.s[i] < '0' || t.s[i] > '9') throw "bad operand";
    v = v * 10 + (t.s[i] - '0');
  }
  return static_cast<uint32_t>(neg ? -v : v) & 0xffff;
}

struct Out {
  uint8_t* p;
  size_t n;
  constexpr void put(uint8_t b) {
    if (p) p[n] = b;
    n++;
  }
  constexpr void uleb(uint64_t v) {
    for (; v >= 0x80; v >>= 7) put(static_cast<uint8_t>((v & 0x7f) | 0x80));
    put(static_cast<uint8_t>(v));
  }
};

constexpr uint32_t count_ins(const char* src) {
  Lexer lx{src};
  uint32_t n = 0;
  for (Token t = lx.next(); t.len; t = lx.next()) {
    if (is_label_def(t)) continue;
    while (!lx.at_line_end()) lx.next();
    n++;
  }
  return n;
}

// The prototype body of the dump format for a stripped, non-vararg function without upvalues or GC
// constants (or only its size when out is null).
constexpr size_t assemble(const char* src, uint8_t nparams, uint8_t framesize, const double* nums, uint32_t nnums,
                          uint8_t* out) {
  Out o{out, 0};
  o.put(0);  // flags
  o.put(nparams);
  o.put(framesize);
  o.put(0);  // upvalues
  o.uleb(0);
  o.uleb(nnums);
  o.uleb(count_ins(src));
  Lexer lx{src};
  uint32_t pc = 1;
  for (Token t = lx.next(); t.len; t = lx.next()) {
    if (is_label_def(t)) continue;
    uint32_t op = find_op(t);
    uint32_t v[3] = {0, 0, 0};
    int n = 0;
    while (!lx.at_line_end()) v[n++] = operand(src, lx.next(), pc);
    uint32_t ins = ops[op].hasd ? bcins_ad(op, v[0], v[1]) : bcins_abc(op, v[0], v[1], v[2]);
    for (int i = 0; i < 4; i++) o.put(static_cast<uint8_t>(ins >> (8 * i)));
    pc++;
  }
  for (uint32_t i = 0; i < nnums; i++) {
    uint64_t bits = std::bit_cast<uint64_t>(nums[i]);
    double d = nums[i];
    int32_t k = static_cast<int32_t>(d);
    if (static_cast<double>(k) == d && !(bits >> 63)) {
      o.uleb(static_cast<uint64_t>(static_cast<uint32_t>(k)) << 1);
    } else {
      o.uleb((static_cast<uint64_t>(static_cast<uint32_t>(bits)) << 1) | 1);
      o.uleb(bits >> 32);
    }
  }
  return o.n;
}

}  // namespace kx_bcasm

// A built-in Lua function: its name and its prototype body.
struct BcBuiltin {
  const char* name;
  const uint8_t* body;
  uint32_t size;
};

// Defines name as the byte array of an assembled prototype body; nums points at nnums constants.
#define KX_BCASM(name, nparams, framesize, nums, nnums, text)                                    \
  static constexpr const char name##_text[] = text;                                              \
  static constexpr auto name = [] {                                                              \
    constexpr size_t n = kx_bcasm::assemble(name##_text, nparams, framesize, nums, nnums, nullptr); \
    std::array<uint8_t, n> a{};                                                                  \
    kx_bcasm::assemble(name##_text, nparams, framesize, nums, nnums, a.data());                  \
    return a;                                                                                    \
  }()
