// The operating system's dynamic libraries: loading, symbols, error texts, and the directory of the
// running program.
#pragma once

#include <cstddef>

#include "lua.h"

// A loaded library, or null (kx_dynlib_error then says why).
void* kx_dynlib_open(const char* path);
void kx_dynlib_close(void* lib);
// The address of an exported symbol, or null. *size receives the symbol's size from the library's
// symbol table, or the bytes up to the end of the address space when the table gives none.
void* kx_dynlib_sym(void* lib, const char* name, size_t* size);
// A symbol exported by the running program, else by the library that contains the engine.
void* kx_dynlib_ownsym(const char* name, size_t* size);
// Pushes the text of the last failure.
void kx_dynlib_pusherror(lua_State* L);
// The directory of the running program's file, without a trailing separator; false when unknown.
bool kx_dynlib_progdir(char* buf, size_t size);
