// The interpreter's table of fast paths, indexed by fast-entry index.
#include "lib/ffid.h"

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

const kx_FastPath kx_ff_paths[] = {
    kx_ff_assert, kx_ff_type, kx_ff_next, kx_ff_pairs, kx_ff_ipairs_aux, kx_ff_ipairs,
    kx_ff_getmetatable, kx_ff_setmetatable, kx_ff_rawget, kx_ff_tonumber, kx_ff_tostring,
    // 11, 12: pcall and xpcall run in the interpreter itself. Those without a fast path yet are null.
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    // 51-56: the string library.
    kx_ff_string_byte, kx_ff_string_char, kx_ff_string_sub, kx_ff_string_reverse, kx_ff_string_lower,
    kx_ff_string_upper,
};
static_assert(sizeof(kx_ff_paths) / sizeof(kx_ff_paths[0]) == 57);
