// The interpreter instance (GlobalState), its threads (lua_State) and their value stacks.
//
// The main thread and the GlobalState are one allocation, main thread first, so the main thread's
// handle is the block's address. Slot 0 of every stack holds the thread itself; frames start at slot 1.
#pragma once

#include "core/buf.h"
#include "core/func.h"
#include "core/prng.h"
#include "core/str.h"
#include "core/table.h"
#include "core/value.h"
#include "lua.h"

struct lua_State {
  KX_GC_HEADER;            // type byte 6
  uint8_t dummy_ffid;      // always 1: a frame whose function slot holds the thread reads as a C frame
  uint8_t status;          // 0 ok, LUA_YIELD, an error status of a dead coroutine, 6 while creating
  Ref<GlobalState> global;
  Ref<GcObj> gray_link;
  Ref<Value> base;             // first slot of the current frame
  Ref<Value> top;              // first free slot
  Ref<Value> stack_limit;      // stack + stack_size - 6: the last 6 slots are headroom
  Ref<Value> stack;            // slot 0
  Ref<GcUpval> open_upvalues;  // sorted by slot, highest first
  Ref<GcTable> env;            // the thread's globals table
  void* c_frame;               // innermost EntryRecord (on the C stack), flags in the low bits
  uint32_t stack_size;         // slots, including the 6 headroom slots
};
// The entry record pointer is native: on x86-64 it is 8 bytes and the thread object 56.
constexpr uint32_t KX_THREAD_SIZE = KX_64 ? 56 : 48;
static_assert(sizeof(lua_State) == KX_THREAD_SIZE);
static_assert(offsetof(lua_State, global) == 8 && offsetof(lua_State, base) == 16 && offsetof(lua_State, top) == 20);
static_assert(offsetof(lua_State, stack) == 28 && offsetof(lua_State, c_frame) == 40);
static_assert(offsetof(lua_State, stack_size) == (KX_64 ? 48 : 44));

constexpr uint32_t KX_STACK_EXTRA = 6;       // headroom slots beyond stack_limit
constexpr uint32_t KX_STACK_START = 39;      // usable slots of a fresh stack
constexpr uint32_t KX_STACK_MAX = 65500;     // usable slots at most
// Slots an error handler is given above the error object (room for two C functions).
constexpr uint32_t KX_HANDLER_SLOTS = 2 * LUA_MINSTACK;
// Usable slots while an overflow is being handled: above a full stack, the error object, the handler
// and the handler's room.
constexpr uint32_t KX_STACK_ERRMAX = KX_STACK_MAX + 2 + KX_HANDLER_SLOTS;
// A stack extended for an overflow shrinks back to KX_STACK_MAX once this many slots below that are free.
constexpr uint32_t KX_STACK_RESERVE = 43;
constexpr uint8_t KX_STATUS_CREATING = 6;

// Collector phases.
enum : uint8_t { KX_GC_PAUSE, KX_GC_PROPAGATE, KX_GC_ATOMIC, KX_GC_SWEEPSTRING, KX_GC_SWEEP, KX_GC_FINALIZE };

struct GcState {
  uint32_t total;          // bytes allocated through the instance's allocation function
  uint32_t threshold;      // a step runs when total reaches it
  uint8_t current_white;
  uint8_t phase;
  uint8_t unused[2];
  uint32_t sweep_string;   // next interning slot to sweep
  Ref<GcObj> root;            // all objects but strings and open upvalues
  Ref<Ref<GcObj>> sweep;      // link where the object sweep continues
  Ref<GcObj> gray;
  Ref<GcObj> gray_again;
  Ref<GcObj> weak;
  Ref<GcObj> finalize_list;   // last element of the circular list awaiting finalization
  uint32_t debt;
  uint32_t estimate;
  uint32_t step_mul;
  uint32_t pause;
};

constexpr uint32_t KX_GC_NEVER = 0x7fffff00;  // a threshold no allocation reaches

// The permanent roots.
enum : uint32_t {
  KX_ROOT_MM = 0,              // 22 metamethod names, in metamethod number order
  KX_ROOT_BASEMT = 22,         // base metatable of each type, at 22 + type index
  KX_ROOT_BASEMT_NUM = 35,
  KX_ROOT_IO_INPUT = 36,
  KX_ROOT_IO_OUTPUT = 37,
  KX_ROOT_FFI_FINALIZERS = 38,
  KX_ROOT_COUNT = 39,
};

// Metamethod numbers.
enum MetaMethod : uint8_t {
  MM_index, MM_newindex, MM_gc, MM_mode, MM_eq, MM_len, MM_lt, MM_le, MM_concat, MM_call,
  MM_add, MM_sub, MM_mul, MM_div, MM_mod, MM_pow, MM_unm, MM_metatable, MM_tostring, MM_new,
  MM_pairs, MM_ipairs, MM__MAX
};
extern const char* const kx_meta_names[MM__MAX];

// Hook and mode bits of hook_mask.
enum : uint8_t { KX_HOOK_ACTIVE = 0x10, KX_HOOK_VMEVENT = 0x20, KX_HOOK_GC = 0x40, KX_HOOK_PROFILE = 0x80 };
// Engine events, by number. A handler of an event lives in registry._VMEVENTS under the key hashed
// from the event's name; event_mask has the event's bit while a handler may be there.
enum : uint8_t { KX_VMEVENT_BC, KX_VMEVENT_TRACE, KX_VMEVENT_RECORD, KX_VMEVENT_TEXIT, KX_VMEVENT_ERRFIN };
constexpr int32_t kx_vmevent_key(const char* name) {
  uint32_t len = 0;
  while (name[len]) len++;
  uint32_t h = len;
  for (uint32_t i = 0; i < len; i++) h ^= static_cast<uint8_t>(name[i]) + ((h << 6) | (h >> 26));
  return static_cast<int32_t>(h << 3);
}
constexpr int32_t KX_VMEVENT_KEY_ERRFIN = kx_vmevent_key("errfin");
static_assert(KX_VMEVENT_KEY_ERRFIN == static_cast<int32_t>(0x96c9c440));
constexpr uint8_t KX_EVENT_ERRFIN = 1u << KX_VMEVENT_ERRFIN;

// What the engine is executing (vm_state).
enum : int32_t { KX_VMST_INTERP = -1, KX_VMST_C = -2, KX_VMST_GC = -3 };

struct GlobalState {
  lua_Alloc alloc_fn;
  void* alloc_ud;
  GcState gc;
  GcString empty_string;    // the interned empty string, never on any list
  char empty_string_nul[4]; // its terminating NUL
  uint8_t hook_mask;
  uint8_t dispatch_mode;
  uint8_t event_mask;
  InternTable intern;
  int32_t vm_state;
  Ref<lua_State> main_thread;
  StrBuf temp_buf;
  Value temp_value, temp_value2;
  TableNode nil_node;       // shared empty hash part of every table without one
  Value registry;
  Ref<lua_State> finalizer_thread;
  GcUpval upvalue_ring;     // head of the ring of all open upvalues
  uint32_t hook_count, hook_count_reset;
  lua_Hook hook_fn;
  int (*wrap_fn)(lua_State*, lua_CFunction);
  lua_CFunction panic_fn;
  Instr cfunc_entry_internal, cfunc_entry_external;
  Ref<lua_State> current_thread;
  void* ctype_state;
  PrngState prng;
  Ref<GcObj> roots[KX_ROOT_COUNT];
  uint32_t c_entries;       // nesting depth of C-level entries into the interpreter
};

// C-level entries made inside other entries are counted; beyond this many, "stack overflow", and
// beyond a few more for a running error handler, "error in error handling".
constexpr uint32_t KX_MAX_CENTRIES = 200;
constexpr uint32_t KX_HANDLER_CENTRIES = 10;

inline GlobalState* G(const lua_State* L) { return L->global; }
inline GcString* mmname(GlobalState* g, MetaMethod mm) { return reinterpret_cast<GcString*>(g->roots[KX_ROOT_MM + uint32_t(mm)].get()); }
inline lua_State* mainthread(GlobalState* g) { return g->main_thread; }
inline Value* niltv(GlobalState* g) { return &g->nil_node.val; }
inline GcTable* basemt(GlobalState* g, uint32_t itype) { return reinterpret_cast<GcTable*>(g->roots[KX_ROOT_BASEMT + itype].get()); }

// The selector for the engine's own allocator.
constexpr uintptr_t KX_ALLOC_ENGINE = 0x4d50;

// Byte offsets from the stack start survive stack reallocation.
inline int32_t savestack(const lua_State* L, const Value* p) {
  return static_cast<int32_t>(reinterpret_cast<const char*>(p) - reinterpret_cast<const char*>(L->stack.get()));
}
inline Value* restorestack(const lua_State* L, int32_t off) {
  return reinterpret_cast<Value*>(reinterpret_cast<char*>(L->stack.get()) + off);
}

// A fresh stack for thread L1, allocated on L.
void kx_state_initstack(lua_State* L1, lua_State* L);
// A new thread with L's globals and a fresh stack; not pushed anywhere.
lua_State* kx_state_newthread(lua_State* L);
void kx_state_growstack(lua_State* L, uint32_t need);
void kx_state_shrinkstack(lua_State* L, uint32_t used);
void kx_state_resizestack(lua_State* L, uint32_t usable);
void kx_state_free(GlobalState* g, lua_State* L1);

// Room for n more slots above top.
inline void kx_state_checkstack(lua_State* L, uint32_t n) {
  if (L->stack_limit - L->top <= static_cast<ptrdiff_t>(n)) kx_state_growstack(L, n);
}
// Completes a push: the value was written at top.
inline void kx_state_incr_top(lua_State* L) {
  if (++L->top >= L->stack_limit) kx_state_growstack(L, 1);
}
