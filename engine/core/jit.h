// Control state of the trace compiler: the flags word and the numeric parameters.
//
// The engine runs everything in the interpreter. This state records what scripts and embedders ask
// of a compiler (on or off, optimisations, parameters), so that the control surface reads back what
// was set; nothing else consults it.
#pragma once

#include <cstdint>

// Flags word: bit 0 compiler on, bits 4-6 processor features, bits 16-26 optimisations.
enum : uint32_t {
  KX_JIT_F_ON = 0x1,
  KX_JIT_F_SSE3 = 0x10,
  KX_JIT_F_SSE4_1 = 0x20,
  KX_JIT_F_BMI2 = 0x40,
  KX_JIT_F_CPU = 0x70,
  KX_JIT_F_OPT_FIRST = 0x10000,   // the first optimisation flag; the others follow bit by bit
  KX_JIT_F_OPT = 0xfff0000,       // the bits a level replaces
  KX_JIT_F_OPT_DEFAULT = 0x3ff0000,
};

// Optimisation flags in bit order from KX_JIT_F_OPT_FIRST.
#define KX_JIT_OPTFLAGS(_) _(fold) _(cse) _(dce) _(fwd) _(dse) _(narrow) _(loop) _(abc) _(sink) _(fuse) _(fma)

// Numeric parameters with their defaults, in index order.
#define KX_JIT_PARAMS(_)                                                                                   \
  _(maxtrace, 1000) _(maxrecord, 4000) _(maxirconst, 500) _(maxside, 100) _(maxsnap, 500) _(minstitch, 0) \
  _(hotloop, 56) _(hotexit, 10) _(tryside, 4) _(instunroll, 4) _(loopunroll, 15) _(callunroll, 3)        \
  _(recunroll, 2) _(sizemcode, 64) _(maxmcode, 2048)

enum JitParam : uint32_t {
#define KX_JIT_PARAM_ENUM(name, def) KX_JIT_P_##name,
  KX_JIT_PARAMS(KX_JIT_PARAM_ENUM)
#undef KX_JIT_PARAM_ENUM
  KX_JIT_P__MAX
};

struct JitState {
  uint32_t flags;
  int32_t param[KX_JIT_P__MAX];
};

// Flags and parameters at start-up: the processor's features, the compiler on, every optimisation
// but fma, the default parameters.
void kx_jit_init(JitState* js);
