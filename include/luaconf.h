/* Build-wide limits and types of the public C API. */
#ifndef KX_LUACONF_H
#define KX_LUACONF_H

#include <limits.h>
#include <stddef.h>
#include <stdio.h>

#define LUA_NUMBER double
#define LUA_INTEGER ptrdiff_t
#define LUA_NUMBER_FMT "%.14g"

#define LUA_IDSIZE 60          /* size of lua_Debug.short_src */
#define LUAL_BUFFERSIZE BUFSIZ /* inline bytes of a luaL_Buffer, as modules built for Lua 5.1 expect */
#define LUAI_MAXCSTACK 8000    /* most slots a C function may request */
#define LUA_MINSTACK 20        /* free slots guaranteed to a C function */

#define LUA_PATHSEP ";"
#define LUA_PATH_MARK "?"
#define LUA_EXECDIR "!"
#define LUA_IGMARK "-"
#define LUA_DIRSEP "/"

#if defined(__cplusplus)
#define LUA_API extern "C" __attribute__((visibility("default")))
#else
#define LUA_API extern __attribute__((visibility("default")))
#endif
#define LUALIB_API LUA_API

#endif
