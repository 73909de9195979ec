// The string library's formatter, shared with the string buffers' putf.
#pragma once

#include "core/buf.h"
#include "lua.h"

// Appends to sb the text of the format in argument arg of the running C function, with the arguments
// after it. With call_tostring set, a %s argument that has a "__tostring" metamethod is converted by
// calling it and the result is stored in its slot; the return value then says whether any call was
// made, in which case the text must be formatted again from the start with call_tostring clear (the
// calls may have used the buffer, and the stored results must not be converted a second time).
bool kx_lib_strformat(lua_State* L, StrBuf* sb, int arg, bool call_tostring);
