// The bit library: operations on numbers normalised to signed 32-bit integers.
#include <bit>

#include "core/cdata.h"
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

// ---- 64-bit operands ---------------------------------------------------------------------------------------

// The kind of argument n as a 64-bit integer operand (numbers are truncated); a value that is neither a
// number nor a numeric C data object is the type error "number".
static CdataIntKind arg64(lua_State* L, int n, uint64_t* v) {
  const Value* o = L->base + n - 1;
  if (o < L->top && tv_iscdata(o)) {
    CdataIntKind kind = kx_cdata_int64(G(L), cdataV(o), v);
    if (kind != KX_CINT_NONE) return kind;
  }
  double x = kx_lib_checknum(L, n);
  *v = x >= -9223372036854775808.0 && x < 9223372036854775808.0 ? uint64_t(int64_t(x)) : 0x8000000000000000ull;
  return KX_CINT_OTHER;
}

// Whether a 64-bit integer C data object is among the first n arguments.
static bool any64(lua_State* L, int n) {
  for (int i = 0; i < n && L->base + i < L->top; i++) {
    uint64_t v;
    if (tv_iscdata(L->base + i) && kx_cdata_int64(G(L), cdataV(L->base + i), &v) >= KX_CINT_I64) return true;
  }
  return false;
}

static int ret64(lua_State* L, uint64_t v, bool uns) {
  setcdataV(L->top, kx_cdata_newconst(L, uns ? KX_CTID_UINT64 : KX_CTID_INT64, &v));
  kx_state_incr_top(L);
  return kx_ffh_results(1);
}

// ---- Fallback handlers: convert numeric strings, then the fast path runs again; or compute on 64 bits ----

static int convert_args(lua_State* L, int n) {
  for (int i = 1; i <= n; i++) kx_lib_checknum(L, i);
  return KX_FFH_RETRY;
}

static inline uint32_t curr_ffid(lua_State* L) { return funcV(L->base - 1)->ffid; }

// tobit of C data: the low 32 bits as a number.
static int kx_ffh_bit_tobit(lua_State* L) {
  const Value* o = L->base;
  uint64_t v;
  if (o < L->top && tv_iscdata(o) && kx_cdata_int64(G(L), cdataV(o), &v) != KX_CINT_NONE) {
    lua_pushnumber(L, static_cast<int32_t>(static_cast<uint32_t>(v)));
    return kx_ffh_results(1);
  }
  return convert_args(L, 1);
}

static int kx_ffh_bit_bnot(lua_State* L) {
  if (!any64(L, 1)) return convert_args(L, 1);
  uint64_t x;
  CdataIntKind k = arg64(L, 1, &x);
  return ret64(L, ~x, k == KX_CINT_U64);
}

static int kx_ffh_bit_bswap(lua_State* L) {
  if (!any64(L, 1)) return convert_args(L, 1);
  uint64_t x;
  CdataIntKind k = arg64(L, 1, &x);
  return ret64(L, __builtin_bswap64(x), k == KX_CINT_U64);
}

// Shifts and rotations: the count modulo 64, the result of the type of the shifted value.
static int kx_ffh_bit_lshift(lua_State* L) {
  if (!any64(L, 2)) return convert_args(L, 2);
  uint64_t x, n;
  CdataIntKind k = arg64(L, 1, &x);
  arg64(L, 2, &n);
  n &= 63;
  uint64_t r;
  switch (curr_ffid(L)) {
    case KX_FFID_bit_lshift: r = x << n; break;
    case KX_FFID_bit_rshift: r = x >> n; break;
    case KX_FFID_bit_arshift: r = static_cast<uint64_t>(static_cast<int64_t>(x) >> n); break;
    case KX_FFID_bit_rol: r = std::rotl(x, static_cast<int>(n)); break;
    default: r = std::rotr(x, static_cast<int>(n)); break;
  }
  return ret64(L, r, k == KX_CINT_U64);
}

// and, or, xor: unsigned when any operand is an unsigned 64-bit integer.
static int kx_ffh_bit_band(lua_State* L) {
  int n = static_cast<int>(L->top - L->base);
  if (!any64(L, n)) return convert_args(L, n > 0 ? n : 1);
  uint32_t ffid = curr_ffid(L);
  uint64_t r;
  bool uns = arg64(L, 1, &r) == KX_CINT_U64;
  for (int i = 2; i <= n; i++) {
    uint64_t y;
    uns |= arg64(L, i, &y) == KX_CINT_U64;
    r = ffid == KX_FFID_bit_band ? r & y : ffid == KX_FFID_bit_bor ? r | y : r ^ y;
  }
  return ret64(L, r, uns);
}

// ---- tohex ----------------------------------------------------------------------------------------------------

constexpr uint32_t KX_TOHEX_MAXDIGITS = 254;

// x normalised to 32 bits, or all 64 bits of a 64-bit C data object (whose default is 16 digits).
static int kx_cf_bit_tohex(lua_State* L) {
  uint64_t x;
  bool wide = any64(L, 1);
  if (wide) arg64(L, 1, &x);
  else x = static_cast<uint32_t>(kx_num2bit(kx_lib_checknum(L, 1)));
  int32_t n = kx_lib_optint(L, 2, wide ? 16 : 8);
  const char* digits = "0123456789abcdef";
  uint32_t len = static_cast<uint32_t>(n);
  if (n < 0) {
    digits = "0123456789ABCDEF";
    len = 0u - len;  // in unsigned arithmetic, so that -2^31 has a magnitude too
  }
  if (len > KX_TOHEX_MAXDIGITS) len = KX_TOHEX_MAXDIGITS;
  if (len < 16) x &= (uint64_t(1) << (4 * len)) - 1;
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
