// The arithmetic of the interpreter, shared with the compiler's constant folding so that folded
// constants equal run-time results.
#pragma once

#include <cmath>

#include "core/value.h"

// floor(q) formed exactly for |q| < 2^52 by rounding through 2^52; larger values are integers.
inline double kx_arith_floordiv(double q) {
  const double two52 = 4503599627370496.0;
  double a = std::fabs(q);
  if (!(a < two52)) return q;
  double t = (a + two52) - two52;
  t = std::copysign(t, q);
  if (t > q) t -= 1.0;
  return t;
}

// a % b = a - floor(a / b) * b.
inline double kx_arith_mod(double a, double b) { return a - kx_arith_floordiv(a / b) * b; }

// Arithmetic operator numbers: add, sub, mul, div, mod, pow, unm (the order of the metamethods).
enum ArithOp : uint32_t { KX_ARITH_ADD, KX_ARITH_SUB, KX_ARITH_MUL, KX_ARITH_DIV, KX_ARITH_MOD, KX_ARITH_POW, KX_ARITH_UNM };

inline double kx_arith_num(uint32_t op, double a, double b) {
  switch (op) {
    case KX_ARITH_ADD: return a + b;
    case KX_ARITH_SUB: return a - b;
    case KX_ARITH_MUL: return a * b;
    case KX_ARITH_DIV: return a / b;
    case KX_ARITH_MOD: return kx_arith_mod(a, b);
    case KX_ARITH_POW: return std::pow(a, b);
    default: return -a;
  }
}

// Bitwise operator numbers, in the order of their instructions.
enum BitOp : uint32_t { KX_BIT_NOT, KX_BIT_AND, KX_BIT_OR, KX_BIT_XOR, KX_BIT_SHL, KX_BIT_SHR, KX_BIT_SAR };

inline double kx_arith_bit(uint32_t op, double a, double b) {
  uint32_t x = static_cast<uint32_t>(kx_num2bit(a)), y = static_cast<uint32_t>(kx_num2bit(b));
  uint32_t r;
  switch (op) {
    case KX_BIT_NOT: r = ~x; break;
    case KX_BIT_AND: r = x & y; break;
    case KX_BIT_OR: r = x | y; break;
    case KX_BIT_XOR: r = x ^ y; break;
    case KX_BIT_SHL: r = x << (y & 31); break;
    case KX_BIT_SHR: r = x >> (y & 31); break;
    default: r = static_cast<uint32_t>(static_cast<int32_t>(x) >> (y & 31)); break;
  }
  return static_cast<double>(static_cast<int32_t>(r));
}
