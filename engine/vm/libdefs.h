// The library definitions: what each library stream creates, as readable text, in the order that
// numbers the built-in functions. The interpreter derives the fast-function ids and fast-path entries
// from them (vm/ffid.h); the libraries turn each text into its byte stream when the engine is built
// (lib/libdef.h). Adding a function to a stream renumbers every later one.
//
// A text is a sequence of whitespace-separated items:
//   C name      a C function                       F name     a function with a fast path
//   F* name     a fast-path function sharing the previous function's handler
//   L name      a function in the engine's bytecode, taken from the built-ins given to the stream
//   str word    push a string ("" is the empty string)
//   num x       push a number (an integer, pi or huge)
//   copy n      push a copy of the n-th value from the top
//   last        push the last created function
//   set         store the value below the top under the key on top ("" sets the environment)
//   R name      reserve an id for a function the library creates later under that name
//   RF name     the same for a function with a fast path, which also takes a fast-path entry
// A function whose name starts with "-" is created without being stored; the rest of its name is
// how the engine refers to it.
#pragma once

#include <cstdint>
#include <string_view>

struct LibDefText {
  std::string_view name;
  std::string_view text;
};

inline constexpr LibDefText kx_libdefs[] = {
    {"base", R"(
      F assert
      str nil str boolean copy 1 str userdata str string str upval str thread str proto str function
      str trace str cdata str table copy 9 str number
      F* type
      F next last F pairs
      F -ipairs_aux last F ipairs
      F* getmetatable F setmetatable
      C getfenv C setfenv F rawget C rawset C rawequal C rawlen C unpack C select
      F tonumber F tostring C error F pcall F* xpcall
      C loadfile C load C loadstring C dofile C gcinfo C collectgarbage
      copy 2 C newproxy
      str tostring C print
      copy 3 str _VERSION set)"},
    {"coroutine", "C status C running C isyieldable C create F yield F resume RF wrap_aux C wrap"},
    {"math", R"(
      F abs F* floor F* ceil F sqrt F* log10 F* exp F* sin F* cos F* tan F* asin F* acos F* atan
      F* sinh F* cosh F* tanh F* frexp F* modf F log L deg L rad F atan2 F* pow F* fmod F ldexp F min F* max
      num pi str pi set num huge str huge set
      copy 2 C random copy 2 C randomseed)"},
    {"bit", "F tobit F bnot F bswap F lshift F* rshift F* arshift F* rol F* ror F band F* bor F* bxor C tohex"},
    {"string", R"(
      L len F byte F char F sub C rep F reverse F* lower F* upper C dump C find C match R gmatch_aux C gmatch
      C gsub C format)"},
    {"table", "L foreachi L foreach L getn C maxn C insert L remove L move C concat C sort str n C pack R new R clear"},
    {"io_method", "C close C read C write C flush C seek C setvbuf C lines C __gc C __tostring copy 1 str __index set"},
    {"io", R"(
      copy 2 str "" set
      C open C popen C tmpfile C close C read C write C flush C input C output C lines C type)"},
    {"os", "C execute C remove C rename C tmpname C getenv C exit C clock C date C time C difftime C setlocale"},
    {"debug", R"(
      C getregistry C getmetatable C setmetatable C getfenv C setfenv C getinfo C getlocal C setlocal
      C getupvalue C setupvalue C upvalueid C upvaluejoin C getuservalue C setuservalue C sethook
      C gethook C debug C traceback)"},
    {"jit", R"(
      C on C off C flush C status C security C attach
      copy 5 str os set copy 4 str arch set copy 3 str version_num set copy 2 str version set)"},
    {"jit_util", R"(
      C funcinfo C funcbc C funck C funcuvname C traceinfo C traceir C tracek C tracesnap C tracemc
      C traceexitstub C ircalladdr)"},
    {"jit_opt", "C start"},
    {"jit_profile", "C start C stop C dumpstack"},
    {"ffi_meta", R"(
      C __index C __newindex C __eq C __len C __lt C __le C __concat C __call C __add C __sub C __mul C __div
      C __mod C __pow C __unm C __tostring C __pairs C __ipairs str ffi str __metatable set)"},
    {"ffi_clib", "C __index C __newindex C __gc"},
    {"ffi_callback", "C free C set copy 1 str __index set"},
    {"ffi", R"(
      copy 2 str "" set
      C cdef C new C cast C typeof C typeinfo C istype C sizeof C alignof C offsetof C errno C string C copy
      C fill C abi C metatype C gc C load)"},
    {"buffer_method", R"(
      C free C reset C skip C set C put C putf C get C putcdata C reserve C commit C ref C encode C decode
      C __gc C __tostring C __len
      str buffer str __metatable set copy 1 str __index set)"},
    {"buffer", R"(
      copy 2 str "" set
      C new C encode C decode)"},
};

namespace kx_libdef {

enum class ItemKind { CFunc, FastFunc, FastShared, LuaFunc, Str, Num, Copy, Last, Set, Reserve, ReserveFast };

struct Item {
  ItemKind kind;
  std::string_view arg;  // the name, string, number or count that follows the item's word
};

constexpr bool takes_ffid(ItemKind k) {
  return k == ItemKind::CFunc || k == ItemKind::FastFunc || k == ItemKind::FastShared || k == ItemKind::Reserve ||
         k == ItemKind::ReserveFast;
}
constexpr bool takes_fast_entry(ItemKind k) {
  return k == ItemKind::FastFunc || k == ItemKind::FastShared || k == ItemKind::ReserveFast;
}
// The name under which a function item stores its function: none for a name starting with "-".
constexpr std::string_view stored_name(std::string_view name) { return name.starts_with('-') ? "" : name; }
// The name by which the engine refers to a function item.
constexpr std::string_view known_name(std::string_view name) {
  return name.starts_with('-') ? name.substr(1) : name;
}
// Items that store an entry into the library table (the size hint counts them).
constexpr bool stores(const Item& it) {
  if (it.kind == ItemKind::Set || it.kind == ItemKind::LuaFunc) return true;
  bool func = it.kind == ItemKind::CFunc || it.kind == ItemKind::FastFunc || it.kind == ItemKind::FastShared;
  return func && !stored_name(it.arg).empty();
}

// The items of a text, one after the other.
struct Items {
  std::string_view rest;

  static constexpr bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == ';'; }
  constexpr std::string_view word() {
    size_t i = 0;
    while (i < rest.size() && is_space(rest[i])) i++;
    size_t j = i;
    while (j < rest.size() && !is_space(rest[j])) j++;
    std::string_view w = rest.substr(i, j - i);
    rest.remove_prefix(j);
    return w;
  }
  // False at the end of the text.
  constexpr bool next(Item* it) {
    std::string_view w = word();
    if (w.empty()) return false;
    constexpr struct {
      std::string_view word;
      ItemKind kind;
      bool has_arg;
    } words[] = {
        {"C", ItemKind::CFunc, true},       {"F", ItemKind::FastFunc, true}, {"F*", ItemKind::FastShared, true},
        {"L", ItemKind::LuaFunc, true},     {"str", ItemKind::Str, true},    {"num", ItemKind::Num, true},
        {"copy", ItemKind::Copy, true},     {"last", ItemKind::Last, false}, {"set", ItemKind::Set, false},
        {"R", ItemKind::Reserve, true},     {"RF", ItemKind::ReserveFast, true},
    };
    for (const auto& d : words) {
      if (w != d.word) continue;
      *it = Item{d.kind, d.has_arg ? word() : std::string_view()};
      if (d.has_arg && it->arg.empty()) throw "library definition item without its argument";
      return true;
    }
    throw "unknown library definition item";
  }
};

// Where a stream starts in the id spaces, and what it takes.
struct Span {
  uint32_t ffid;        // first fast-function id
  uint32_t fast_entry;  // first fast-path entry
  uint32_t stored;      // entries it stores into its table
};

constexpr Span count(std::string_view text, Span start) {
  Span s = {start.ffid, start.fast_entry, 0};
  Items items{text};
  for (Item it; items.next(&it);) {
    s.ffid += takes_ffid(it.kind);
    s.fast_entry += takes_fast_entry(it.kind);
    s.stored += stores(it);
  }
  return s;
}

constexpr uint32_t stream_index(std::string_view lib) {
  for (uint32_t i = 0; i < std::size(kx_libdefs); i++)
    if (kx_libdefs[i].name == lib) return i;
  throw "unknown library stream";
}

// The first ids of a stream: ids 0 and 1 are every Lua and every API-made C function.
constexpr Span start_of(uint32_t stream) {
  Span s = {2, 0, 0};
  for (uint32_t i = 0; i < stream; i++) s = count(kx_libdefs[i].text, s);
  return Span{s.ffid, s.fast_entry, count(kx_libdefs[stream].text, {}).stored};
}

// The fast-function id of a named function (or reserved id) of a stream, and its fast-path entry.
constexpr Span find(std::string_view lib, std::string_view name, bool fast) {
  uint32_t stream = stream_index(lib);
  Span s = start_of(stream);
  Items items{kx_libdefs[stream].text};
  for (Item it; items.next(&it);) {
    if (takes_ffid(it.kind) && known_name(it.arg) == name) {
      if (fast && !takes_fast_entry(it.kind)) throw "the function has no fast path";
      return s;
    }
    s.ffid += takes_ffid(it.kind);
    s.fast_entry += takes_fast_entry(it.kind);
  }
  throw "no such function in the library stream";
}
constexpr uint32_t ffid(std::string_view lib, std::string_view name) { return find(lib, name, false).ffid; }
constexpr uint32_t fast_entry(std::string_view lib, std::string_view name) { return find(lib, name, true).fast_entry; }

// Fast-path entries of all streams together.
constexpr uint32_t fast_entry_count() {
  uint32_t last = std::size(kx_libdefs) - 1;
  return count(kx_libdefs[last].text, start_of(last)).fast_entry;
}

}  // namespace kx_libdef
