// Library definition streams: the texts of vm/libdefs.h turned into their byte form at compile time.
// A stream starts with three header bytes (first fast-function id, first fast-path entry, size hint
// of the table), all derived from the texts; the items follow.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "lib/bcasm.h"
#include "lib/lib.h"
#include "vm/libdefs.h"

namespace kx_libdef {

using kx_bcasm::Out;

constexpr uint8_t byte(uint32_t v) {
  if (v > 0xff) throw "a library stream number does not fit in a byte";
  return static_cast<uint8_t>(v);
}

constexpr uint32_t to_uint(std::string_view t) {
  uint32_t v = 0;
  for (char c : t) v = v * 10 + static_cast<uint32_t>(c - '0');
  return v;
}

constexpr double to_double(std::string_view t) {
  if (t == "pi") return 3.14159265358979323846;
  if (t == "huge") return __builtin_inf();
  return static_cast<double>(to_uint(t));
}

constexpr void put_name(Out& o, uint8_t tag, std::string_view name) {
  if (name.size() > 0x3f) throw "library definition name too long";
  o.put(static_cast<uint8_t>(tag | name.size()));
  for (char c : name) o.put(static_cast<uint8_t>(c));
}

constexpr const BcBuiltin& find_builtin(std::string_view name, const BcBuiltin* builtins, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (name == builtins[i].name) return builtins[i];
  throw "unknown built-in Lua function";
}

constexpr void put_item(Out& o, const Item& it, const BcBuiltin* builtins, size_t nbuiltins) {
  switch (it.kind) {
    case ItemKind::CFunc: return put_name(o, KX_LIBTAG_CFUNC, stored_name(it.arg));
    case ItemKind::FastFunc: return put_name(o, KX_LIBTAG_FASTFUNC, stored_name(it.arg));
    case ItemKind::FastShared: return put_name(o, KX_LIBTAG_FASTSHARED, stored_name(it.arg));
    case ItemKind::Str: return put_name(o, KX_LIBTAG_STR, it.arg == "\"\"" ? "" : it.arg);
    case ItemKind::Num: {
      uint64_t bits = std::bit_cast<uint64_t>(to_double(it.arg));
      o.put(KX_LIBTAG_NUM);
      for (int i = 0; i < 8; i++) o.put(static_cast<uint8_t>(bits >> (8 * i)));
      return;
    }
    case ItemKind::Copy:
      o.put(KX_LIBTAG_COPY);
      return o.put(byte(to_uint(it.arg)));
    case ItemKind::Last: return o.put(KX_LIBTAG_LAST);
    case ItemKind::Set: return o.put(KX_LIBTAG_SET);
    case ItemKind::Reserve:
    case ItemKind::ReserveFast: return o.put(KX_LIBTAG_RESERVE);
    case ItemKind::LuaFunc: {
      const BcBuiltin& b = find_builtin(it.arg, builtins, nbuiltins);
      o.put(KX_LIBTAG_LUAFUNC);
      o.put(byte(static_cast<uint32_t>(it.arg.size())));
      for (char c : it.arg) o.put(static_cast<uint8_t>(c));
      for (uint32_t i = 0; i < b.size; i++) o.put(b.body[i]);
      return;
    }
  }
}

// Encodes the stream named lib into out (or only counts the bytes when out is null); returns the
// byte count.
constexpr size_t encode(std::string_view lib, uint8_t* out, const BcBuiltin* builtins = nullptr, size_t nbuiltins = 0) {
  Out o{out, 0};
  uint32_t stream = stream_index(lib);
  Span start = start_of(stream);
  o.put(byte(start.ffid));
  o.put(byte(start.fast_entry));
  o.put(byte(start.stored));
  Items items{kx_libdefs[stream].text};
  for (Item it; items.next(&it);) put_item(o, it, builtins, nbuiltins);
  o.put(KX_LIBTAG_END);
  return o.n;
}

template <size_t N>
constexpr std::array<uint8_t, N> build(std::string_view lib, const BcBuiltin* builtins = nullptr, size_t nbuiltins = 0) {
  std::array<uint8_t, N> a{};
  encode(lib, a.data(), builtins, nbuiltins);
  return a;
}

}  // namespace kx_libdef

// The byte stream of the library stream named lib.
#define KX_LIBDEF(name, lib) \
  static constexpr auto name = kx_libdef::build<kx_libdef::encode(lib, nullptr)>(lib)

// A stream with L items, whose bodies come from the array of BcBuiltin named builtins.
#define KX_LIBDEF_L(name, builtins, lib)                                                              \
  static constexpr auto name = kx_libdef::build<kx_libdef::encode(                                   \
      lib, nullptr, builtins, sizeof(builtins) / sizeof(BcBuiltin))>(lib, builtins,                  \
                                                                    sizeof(builtins) / sizeof(BcBuiltin))
