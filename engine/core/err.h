// Error raising, for every layer of the engine. Every engine message has a code: the byte offset of
// its text in one constant block (core/errmsg.h). The raisers never return; they leave by a
// non-local exit to the innermost catch point, after the error handler has run where the error was
// raised. The interpreter implements them (vm/err.cpp), since finding the handler and the catch
// point means walking its frames.
#pragma once

#include <cstdarg>

#include "core/value.h"

#define KX_ERRDEF(name, text) KX_ERR_##name, KX_ERR_##name##_end = KX_ERR_##name + sizeof(text) - 1,
enum ErrorCode : uint32_t {
#include "core/errmsg.h"
  KX_ERR__MAX
};
#undef KX_ERRDEF

// The message block: every text followed by a NUL, the block ended by an extra NUL.
extern const char kx_err_allmsg[];
inline const char* kx_err_text(ErrorCode code) { return kx_err_allmsg + code; }

GcString* kx_err_str(lua_State* L, ErrorCode code);

[[noreturn]] void kx_err_throw(lua_State* L, int status);
[[noreturn]] void kx_err_run(lua_State* L);
[[noreturn]] void kx_err_msg(lua_State* L, ErrorCode code);
[[noreturn]] void kx_err_msgv(lua_State* L, ErrorCode code, ...);
[[noreturn]] void kx_err_mem(lua_State* L);
[[noreturn]] void kx_err_err(lua_State* L);
// The stack cannot grow: "stack overflow", raised on a stack extended to give the error handler room.
[[noreturn]] void kx_err_stkov(lua_State* L);
[[noreturn]] void kx_err_lex(lua_State* L, GcString* chunkname, const char* tok, int32_t line, ErrorCode code,
                             va_list argp);
[[noreturn]] void kx_err_optype(lua_State* L, const Value* o, ErrorCode opmsg);
[[noreturn]] void kx_err_comp(lua_State* L, const Value* a, const Value* b);
// A call of a value that is neither a function nor has __call, made outside a Lua call instruction.
// The slot becomes a frame with the given link.
[[noreturn]] void kx_err_callnonfunc(lua_State* L, Value* func, uint32_t link);

// Errors on behalf of a C function, positioned at the Lua code that called it.
[[noreturn]] void kx_err_callermsg(lua_State* L, const char* msg);
[[noreturn]] void kx_err_caller(lua_State* L, ErrorCode code);
[[noreturn]] void kx_err_callerv(lua_State* L, ErrorCode code, ...);
[[noreturn]] void kx_err_arg(lua_State* L, int narg, ErrorCode code);
[[noreturn]] void kx_err_argv(lua_State* L, int narg, ErrorCode code, ...);
[[noreturn]] void kx_err_argmsg(lua_State* L, int narg, const char* msg);
[[noreturn]] void kx_err_argtype(lua_State* L, int narg, const char* xname);
[[noreturn]] void kx_err_argt(lua_State* L, int narg, int tt);
