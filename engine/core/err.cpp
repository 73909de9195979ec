// The message block.
#include "core/err.h"

#include "core/str.h"

#define KX_ERRDEF(name, text) text "\0"
const char kx_err_allmsg[] =
#include "core/errmsg.h"
    ;
#undef KX_ERRDEF

// The codes are the offsets of the texts in the block: the block holds each text and its NUL, then
// the final NUL.
static_assert(sizeof(kx_err_allmsg) == KX_ERR__MAX + 1);

GcString* kx_err_str(lua_State* L, ErrorCode code) { return kx_str_newz(L, kx_err_text(code)); }
