// The interpreter's table of fast paths, indexed by fast-entry index.
#include "vm/ffid.h"

int kx_ff_assert(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_type(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_next(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_pairs(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_ipairs_aux(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_ipairs(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_getmetatable(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_setmetatable(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_rawget(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_tonumber(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_tostring(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_byte(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_char(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_sub(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_reverse(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_lower(lua_State* L, Value* base, uint32_t nargs);
int kx_ff_string_upper(lua_State* L, Value* base, uint32_t nargs);

#define KX_FF_DECL(name) int kx_ff_##name(lua_State* L, Value* base, uint32_t nargs);
KX_FF_DECL(math_abs) KX_FF_DECL(math_floor) KX_FF_DECL(math_ceil) KX_FF_DECL(math_sqrt) KX_FF_DECL(math_log10)
KX_FF_DECL(math_exp) KX_FF_DECL(math_sin) KX_FF_DECL(math_cos) KX_FF_DECL(math_tan) KX_FF_DECL(math_asin)
KX_FF_DECL(math_acos) KX_FF_DECL(math_atan) KX_FF_DECL(math_sinh) KX_FF_DECL(math_cosh) KX_FF_DECL(math_tanh)
KX_FF_DECL(math_frexp) KX_FF_DECL(math_modf) KX_FF_DECL(math_log) KX_FF_DECL(math_atan2) KX_FF_DECL(math_pow)
KX_FF_DECL(math_fmod) KX_FF_DECL(math_ldexp) KX_FF_DECL(math_min) KX_FF_DECL(math_max)
KX_FF_DECL(bit_tobit) KX_FF_DECL(bit_bnot) KX_FF_DECL(bit_bswap) KX_FF_DECL(bit_lshift) KX_FF_DECL(bit_rshift)
KX_FF_DECL(bit_arshift) KX_FF_DECL(bit_rol) KX_FF_DECL(bit_ror) KX_FF_DECL(bit_band) KX_FF_DECL(bit_bor)
KX_FF_DECL(bit_bxor)
#undef KX_FF_DECL

const kx_FastPath kx_ff_paths[] = {
    kx_ff_assert, kx_ff_type, kx_ff_next, kx_ff_pairs, kx_ff_ipairs_aux, kx_ff_ipairs,
    kx_ff_getmetatable, kx_ff_setmetatable, kx_ff_rawget, kx_ff_tonumber, kx_ff_tostring,
    // 11, 12: pcall and xpcall run in the interpreter itself; 13-15: yield (in the interpreter), resume, wrap.
    nullptr, nullptr, nullptr, nullptr, nullptr,
    // 16-39: math
    kx_ff_math_abs, kx_ff_math_floor, kx_ff_math_ceil, kx_ff_math_sqrt, kx_ff_math_log10, kx_ff_math_exp,
    kx_ff_math_sin, kx_ff_math_cos, kx_ff_math_tan, kx_ff_math_asin, kx_ff_math_acos, kx_ff_math_atan,
    kx_ff_math_sinh, kx_ff_math_cosh, kx_ff_math_tanh, kx_ff_math_frexp, kx_ff_math_modf, kx_ff_math_log,
    kx_ff_math_atan2, kx_ff_math_pow, kx_ff_math_fmod, kx_ff_math_ldexp, kx_ff_math_min, kx_ff_math_max,
    // 40-50: bit
    kx_ff_bit_tobit, kx_ff_bit_bnot, kx_ff_bit_bswap, kx_ff_bit_lshift, kx_ff_bit_rshift, kx_ff_bit_arshift,
    kx_ff_bit_rol, kx_ff_bit_ror, kx_ff_bit_band, kx_ff_bit_bor, kx_ff_bit_bxor,
    // 51-56: string
    kx_ff_string_byte, kx_ff_string_char, kx_ff_string_sub, kx_ff_string_reverse, kx_ff_string_lower,
    kx_ff_string_upper,
};
static_assert(sizeof(kx_ff_paths) / sizeof(kx_ff_paths[0]) == 57);
