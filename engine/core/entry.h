// C-level entries into the engine. Each entry places an EntryRecord on the machine stack and links it
// into the thread; the record's jump buffer is the catch point of the non-local exit. The entries
// themselves are the interpreter's (vm/vm.cpp); the protected C entry is declared here because every
// layer that must clean up after an error (loading, dumping, creating an instance) runs under it.
#pragma once

#include <setjmp.h>

#include "core/value.h"
#include "lua.h"

struct EntryRecord {
  void* prev;              // the thread's c_frame before this entry, flags included (restored on exit)
  int32_t wanted;          // results wanted + 1 (0: all); negative: stack start - top at a C-only entry
  int32_t handler;         // byte offset of the error handler from the stack start, 0 for none
  lua_State* L;            // the thread that entered
  const Instr* saved_pc;   // the instruction after the one being run when the interpreter calls out
  int32_t pending_count;
  uint32_t depth;          // nesting depth of C-level entries outside this one
  int32_t base_off;        // the thread's base at entry (byte offset from the stack start)
  int32_t frame_off;       // the entry's own frame (function slot), 0 while it has none
  int32_t catch_off;       // set by a throw: the pcall frame that catches inside this entry, or 0
  uint8_t kind;            // KX_ENTRY_*
  bool in_handler;         // entered while an error handler runs on the thread
  bool in_hook;            // a hook called on this entry's frames runs (a C hook may yield from it)
  jmp_buf exit;            // where the non-local exit lands
};

enum : uint8_t { KX_ENTRY_CALL, KX_ENTRY_PCALL, KX_ENTRY_CPCALL, KX_ENTRY_RESUME };

// Flags in the low bits of a thread's c_frame word.
constexpr uintptr_t KX_CFRAME_RESUME = 1;
constexpr uintptr_t KX_CFRAME_FLAGS = 3;

inline EntryRecord* cframe_raw(void* cf) {
  return reinterpret_cast<EntryRecord*>(reinterpret_cast<uintptr_t>(cf) & ~KX_CFRAME_FLAGS);
}
// The next outer record.
inline EntryRecord* entry_prev(const EntryRecord* rec) { return cframe_raw(rec->prev); }

// What a protected C entry runs first: returns null when done, or the first argument slot of a
// callable value to call next.
using kx_CPFunction = Value* (*)(lua_State* L, lua_CFunction func, void* ud);

// Runs cp(L, func, ud) as a catch point and then calls what it asks for; returns 0 or the error
// status with the error object on top.
int kx_vm_cpcall(lua_State* L, lua_CFunction func, void* ud, kx_CPFunction cp);
