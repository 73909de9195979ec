// The binary serialization of values held in string buffers.
//
// Every value starts with a tag written as a u124 number (one byte below 0xe0, two bytes below 8160,
// else 0xff and four little-endian bytes); strings fold their length into the tag (32 + length).
#pragma once

#include "core/buf.h"
#include "core/state.h"

// Serialization tags.
enum : uint32_t {
  KX_SER_NIL = 0,
  KX_SER_FALSE = 1,
  KX_SER_TRUE = 2,
  KX_SER_NULL = 3,       // light userdata null
  KX_SER_LIGHTUD = 4,    // light userdata, 4 bytes
  KX_SER_INT = 6,        // a 32-bit integer as a number (read, never written)
  KX_SER_NUM = 7,        // 8-byte double
  KX_SER_TAB = 8,        // + 2: array part from 0, + 4: array part from 1, + 1: hash part
  KX_SER_TAB_MT = 14,    // metatable dictionary index, then a table
  KX_SER_DICT_STR = 15,  // string dictionary index
  KX_SER_INT64 = 16,     // C data: 64-bit signed, 64-bit unsigned, complex double
  KX_SER_UINT64 = 17,
  KX_SER_COMPLEX = 18,
  KX_SER_STR = 32,       // + length
};

// Nesting levels of tables that one encode or decode accepts.
constexpr uint32_t KX_SER_DEPTH = 100;

// Appends the serialization of v to the buffer, using its dictionaries. On an error of its own (a
// value that cannot be serialized, too deep) the buffer is left as it was.
void kx_serial_put(lua_State* L, StrBufExt* sbx, const Value* v);
// Decodes one value from the unread bytes of the buffer into *out, using its dictionaries, and
// returns the position after it. The read position is not moved.
const char* kx_serial_get(lua_State* L, StrBufExt* sbx, Value* out);
// Prepares an options dictionary once: its hash part maps each string entry (strings set) or table
// entry (tables) to its array index - 1, held as a raw integer in the value's bits.
void kx_serial_dict_prepare(lua_State* L, GcTable* dict, bool strings);
