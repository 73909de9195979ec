// The instruction word: its fields and how to build one. Opcodes and operand kinds are the
// bytecode's (bytecode/bc.h); the word itself is known below it too, since frames link back to the
// calling instruction.
#pragma once

#include "core/value.h"

// Instruction word: OP bits 0-7, A bits 8-15, C bits 16-23, B bits 24-31; D (bits 16-31) overlays
// B and C as D = C + 256 * B.
inline uint32_t bc_op(Instr i) { return i & 0xff; }
inline uint32_t bc_a(Instr i) { return (i >> 8) & 0xff; }
inline uint32_t bc_b(Instr i) { return i >> 24; }
inline uint32_t bc_c(Instr i) { return (i >> 16) & 0xff; }
inline uint32_t bc_d(Instr i) { return i >> 16; }
// Signed jump offset of a D operand of kind jump.
inline int32_t bc_j(Instr i) { return static_cast<int32_t>(bc_d(i)) - 0x8000; }

inline void setbc_op(Instr* p, uint32_t x) { *p = (*p & ~0xffu) | x; }
inline void setbc_a(Instr* p, uint32_t x) { *p = (*p & ~0xff00u) | (x << 8); }
inline void setbc_b(Instr* p, uint32_t x) { *p = (*p & 0x00ffffffu) | (x << 24); }
inline void setbc_c(Instr* p, uint32_t x) { *p = (*p & ~0xff0000u) | (x << 16); }
inline void setbc_d(Instr* p, uint32_t x) { *p = (*p & 0xffffu) | (x << 16); }
inline void setbc_j(Instr* p, int32_t j) { setbc_d(p, static_cast<uint32_t>(j + 0x8000)); }

inline constexpr Instr bcins_ad(uint32_t op, uint32_t a, uint32_t d) { return op | (a << 8) | (d << 16); }
inline constexpr Instr bcins_abc(uint32_t op, uint32_t a, uint32_t b, uint32_t c) {
  return op | (a << 8) | (b << 24) | (c << 16);
}

constexpr uint32_t KX_BCBIAS_J = 0x8000;
constexpr uint32_t KX_BCMAX_A = 0xff, KX_BCMAX_B = 0xff, KX_BCMAX_C = 0xff, KX_BCMAX_D = 0xffff;
