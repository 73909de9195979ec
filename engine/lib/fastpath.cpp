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

const kx_FastPath kx_ff_paths[] = {
    kx_ff_assert, kx_ff_type, kx_ff_next, kx_ff_pairs, kx_ff_ipairs_aux, kx_ff_ipairs,
    kx_ff_getmetatable, kx_ff_setmetatable, kx_ff_rawget, kx_ff_tonumber, kx_ff_tostring,
    // 11, 12: pcall and xpcall run in the interpreter itself. The rest have no fast path yet.
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
static_assert(sizeof(kx_ff_paths) / sizeof(kx_ff_paths[0]) == 57);
