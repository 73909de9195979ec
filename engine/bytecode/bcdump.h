// The binary chunk format shared by the dump writer and reader.
#pragma once

#include "core/func.h"
#include "core/value.h"
#include "lua.h"

// Magic: ESC "K" "X" and the format version.
constexpr uint8_t KX_BCDUMP_HEAD1 = 0x1b, KX_BCDUMP_HEAD2 = 'K', KX_BCDUMP_HEAD3 = 'X';
constexpr uint8_t KX_BCDUMP_VERSION = 2;

// Header flags.
enum : uint32_t {
  KX_BCDUMP_F_BE = 0x01,      // blocks are big-endian
  KX_BCDUMP_F_STRIP = 0x02,   // no chunk name, no debug data
  KX_BCDUMP_F_FFI = 0x04,     // the main prototype uses C data constants
  KX_BCDUMP_F_FR2 = 0x08,     // compiled for two-slot call frames
  KX_BCDUMP_F_BITOPS = 0x10,  // contains bitwise instructions
  KX_BCDUMP_F_KNOWN = 0x1f,
  KX_BCDUMP_F_DETERMINISTIC = 0x80000000u,  // writer option: sorted template keys
};

// GC constant types.
enum : uint32_t { KX_BCDUMP_KGC_CHILD, KX_BCDUMP_KGC_TAB, KX_BCDUMP_KGC_I64, KX_BCDUMP_KGC_U64, KX_BCDUMP_KGC_COMPLEX, KX_BCDUMP_KGC_STR };
// Template table item types.
enum : uint32_t { KX_BCDUMP_KTAB_NIL, KX_BCDUMP_KTAB_FALSE, KX_BCDUMP_KTAB_TRUE, KX_BCDUMP_KTAB_INT, KX_BCDUMP_KTAB_NUM, KX_BCDUMP_KTAB_STR };

// Prototype flags that the dump keeps.
constexpr uint8_t KX_PROTO_DUMPED_FLAGS = KX_PROTO_CHILD | KX_PROTO_VARARG | KX_PROTO_FFI | KX_PROTO_BITOPS;

inline uint8_t* kx_bcdump_uleb128(uint8_t* p, uint32_t v) {
  for (; v >= 0x80; v >>= 7) *p++ = static_cast<uint8_t>((v & 0x7f) | 0x80);
  *p++ = static_cast<uint8_t>(v);
  return p;
}

// Writes a prototype tree as a binary chunk; flags: KX_BCDUMP_F_STRIP, KX_BCDUMP_F_DETERMINISTIC.
int kx_bcwrite(lua_State* L, GcProto* pt, lua_Writer writer, void* data, uint32_t flags);
