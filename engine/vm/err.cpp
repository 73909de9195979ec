// The message block and the error raisers.
#include "vm/err.h"

#include <cstdlib>

#include "core/state.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "vm/debug.h"
#include "vm/entry.h"

#define KX_ERRDEF(name, text) text "\0"
const char kx_err_allmsg[] =
#include "vm/errmsg.h"
    ;
#undef KX_ERRDEF

static_assert(KX_ERR_StackOverflow == 104 && KX_ERR_OpCall == 398 && KX_ERR_AssertionFailed == 993);
static_assert(KX_ERR_SyntaxNear == 2238 && KX_ERR_MalformedBytecode == 3177 && KX_ERR_LeftOverData == 4160);

GcString* kx_err_str(lua_State* L, ErrorCode code) { return kx_str_newz(L, kx_err_text(code)); }

void kx_err_throw(lua_State* L, int status) {
  EntryRecord* cf = cframe_raw(L->c_frame);
  if (cf == nullptr) {
    GlobalState* g = G(L);
    if (g->panic_fn) g->panic_fn(L);
    exit(EXIT_FAILURE);
  }
  if (L->status != KX_STATUS_CREATING) L->status = LUA_OK;
  _longjmp(cf->exit, status);
}

static void push_message(lua_State* L, ErrorCode code) {
  setstrV(L->top, kx_err_str(L, code));
  kx_state_incr_top(L);
}

void kx_err_run(lua_State* L) { kx_err_throw(L, LUA_ERRRUN); }

void kx_err_msg(lua_State* L, ErrorCode code) {
  push_message(L, code);
  kx_err_run(L);
}

void kx_err_mem(lua_State* L) {
  if (L->status == LUA_ERRERR) kx_err_err(L);
  if (L->status == KX_STATUS_CREATING) kx_err_throw(L, LUA_ERRMEM);
  // The message is a fixed interned string: pushing it allocates nothing.
  setstrV(L->top++, kx_err_str(L, KX_ERR_NotEnoughMemory));
  kx_err_throw(L, LUA_ERRMEM);
}

void kx_err_err(lua_State* L) {
  setstrV(L->top++, kx_err_str(L, KX_ERR_ErrorInErrorHandling));
  kx_err_throw(L, LUA_ERRERR);
}

void kx_err_lex(lua_State* L, GcString* chunkname, const char* tok, int32_t line, ErrorCode code, va_list argp) {
  char name[KX_SHORTNAME_SIZE];
  kx_debug_shortname(name, chunkname, line);
  const char* msg = kx_strfmt_pushvf(L, kx_err_text(code), argp);
  msg = kx_strfmt_pushf(L, "%s:%d: %s", name, line, msg);
  if (tok) kx_strfmt_pushf(L, kx_err_text(KX_ERR_SyntaxNear), msg, tok);
  kx_err_throw(L, LUA_ERRSYNTAX);
}
