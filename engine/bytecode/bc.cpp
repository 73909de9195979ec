#include "bytecode/bc.h"

#include "core/state.h"

// Metamethod numbers under their short names, for the descriptor list.
enum : uint32_t {
  BCMMindex = MM_index, BCMMnewindex = MM_newindex, BCMMgc = MM_gc, BCMMeq = MM_eq, BCMMlen = MM_len,
  BCMMlt = MM_lt, BCMMle = MM_le, BCMMconcat = MM_concat, BCMMcall = MM_call, BCMMadd = MM_add,
  BCMMsub = MM_sub, BCMMmul = MM_mul, BCMMdiv = MM_div, BCMMmod = MM_mod, BCMMpow = MM_pow,
  BCMMunm = MM_unm, BCMM___ = KX_MM_NONE
};

const uint16_t kx_bc_mode[BC__MAX] = {
#define BCMODE(name, ma, mb, mc, mm) \
  static_cast<uint16_t>(BCM##ma | (BCM##mb << 3) | (BCM##mc << 7) | (BCMM##mm << 11)),
    KX_BCDEF(BCMODE)
#undef BCMODE
};

const char* const kx_bc_names[BC__MAX] = {
#define BCNAME(name, ma, mb, mc, mm) #name,
    KX_BCDEF(BCNAME)
#undef BCNAME
};
