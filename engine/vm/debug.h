// Debug information: positions and lines of frames, short chunk names, names of variables and of
// called functions, and the records of lua_getstack / lua_getinfo.
#pragma once

#include "core/state.h"

constexpr uint32_t KX_NO_BCPOS = ~0u;

// The record of the extended query: lua_Debug and the two fields that only "u" of that query fills.
struct DebugExt {
  lua_Debug ar;
  int nparams;   // fixed parameters (0 for C functions)
  int isvararg;  // 1 for vararg Lua functions and for C functions
};

// Position of the instruction a frame runs; nextframe is the frame just above it (null: innermost).
uint32_t kx_debug_framepc(lua_State* L, GcFunc* fn, Value* nextframe);
int32_t kx_debug_line(const GcProto* pt, uint32_t pos);
// The short form of a chunk name into a buffer of LUA_IDSIZE bytes.
void kx_debug_shortname(char* out, const GcString* chunkname, int32_t first_line);
// Pushes msg, prefixed with the position of frame when it runs Lua code with line information.
void kx_debug_addloc(lua_State* L, const char* msg, Value* frame, Value* nextframe);
// The function slot of the frame at a level (0: current) and its distance to the next higher frame.
Value* kx_debug_frame(lua_State* L, int level, int* size);
// Kind ("local", "global", "field", "method", "upvalue") and name of the variable that held a slot at
// an instruction, or null.
const char* kx_debug_slotname(const GcProto* pt, const Instr* ins, uint32_t slot, const char** name);
// Kind and name under which the function of a frame was called, or null.
const char* kx_debug_funcname(lua_State* L, Value* frame, const char** name);
// Name of local variable slot at a position, or null (hidden loop variables get their descriptions).
const char* kx_debug_varname(const GcProto* pt, uint32_t pos, uint32_t slot);
const char* kx_debug_uvname(const GcProto* pt, uint32_t idx);
// Fills ar for the options in what; with ext set, ar is the start of a DebugExt. 0 for an invalid option.
int kx_debug_getinfo(lua_State* L, const char* what, lua_Debug* ar, int ext);
