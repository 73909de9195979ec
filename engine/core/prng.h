// The engine's random-number generator: four combined 64-bit Tausworthe generators. It seeds the
// string hash and identity numbers; math.random runs the same algorithm on a state of its own.
#pragma once

#include <cstdint>

struct PrngState {
  uint64_t u[4];
};

// Fills the state from the operating system's secure random source; false when that fails.
bool kx_prng_seed_secure(PrngState* rs);
uint64_t kx_prng_u64(PrngState* rs);
// Bits of a double uniformly distributed in [1, 2).
uint64_t kx_prng_u64d(PrngState* rs);
