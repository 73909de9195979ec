// Error raising. Every engine message has a code: the byte offset of its text in one constant block.
// The raisers never return; they leave by a non-local exit to the innermost catch point.
#pragma once

#include <cstdarg>

#include "core/value.h"

#define KX_ERRDEF(name, text) KX_ERR_##name, KX_ERR_##name##_end = KX_ERR_##name + sizeof(text) - 1,
enum ErrorCode : uint32_t {
#include "vm/errmsg.h"
  KX_ERR__MAX
};
#undef KX_ERRDEF

// The message block: every text followed by a NUL, the block ended by an extra NUL.
extern const char kx_err_allmsg[];
inline const char* kx_err_text(ErrorCode code) { return kx_err_allmsg + code; }

[[noreturn]] void kx_err_throw(lua_State* L, int status);
[[noreturn]] void kx_err_run(lua_State* L);
[[noreturn]] void kx_err_msg(lua_State* L, ErrorCode code);
[[noreturn]] void kx_err_mem(lua_State* L);
[[noreturn]] void kx_err_err(lua_State* L);
[[noreturn]] void kx_err_lex(lua_State* L, GcString* chunkname, const char* tok, int32_t line, ErrorCode code,
                             va_list argp);
GcString* kx_err_str(lua_State* L, ErrorCode code);
