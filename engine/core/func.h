// Function prototypes, closures, upvalues and userdata as objects.
#pragma once

#include "core/value.h"
#include "lua.h"

// A compiled function. The instructions follow the fields in the same allocation, and the constant
// arrays and debug data live in it too, so a prototype is freed with one call of total_size bytes.
struct GcProto {
  KX_GC_HEADER;             // type byte 7
  uint8_t num_params;       // fixed parameters
  uint8_t frame_size;       // stack slots the function needs
  uint32_t code_size;       // instructions, including the header instruction
  Ref<GcObj> gray_link;
  Ref<Value> consts;        // collectable constants at -1 ... -gc_const_count (as references),
                            // number constants at 0 ... num_const_count - 1
  Ref<uint16_t> upval_descs;  // upval_count descriptors
  uint32_t gc_const_count;
  uint32_t num_const_count;
  uint32_t total_size;      // bytes of the whole allocation
  uint8_t upval_count;
  uint8_t flags;            // KX_PROTO_*; bits 0x20-0x80 double as the closure counter
  uint16_t root_trace;      // first compiled trace rooted here, 0 for none
  Ref<GcString> chunk_name;
  uint32_t first_line;
  uint32_t line_count;
  Ref<void> line_info;      // per-instruction line map of 1, 2 or 4 bytes per entry
  Ref<const uint8_t> upval_names;
  Ref<const uint8_t> var_info;
  // followed by code_size instructions
};
static_assert(sizeof(GcProto) == 64);
static_assert(offsetof(GcProto, code_size) == 8 && offsetof(GcProto, consts) == 16);
static_assert(offsetof(GcProto, total_size) == 32 && offsetof(GcProto, upval_count) == 36);
static_assert(offsetof(GcProto, chunk_name) == 40 && offsetof(GcProto, var_info) == 60);

// Prototype flags.
enum : uint8_t {
  KX_PROTO_CHILD = 0x01,          // has child prototypes
  KX_PROTO_VARARG = 0x02,
  KX_PROTO_FFI = 0x04,            // uses C data constants
  KX_PROTO_NOJIT = 0x08,          // run time: the trace compiler may not compile this function
  KX_PROTO_VARIANTS = 0x10,       // run time: the trace compiler patched in instruction variants
  KX_PROTO_HAS_RETURN = 0x20,     // compile time only
  KX_PROTO_FIXUP_RETURN = 0x40,   // compile time only: returns precede the first child
  KX_PROTO_BITOPS = 0x80,         // contains bitwise instructions, itself or in a child
};

inline Instr* proto_bc(const GcProto* pt) { return reinterpret_cast<Instr*>(const_cast<GcProto*>(pt) + 1); }
inline GcProto* proto_from_bc(const Instr* pc) {
  return reinterpret_cast<GcProto*>(const_cast<Instr*>(pc)) - 1;
}
// Collectable constant number i (i < 0).
inline Ref<GcObj>* proto_kgcref(const GcProto* pt, int32_t i) { return &reinterpret_cast<Ref<GcObj>*>(pt->consts.get())[i]; }
inline GcObj* proto_kgc(const GcProto* pt, int32_t i) { return *proto_kgcref(pt, i); }
inline const Value* proto_knum(const GcProto* pt, uint32_t i) { return &pt->consts[i]; }

// Upvalue descriptor bits.
enum : uint16_t {
  KX_UV_LOCAL = 0x8000,      // captures the enclosing function's local in slot (d & 0xff)
  KX_UV_IMMUTABLE = 0x4000,  // that local is never assigned after its declaration
};

// A captured variable: open while its local lives in a stack slot, closed when it holds its own copy.
struct GcUpval {
  KX_GC_HEADER;        // type byte 5; while open, gc_next links the thread's open list
  uint8_t closed;
  uint8_t immutable;
  union {
    Value value;       // closed: the captured value
    struct {
      Ref<GcUpval> prev;  // open: neighbours in the GlobalState's ring of open upvalues
      Ref<GcUpval> next;
    } ring;
  };
  Ref<Value> v;        // the stack slot while open, &value when closed
  uint32_t dhash;      // identity hash for the trace compiler
};
static_assert(sizeof(GcUpval) == 24);
static_assert(offsetof(GcUpval, value) == 8 && offsetof(GcUpval, v) == 16 && offsetof(GcUpval, dhash) == 20);

// The fields common to Lua and C functions.
#define KX_GCFUNC_HEADER                                               \
  KX_GC_HEADER;          /* type byte 8 */                              \
  uint8_t ffid;          /* 0 Lua, 1 C, 2+ built-in fast function */   \
  uint8_t upvalue_count;                                               \
  Ref<GcTable> env;                                                    \
  Ref<GcObj> gray_link;                                                \
  Ref<const Instr> pc    /* first instruction, or the C-frame entry */

struct GcFuncL {
  KX_GCFUNC_HEADER;
  Ref<GcUpval> uvptr[];
};

struct GcFuncC {
  KX_GCFUNC_HEADER;
  lua_CFunction cfunc;
  Value upvalue[];
};

struct GcFunc {
  union {
    struct {
      KX_GCFUNC_HEADER;
    };
    GcFuncL l;
    GcFuncC c;
  };
};
// The C function's address is a native pointer: on x86-64 it is 8 bytes, aligned, and so are the
// upvalues after it.
constexpr uint32_t KX_FUNCC_UPVALUES = KX_64 ? 32 : 24;
static_assert(offsetof(GcFuncL, uvptr) == 20 && offsetof(GcFuncC, cfunc) == (KX_64 ? 24 : 20));
static_assert(offsetof(GcFuncC, upvalue) == KX_FUNCC_UPVALUES);

enum : uint8_t { KX_FF_LUA = 0, KX_FF_C = 1 };

inline bool isluafunc(const GcFunc* fn) { return fn->ffid == KX_FF_LUA; }
inline bool iscfunc(const GcFunc* fn) { return fn->ffid == KX_FF_C; }
inline bool isffunc(const GcFunc* fn) { return fn->ffid > KX_FF_C; }
inline GcProto* funcproto(const GcFunc* fn) { return proto_from_bc(fn->pc); }
inline uint32_t kx_func_sizeL(uint32_t n) { return 20 + 4 * n; }
inline uint32_t kx_func_sizeC(uint32_t n) { return KX_FUNCC_UPVALUES + 8 * n; }

// A block of raw memory with a metatable; the payload starts 24 bytes after the object.
struct GcUdata {
  KX_GC_HEADER;         // type byte 12
  uint8_t udtype;       // KX_UDTYPE_*
  uint8_t unused;
  Ref<GcTable> env;
  uint32_t len;         // payload bytes
  Ref<GcTable> metatable;
  uint32_t filler;
};
static_assert(sizeof(GcUdata) == 24);
static_assert(offsetof(GcUdata, env) == 8 && offsetof(GcUdata, len) == 12 && offsetof(GcUdata, metatable) == 16);

enum : uint8_t { KX_UDTYPE_USERDATA = 0, KX_UDTYPE_IO_FILE, KX_UDTYPE_FFI_CLIB, KX_UDTYPE_BUFFER };

inline void* uddata(const GcUdata* ud) { return const_cast<GcUdata*>(ud + 1); }

// Allocates a prototype with its single-allocation layout: fields, code, GC constants (references
// before consts, which is 8-byte aligned), number constants, upvalue descriptors, then debug_size
// bytes of debug data (line map, upvalue names, variable info) at line_info. Counts and pointers are
// set; gc_const_count stays 0 until the caller has filled the GC constants.
GcProto* kx_func_newproto(lua_State* L, uint32_t code_size, uint32_t gc_count, uint32_t num_count,
                          uint32_t upval_count, uint32_t debug_size);

GcFunc* kx_func_newL_gc(lua_State* L, GcProto* pt, GcFuncL* parent);
GcFunc* kx_func_newL_empty(lua_State* L, GcProto* pt, GcTable* env);
GcFunc* kx_func_newC(lua_State* L, uint32_t nupvalues, GcTable* env);
void kx_func_closeuv(lua_State* L, Value* level);
void kx_func_free(GlobalState* g, GcFunc* fn);
void kx_func_freeuv(GlobalState* g, GcUpval* uv);
void kx_func_freeproto(GlobalState* g, GcProto* pt);
GcUdata* kx_udata_new(lua_State* L, uint32_t len, GcTable* env);
void kx_udata_free(GlobalState* g, GcUdata* ud);
