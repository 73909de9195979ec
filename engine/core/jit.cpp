// Start-up state of the trace compiler's controls.
#include "core/jit.h"

#include <cpuid.h>

static uint32_t cpu_features() {
  unsigned a, b, c, d;
  uint32_t f = 0;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    if (c & (1u << 0)) f |= KX_JIT_F_SSE3;
    if (c & (1u << 19)) f |= KX_JIT_F_SSE4_1;
  }
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    if (b & (1u << 8)) f |= KX_JIT_F_BMI2;
  }
  return f;
}

void kx_jit_init(JitState* js) {
  js->flags = cpu_features() | KX_JIT_F_ON | KX_JIT_F_OPT_DEFAULT;
  static const int32_t defaults[] = {
#define KX_JIT_PARAM_DEFAULT(name, def) def,
      KX_JIT_PARAMS(KX_JIT_PARAM_DEFAULT)
#undef KX_JIT_PARAM_DEFAULT
  };
  for (uint32_t i = 0; i < KX_JIT_P__MAX; i++) js->param[i] = defaults[i];
}
