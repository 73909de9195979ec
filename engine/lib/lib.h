// Library registration from definition streams, and the argument checkers of library functions.
#pragma once

#include "core/state.h"
#include "lauxlib.h"
#include "lua.h"

// Item tags of a library definition stream.
enum : uint8_t {
  KX_LIBTAG_CFUNC = 0x00,      // + name length: a C function with the next handler
  KX_LIBTAG_FASTFUNC = 0x40,   // + name length: a fast-path function with the next handler
  KX_LIBTAG_FASTSHARED = 0x80, // + name length: a fast-path function sharing the previous handler
  KX_LIBTAG_STR = 0xc0,        // + length: push a string
  KX_LIBTAG_LUAFUNC = 0xf9,    // length byte, name, stripped prototype
  KX_LIBTAG_SET = 0xfa,        // pop key and value, store (empty key: set the environment)
  KX_LIBTAG_NUM = 0xfb,        // 8 bytes of a little-endian double
  KX_LIBTAG_COPY = 0xfc,       // copy the n-th value from the top
  KX_LIBTAG_LAST = 0xfd,       // push the last created function
  KX_LIBTAG_RESERVE = 0xfe,    // take one fast-function id without a function
  KX_LIBTAG_END = 0xff,
};

// Builds the library table described by a stream and leaves it on top of the stack.
void kx_lib_register(lua_State* L, const char* libname, const uint8_t* stream, const lua_CFunction* handlers);
// A C closure over the top n values, stamped with a fast-function id and its entry.
GcFunc* kx_lib_pushcc(lua_State* L, lua_CFunction handler, uint32_t ffid, uint32_t nup);
void kx_lib_prereg(lua_State* L, const char* name, lua_CFunction openf, GcTable* env);
GcFunc* kx_lib_postreg(lua_State* L, lua_CFunction handler, uint32_t ffid, const char* name);

// Argument checkers; argument n is slot base + n - 1.
void kx_lib_checkany(lua_State* L, int n);
GcString* kx_lib_checkstr(lua_State* L, int n);
GcString* kx_lib_optstr(lua_State* L, int n);
double kx_lib_checknum(lua_State* L, int n);
int32_t kx_lib_checkint(lua_State* L, int n);
int32_t kx_lib_optint(lua_State* L, int n, int32_t def);
int32_t kx_lib_checkintrange(lua_State* L, int n);
GcTable* kx_lib_checktab(lua_State* L, int n);
GcTable* kx_lib_checktabornil(lua_State* L, int n);
GcFunc* kx_lib_checkfunc(lua_State* L, int n);
GcProto* kx_lib_checkLproto(lua_State* L, int n, bool nolua);
// words: length-prefixed words ended by a zero length; def -1 means no default.
int kx_lib_checkopt(lua_State* L, int n, int def, const char* words);

// Room for n more values on the running thread's stack, grown as needed; false when the stack would
// pass its limit.
// Library functions that return many values use the stack's own room, not the C API's per-call limit.
bool kx_lib_stackroom(lua_State* L, uint32_t n);

// Truncation toward zero to 32 bits; out-of-range values and NaN give 0x80000000.
inline int32_t kx_lib_num2int(double n) {
  if (n >= -2147483648.0 && n < 2147483648.0) return static_cast<int32_t>(n);
  return INT32_MIN;
}

// Fast-function handlers report to the interpreter: results + 1 (the results are on top), retry the
// fast path, or call what the handler placed in the function slot in place of the built-in.
constexpr int KX_FFH_RETRY = 0;
constexpr int KX_FFH_TAILCALL = -1;
inline int kx_ffh_results(int n) { return n + 1; }

// Raised by the functions of libraries that are not built yet.
int kx_lib_notbuilt(lua_State* L);
