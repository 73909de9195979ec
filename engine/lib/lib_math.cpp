// The math library: interpreter fast paths over doubles with handlers that only convert arguments, and
// the random-number generator on a state of the library's own.
#include <cmath>

#include "core/err.h"
#include "core/prng.h"
#include "lib/builtins.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "lualib.h"
#include "vm/ffid.h"

// ---- Fast paths ------------------------------------------------------------------------------------------

// Results of the C library may carry any NaN; the engine only stores its canonical one.
static inline int ret_num(Value* base, double x) {
  setnumV_canon(base, x);
  return 1;
}

#define KX_MATH_FF1(name, expr)                                      \
  int kx_ff_math_##name(lua_State* L, Value* base, uint32_t nargs) { \
    if (nargs < 1 || !tv_isnum(base)) return KX_FF_FALLBACK;         \
    double x = numV(base);                                           \
    return ret_num(base, expr);                                      \
  }

#define KX_MATH_FF2(name, expr)                                                      \
  int kx_ff_math_##name(lua_State* L, Value* base, uint32_t nargs) {                 \
    if (nargs < 2 || !tv_isnum(base) || !tv_isnum(base + 1)) return KX_FF_FALLBACK; \
    double x = numV(base), y = numV(base + 1);                                       \
    return ret_num(base, expr);                                                      \
  }

KX_MATH_FF1(abs, std::fabs(x))
KX_MATH_FF1(floor, std::floor(x))
KX_MATH_FF1(ceil, std::ceil(x))
KX_MATH_FF1(sqrt, std::sqrt(x))
KX_MATH_FF1(log10, std::log10(x))
KX_MATH_FF1(exp, std::exp(x))
KX_MATH_FF1(sin, std::sin(x))
KX_MATH_FF1(cos, std::cos(x))
KX_MATH_FF1(tan, std::tan(x))
KX_MATH_FF1(asin, std::asin(x))
KX_MATH_FF1(acos, std::acos(x))
KX_MATH_FF1(atan, std::atan(x))
KX_MATH_FF1(sinh, std::sinh(x))
KX_MATH_FF1(cosh, std::cosh(x))
KX_MATH_FF1(tanh, std::tanh(x))
KX_MATH_FF2(atan2, std::atan2(x, y))
KX_MATH_FF2(pow, std::pow(x, y))
KX_MATH_FF2(fmod, std::fmod(x, y))

// An exponent for ldexp: truncated, saturating far beyond any exponent that still changes the result.
static inline int ldexp_exp(double e) {
  if (e >= 1e6) return 1000000;
  if (e <= -1e6 || e != e) return -1000000;
  return static_cast<int>(e);
}

KX_MATH_FF2(ldexp, std::ldexp(x, ldexp_exp(y)))

static double log_base(double x, double b) {
  double inv = 1.0 / std::log(b);
  return inv * std::log(x);
}

int kx_ff_math_log(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !tv_isnum(base)) return KX_FF_FALLBACK;
  if (nargs == 1) return ret_num(base, std::log(numV(base)));
  if (!tv_isnum(base + 1)) return KX_FF_FALLBACK;
  return ret_num(base, log_base(numV(base), numV(base + 1)));
}

// m, e with x = m * 2^e and 0.5 <= |m| < 1, exact on every double; 0, infinities and NaN give x, 0.
static double frexp_exact(double x, int32_t* e) {
  Value v;
  v.n = x;
  uint32_t bexp = (v.w.hi >> 20) & 0x7ff;
  *e = 0;
  if (bexp == 0x7ff || x == 0) return x;
  if (bexp == 0) {  // subnormal: scale into the normal range first
    v.n = x * 18014398509481984.0;  // 2^54
    bexp = (v.w.hi >> 20) & 0x7ff;
    *e = -54;
  }
  *e += static_cast<int32_t>(bexp) - 1022;
  v.w.hi = (v.w.hi & 0x800fffff) | (1022u << 20);
  return v.n;
}

int kx_ff_math_frexp(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !tv_isnum(base)) return KX_FF_FALLBACK;
  int32_t e;
  setnumV(base, frexp_exact(numV(base), &e));
  setnumV(base + 1, e);
  return 2;
}

int kx_ff_math_modf(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !tv_isnum(base)) return KX_FF_FALLBACK;
  double x = numV(base);
  double ip = std::trunc(x);
  double fp = std::isinf(x) ? 0.0 : std::copysign(x - ip, x);
  setnumV(base, ip);
  setnumV(base + 1, fp);
  return 2;
}

static inline bool all_numbers(const Value* base, uint32_t nargs) {
  for (uint32_t i = 0; i < nargs; i++)
    if (!tv_isnum(base + i)) return false;
  return true;
}

int kx_ff_math_min(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !all_numbers(base, nargs)) return KX_FF_FALLBACK;
  double m = numV(base);
  for (uint32_t i = 1; i < nargs; i++)
    if (numV(base + i) < m) m = numV(base + i);
  return ret_num(base, m);
}

int kx_ff_math_max(lua_State* L, Value* base, uint32_t nargs) {
  if (nargs < 1 || !all_numbers(base, nargs)) return KX_FF_FALLBACK;
  double m = numV(base);
  for (uint32_t i = 1; i < nargs; i++)
    if (numV(base + i) > m) m = numV(base + i);
  return ret_num(base, m);
}

// ---- Fallback handlers: convert the arguments, then the fast path runs again ------------------------------

static int convert_args(lua_State* L, int n) {
  for (int i = 1; i <= n; i++) kx_lib_checknum(L, i);
  return KX_FFH_RETRY;
}

static int kx_ffh_math_abs(lua_State* L) { return convert_args(L, 1); }
static int kx_ffh_math_sqrt(lua_State* L) { return convert_args(L, 1); }
static int kx_ffh_math_atan2(lua_State* L) { return convert_args(L, 2); }
static int kx_ffh_math_ldexp(lua_State* L) { return convert_args(L, 2); }

static int kx_ffh_math_min(lua_State* L) {
  int n = static_cast<int>(L->top - L->base);
  return convert_args(L, n > 0 ? n : 1);
}

static int kx_ffh_math_log(lua_State* L) {
  double x = kx_lib_checknum(L, 1);
  if (L->top - L->base < 2) return KX_FFH_RETRY;
  double b = kx_lib_checknum(L, 2);
  lua_pushnumber(L, log_base(x, b));
  return kx_ffh_results(1);
}

// ---- Random numbers -----------------------------------------------------------------------------------------

// The state before any seeding: every unseeded program draws the same sequence.
static const PrngState initial_state = {
    {0xA0D277570A345B8Cull, 0x764A296C5D4AA64Full, 0x51220704070ADEAAull, 0x2A2717B5A7B7B927ull}};

static PrngState* rng_state(lua_State* L) { return static_cast<PrngState*>(lua_touserdata(L, lua_upvalueindex(1))); }

static int kx_cf_math_random(lua_State* L) {
  Value r;
  r.u64 = kx_prng_u64d(rng_state(L));
  double d = r.n - 1.0;
  int nargs = static_cast<int>(L->top - L->base);
  if (nargs >= 2) {
    double m = kx_lib_checknum(L, 1);
    double n = kx_lib_checknum(L, 2);
    d = std::floor(d * (n - m + 1.0)) + m;
  } else if (nargs == 1) {
    d = std::floor(d * kx_lib_checknum(L, 1)) + 1.0;
  }
  lua_pushnumber(L, d);
  return 1;
}

static int kx_cf_math_randomseed(lua_State* L) {
  PrngState* rs = rng_state(L);
  if (L->top == L->base) {
    if (!kx_prng_seed_secure(rs)) kx_err_caller(L, KX_ERR_PrngSeedFailed);
    return 0;
  }
  Value d;
  d.n = kx_lib_checknum(L, 1);
  // Each generator word needs a minimum value (2^1, 2^6, 2^9, 2^17) to run with full period.
  uint32_t shifts = 0x11090601;
  for (int i = 0; i < 4; i++, shifts >>= 8) {
    uint64_t m = 1ull << (shifts & 0xff);
    d.n = d.n * 3.141592653589793 + 2.718281828459045;
    rs->u[i] = d.u64 < m ? d.u64 + m : d.u64;
  }
  for (int i = 0; i < 10; i++) kx_prng_u64(rs);
  return 0;
}

// ---- Registration -------------------------------------------------------------------------------------------

static constexpr BcBuiltin kx_lib_bc_math[] = {
    {"deg", kx_builtins::deg.data(), kx_builtins::deg.size()},
    {"rad", kx_builtins::rad.data(), kx_builtins::rad.size()},
};

KX_LIBDEF_L(kx_lib_init_math, kx_lib_bc_math, "math");

static const lua_CFunction kx_lib_cf_math[] = {
    kx_ffh_math_abs, kx_ffh_math_sqrt, kx_ffh_math_log, kx_ffh_math_atan2,
    kx_ffh_math_ldexp, kx_ffh_math_min, kx_cf_math_random, kx_cf_math_randomseed,
};

extern "C" int luaopen_math(lua_State* L) {
  PrngState* rs = static_cast<PrngState*>(lua_newuserdata(L, sizeof(PrngState)));
  *rs = initial_state;
  kx_lib_register(L, LUA_MATHLIBNAME, kx_lib_init_math.data(), kx_lib_cf_math);
  return 1;
}
