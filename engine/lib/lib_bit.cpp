// The bit library: operations on numbers normalised to signed 32-bit integers.
#include <bit>

#include "core/str.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/ffid.h"

// ---- Fast paths ------------------------------------------------------------------------------------------

static inline uint32_t tobit(const Value* v) { return static_cast<uint32_t>(kx_num2bit(numV(v))); }

static inline int ret_bits(Value* base, uint32_t x) {
  setnumV(base, static_cast<int32_t>(x));
  return 1;
}

#define KX_BIT_FF1(name, expr)                                      \
  int kx_ff_bit_##name(lua_State* L, Value* base, uint32_t nargs) { \
    if (nargs < 1 || !tv_isnum(base)) return KX_FF_FALLBACK;        \
    uint32_t x = tobit(base);                                       \
    return ret_bits(base, expr);                                    \
  }

// Only the low five bits of the count matter.
#define KX_BIT_FFSHIFT(name, expr)                                                   \
  int kx_ff_bit_##name(lua_State* L, Value* base, uint32_t nargs) {                  \
    if (nargs < 2 || !tv_isnum(base) || !tv_isnum(base + 1)) return KX_FF_FALLBACK; \
    uint32_t x = tobit(base), n = tobit(base + 1) & 31;                              \
    return ret_bits(base, expr);                                                     \
  }

#define KX_BIT_FFN(name, op)                                        \
  int kx_ff_bit_##name(lua_State* L, Value* base, uint32_t nargs) { \
    if (nargs < 1) return KX_FF_FALLBACK;                           \
    for (uint32_t i = 0; i < nargs; i++)                            \
      if (!tv_isnum(base + i)) return KX_FF_FALLBACK;               \
    uint32_t x = tobit(base);                                       \
    for (uint32_t i = 1; i < nargs; i++) x op tobit(base + i);      \
    return ret_bits(base, x);                                       \
  }

KX_BIT_FF1(tobit, x)
KX_BIT_FF1(bnot, ~x)
KX_BIT_FF1(bswap, __builtin_bswap32(x))
KX_BIT_FFSHIFT(lshift, x << n)
KX_BIT_FFSHIFT(rshift, x >> n)
KX_BIT_FFSHIFT(arshift, static_cast<uint32_t>(static_cast<int32_t>(x) >> n))
KX_BIT_FFSHIFT(rol, std::rotl(x, static_cast<int>(n)))
KX_BIT_FFSHIFT(ror, std::rotr(x, static_cast<int>(n)))
KX_BIT_FFN(band, &=)
KX_BIT_FFN(bor, |=)
KX_BIT_FFN(bxor, ^=)

// ---- Fallback handlers: convert numeric strings, then the fast path runs again ---------------------------

static int convert_args(lua_State* L, int n) {
  for (int i = 1; i <= n; i++) kx_lib_checknum(L, i);
  return KX_FFH_RETRY;
}

static int kx_ffh_bit_tobit(lua_State* L) { return convert_args(L, 1); }
static int kx_ffh_bit_bnot(lua_State* L) { return convert_args(L, 1); }
static int kx_ffh_bit_bswap(lua_State* L) { return convert_args(L, 1); }
static int kx_ffh_bit_lshift(lua_State* L) { return convert_args(L, 2); }

static int kx_ffh_bit_band(lua_State* L) {
  int n = static_cast<int>(L->top - L->base);
  return convert_args(L, n > 0 ? n : 1);
}

// ---- tohex ----------------------------------------------------------------------------------------------------

constexpr uint32_t KX_TOHEX_MAXDIGITS = 254;

static int kx_cf_bit_tohex(lua_State* L) {
  uint32_t x = static_cast<uint32_t>(kx_num2bit(kx_lib_checknum(L, 1)));
  int32_t n = kx_lib_optint(L, 2, 8);
  const char* digits = "0123456789abcdef";
  uint32_t len = static_cast<uint32_t>(n);
  if (n < 0) {
    digits = "0123456789ABCDEF";
    len = 0u - len;  // in unsigned arithmetic, so that -2^31 has a magnitude too
  }
  if (len > KX_TOHEX_MAXDIGITS) len = KX_TOHEX_MAXDIGITS;
  if (len < 8) x &= (1u << (4 * len)) - 1;
  char buf[KX_TOHEX_MAXDIGITS];
  for (uint32_t i = len; i > 0; i--, x >>= 4) buf[i - 1] = digits[x & 15];
  lua_pushlstring(L, buf, len);
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------------------

KX_LIBDEF(kx_lib_init_bit, "bit");

static const lua_CFunction kx_lib_cf_bit[] = {
    kx_ffh_bit_tobit, kx_ffh_bit_bnot, kx_ffh_bit_bswap, kx_ffh_bit_lshift, kx_ffh_bit_band, kx_cf_bit_tohex,
};

extern "C" int luaopen_bit(lua_State* L) {
  kx_lib_register(L, LUA_BITLIBNAME, kx_lib_init_bit.data(), kx_lib_cf_bit);
  return 1;
}
