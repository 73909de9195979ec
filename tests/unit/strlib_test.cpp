// The string library's pattern matcher against an independent reference matcher on generated
// patterns, and what only the C API can reach: replaced iterator upvalues, and memory after errors
// inside replacement functions. The rest of the library is tested by the scripts in
// tests/scripts/string.
#include <gtest/gtest.h>

#include <bitset>
#include <cctype>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

// Values as the tests write them: numbers in their default text, strings in single quotes.
std::string render(lua_State* L, int idx) {
  switch (lua_type(L, idx)) {
    case LUA_TNUMBER: return lua_tostring(L, idx);
    case LUA_TSTRING: {
      size_t n;
      const char* s = lua_tolstring(L, idx, &n);
      return "'" + std::string(s, n) + "'";
    }
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return lua_toboolean(L, idx) ? "true" : "false";
    default: return lua_typename(L, lua_type(L, idx));
  }
}

// Renders the values from stack index first to the top, separated by spaces.
std::string render_from(lua_State* L, int first) {
  std::string out;
  for (int i = first; i <= lua_gettop(L); i++) {
    lua_pushvalue(L, i);
    out += (out.empty() ? "" : " ") + render(L, -1);
    lua_pop(L, 1);
  }
  return out;
}

struct StrLib : ::testing::Test {
  lua_State* L = luaL_newstate();
  StrLib() { luaL_openlibs(L); }
  ~StrLib() override { lua_close(L); }

  // Calls the function on top with string arguments; its results, or "error: " and the message.
  std::string pcall_top(const std::vector<std::string>& args) {
    int base = lua_gettop(L);
    for (const std::string& a : args) lua_pushlstring(L, a.data(), a.size());
    std::string out;
    if (lua_pcall(L, int(args.size()), LUA_MULTRET, 0) != 0) out = std::string("error: ") + lua_tostring(L, -1);
    else out = render_from(L, base);
    lua_settop(L, base - 1);
    return out;
  }
  // string.<name>(args...)
  std::string call(const char* name, const std::vector<std::string>& args) {
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, name);
    lua_remove(L, -2);
    return pcall_top(args);
  }
};

TEST_F(StrLib, GmatchIteratorWithReplacedUpvaluesEnds) {
  // The iterator keeps subject, pattern and position as upvalues; replaced ones end the iteration.
  for (int which = 1; which <= 3; which++) {
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, "gmatch");
    lua_pushstring(L, "abc");
    lua_pushstring(L, "%a");
    lua_call(L, 2, 1);
    EXPECT_STREQ(lua_getupvalue(L, -1, 3), "");
    EXPECT_EQ(lua_tointeger(L, -1), 0);
    lua_pop(L, 1);
    if (which == 3) lua_pushnumber(L, 0.0 / 0.0);
    else lua_newtable(L);
    lua_setupvalue(L, -2, which);
    EXPECT_EQ(pcall_top({}), "") << which;
    lua_settop(L, 0);
  }
}

int repl_upper(lua_State* L) {
  std::string s = lua_tostring(L, 1);
  for (char& c : s) c = char(toupper(c));
  lua_pushstring(L, s.c_str());
  return 1;
}

int repl_table(lua_State* L) {
  lua_newtable(L);
  return 1;
}

// The pieces of a long result built from function replacements live on the stack, so an error in a
// replacement leaves nothing behind.
TEST(StrLibMemory, ErrorsInsideReplacementsLeakNothing) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L);
  std::string big(3000, 'a');
  for (int round = 0; round < 3; round++) {
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, "gsub");
    lua_pushlstring(L, big.data(), big.size());
    lua_pushstring(L, "a");
    lua_pushcfunction(L, round == 2 ? repl_table : repl_upper);
    int status = lua_pcall(L, 3, 2, 0);
    EXPECT_EQ(status, round == 2 ? LUA_ERRRUN : 0);
    lua_settop(L, 0);
  }
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_FALSE(counter.mismatch);
}

// Patterns that end in a repetition, with lengths that leave no padding after the terminating NUL:
// the look-ahead for the byte after the repetition stops at the NUL. Each string has its own block
// of exactly its size here, so the sanitizer build sees any read beyond it.
TEST(StrLibMemory, RepetitionAtThePatternEndReadsNothingBeyondIt) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L);
  const char* src =
      "assert(('a1b22c333'):gsub('%d+', '#') == 'a#b#c#')\n"
      "assert(('key=val'):match('=.*') == '=val')\n"
      "assert(('xxabcabc'):match('xx(abc)%a-') == 'abc')\n"
      "assert(('aaa'):find('a-$') == 1)\n";
  ASSERT_EQ(luaL_dostring(L, src), 0) << lua_tostring(L, -1);
  lua_close(L);
}

// ---- The reference matcher ------------------------------------------------------------------------------
//
// Written from the description of the pattern language alone: the pattern is parsed into a list of
// items first (classes become byte sets built from the C character functions), then a backtracking
// search walks the list. Errors that depend on how far matching gets are thrown when reached.

struct RefError {
  std::string msg;
};

struct RefItem {
  enum Kind { Single, Open, OpenPos, Close, Balance, Frontier, BackRef, End } kind;
  std::bitset<256> set;
  char quant = 0;
  unsigned char x = 0, y = 0;
  int ref = 0;
};

std::bitset<256> ref_class(unsigned char cl) {
  std::bitset<256> b;
  int (*pred)(int) = nullptr;
  switch (tolower(cl)) {
    case 'a': pred = isalpha; break;
    case 'c': pred = iscntrl; break;
    case 'd': pred = isdigit; break;
    case 'g': pred = isgraph; break;
    case 'l': pred = islower; break;
    case 'p': pred = ispunct; break;
    case 's': pred = isspace; break;
    case 'u': pred = isupper; break;
    case 'w': pred = isalnum; break;
    case 'x': pred = isxdigit; break;
    case 'z': b.set(0); break;
    default: b.set(cl); return b;
  }
  for (int c = 0; c < 256 && pred; c++)
    if (pred(c)) b.set(size_t(c));
  return isupper(cl) ? ~b : b;
}

// The set "[...]" starting at p[i]; *next receives the index after its closing bracket.
std::bitset<256> ref_set(const std::string& p, size_t i, size_t* next) {
  std::bitset<256> b;
  size_t j = i + 1;
  bool negate = j < p.size() && p[j] == '^';
  if (negate) j++;
  for (bool first = true;; first = false) {
    if (j >= p.size()) throw RefError{"malformed pattern (missing ']')"};
    unsigned char c = p[j];
    if (c == ']' && !first) break;
    if (c == '%') {
      b |= ref_class(p.at(j + 1));
      j += 2;
    } else if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
      for (int k = c; k <= (unsigned char)p[j + 2]; k++) b.set(size_t(k));
      j += 3;
    } else {
      b.set(c);
      j++;
    }
  }
  *next = j + 1;
  return negate ? ~b : b;
}

std::vector<RefItem> ref_parse(const std::string& p) {
  std::vector<RefItem> items;
  for (size_t i = 0; i < p.size();) {
    RefItem it{};
    char c = p[i], d = i + 1 < p.size() ? p[i + 1] : '\0';
    if (c == '(') {
      it.kind = d == ')' ? RefItem::OpenPos : RefItem::Open;
      i += d == ')' ? 2 : 1;
    } else if (c == ')') {
      it.kind = RefItem::Close;
      i++;
    } else if (c == '$' && i + 1 == p.size()) {
      it.kind = RefItem::End;
      i++;
    } else if (c == '%' && d == 'b') {
      it.kind = RefItem::Balance;
      it.x = p.at(i + 2);
      it.y = p.at(i + 3);
      i += 4;
    } else if (c == '%' && d == 'f') {
      it.kind = RefItem::Frontier;
      it.set = ref_set(p, i + 2, &i);
    } else if (c == '%' && isdigit(d)) {
      it.kind = RefItem::BackRef;
      it.ref = d - '0';
      i += 2;
    } else {
      it.kind = RefItem::Single;
      if (c == '.') it.set.set(), i++;
      else if (c == '%') it.set = ref_class(p.at(i + 1)), i += 2;
      else if (c == '[') it.set = ref_set(p, i, &i);
      else it.set.set((unsigned char)c), i++;
      if (i < p.size() && strchr("*+-?", p[i])) it.quant = p[i++];
    }
    items.push_back(it);
  }
  return items;
}

struct RefMatcher {
  std::string s;
  std::vector<RefItem> items;
  struct Cap {
    size_t start;
    long len;  // -1 open, -2 position
  };
  std::vector<Cap> caps;

  bool in(size_t k, size_t pos) const { return pos < s.size() && items[k].set[(unsigned char)s[pos]]; }

  std::optional<size_t> at(size_t k, size_t pos) {
    if (k == items.size()) return pos;
    const RefItem& it = items[k];
    switch (it.kind) {
      case RefItem::End: return pos == s.size() ? std::optional<size_t>(pos) : std::nullopt;
      case RefItem::Open:
      case RefItem::OpenPos: {
        if (caps.size() == 32) throw RefError{"too many captures"};
        caps.push_back({pos, it.kind == RefItem::OpenPos ? -2L : -1L});
        auto r = at(k + 1, pos);
        if (!r) caps.pop_back();
        return r;
      }
      case RefItem::Close: {
        size_t l = caps.size();
        while (l > 0 && caps[l - 1].len != -1) l--;
        if (l == 0) throw RefError{"invalid pattern capture"};
        caps[l - 1].len = long(pos - caps[l - 1].start);
        auto r = at(k + 1, pos);
        if (!r) caps[l - 1].len = -1;
        return r;
      }
      case RefItem::Balance: {
        if (pos >= s.size() || (unsigned char)s[pos] != it.x) return std::nullopt;
        int depth = 0;
        for (size_t q = pos; q < s.size(); q++) {
          unsigned char c = s[q];
          if (q > pos && c == it.y) depth--;
          else if (c == it.x) depth++;
          if (depth == 0) return at(k + 1, q + 1);
        }
        return std::nullopt;
      }
      case RefItem::Frontier: {
        unsigned char before = pos == 0 ? 0 : s[pos - 1], here = pos < s.size() ? s[pos] : 0;
        if (it.set[before] || !it.set[here]) return std::nullopt;
        return at(k + 1, pos);
      }
      case RefItem::BackRef: {
        size_t i = size_t(it.ref) - 1;
        if (it.ref == 0 || i >= caps.size() || caps[i].len == -1) throw RefError{"invalid capture index"};
        if (caps[i].len == -2) return std::nullopt;  // a position holds no text to compare
        size_t len = size_t(caps[i].len);
        if (pos + len > s.size() || s.compare(pos, len, s, caps[i].start, len) != 0) return std::nullopt;
        return at(k + 1, pos + len);
      }
      case RefItem::Single: break;
    }
    if (it.quant == '-') {
      for (size_t n = pos;; n++) {
        if (auto r = at(k + 1, n)) return r;
        if (!in(k, n)) return std::nullopt;
      }
    }
    if (it.quant == '?') {
      if (in(k, pos))
        if (auto r = at(k + 1, pos + 1)) return r;
      return at(k + 1, pos);
    }
    size_t run = 0;
    while (in(k, pos + run) && (run < 1 || it.quant)) run++;
    size_t least = it.quant == '*' ? 0 : 1;
    for (size_t n = run + 1; n-- > least;)
      if (auto r = at(k + 1, pos + n)) return r;
    return std::nullopt;
  }

  // The captures of a match from b to e as rendered values (the whole match when there are none).
  std::string captures(size_t b, size_t e, bool whole) {
    if (caps.empty()) return whole ? "'" + s.substr(b, e - b) + "'" : "";
    std::string out;
    for (const Cap& c : caps) {
      if (c.len == -1) throw RefError{"unfinished capture"};
      out += (out.empty() ? "" : " ") +
             (c.len == -2 ? std::to_string(c.start + 1) : "'" + s.substr(c.start, size_t(c.len)) + "'");
    }
    return out;
  }
  std::optional<size_t> attempt(size_t pos) {
    caps.clear();
    return at(0, pos);
  }

  std::string find(std::string p) {
    if (p.find_first_of(std::string("^$*+?.([%-")) == std::string::npos) {
      size_t at = s.find(p);
      return at == std::string::npos ? "nil" : std::to_string(at + 1) + " " + std::to_string(at + p.size());
    }
    bool anchor = !p.empty() && p[0] == '^';
    items = ref_parse(anchor ? p.substr(1) : p);
    for (size_t pos = 0; pos <= s.size(); pos++) {
      if (auto e = attempt(pos)) {
        std::string c = captures(pos, *e, false);
        return std::to_string(pos + 1) + " " + std::to_string(*e) + (c.empty() ? "" : " " + c);
      }
      if (anchor) break;
    }
    return "nil";
  }
  std::string gmatch(const std::string& p) {
    items = ref_parse(p);
    std::string out;
    for (size_t start = 0; start <= s.size();) {
      size_t pos = start;
      std::optional<size_t> e;
      while (pos <= s.size() && !(e = attempt(pos))) pos++;
      if (!e) break;
      out += captures(pos, *e, true) + ";";
      start = *e == pos ? *e + 1 : *e;
    }
    return out;
  }
  // gsub with the replacement "<%0|%1>".
  std::string gsub(std::string p) {
    bool anchor = !p.empty() && p[0] == '^';
    items = ref_parse(anchor ? p.substr(1) : p);
    std::string out;
    int count = 0;
    for (size_t pos = 0;;) {
      auto e = attempt(pos);
      if (e) {
        count++;
        std::string first;
        if (caps.empty()) first = s.substr(pos, *e - pos);
        else if (caps[0].len == -1) throw RefError{"unfinished capture"};
        else if (caps[0].len == -2) first = std::to_string(caps[0].start + 1);
        else first = s.substr(caps[0].start, size_t(caps[0].len));
        out += "<" + s.substr(pos, *e - pos) + "|" + first + ">";
      }
      if (e && *e > pos) pos = *e;
      else if (pos < s.size()) out += s[pos++];
      else break;
      if (anchor) {
        out += s.substr(pos);
        break;
      }
    }
    return "'" + out + "' " + std::to_string(count);
  }
};

// Random subjects and well-formed patterns over a small alphabet, so that matches are frequent.
struct PatternGen {
  std::mt19937 rng{20240517};
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  template <size_t N>
  const char* pick(const char* const (&a)[N]) { return a[below(N)]; }

  std::string subject() {
    static const char alphabet[] = "aabbc01 ()-.%]x\n";
    std::string s;
    for (size_t n = below(14); n > 0; n--) s += alphabet[below(sizeof(alphabet) - 1)];
    if (below(10) == 0) s.insert(below(2) ? 0 : below(s.size() + 1), 1, '\0');
    if (below(10) == 0) s += "\xe4";
    return s;
  }
  std::string set() {
    static const char* const parts[] = {"a", "b", "c", "x", "0", " ", "a-c", "0-9", "%d", "%a", "%s",
                                        "%p", "%W", "%]", "%-", "%%", "(", ")", ".", "%z", "%Z"};
    std::string s = "[";
    if (below(3) == 0) s += "^";
    if (below(8) == 0) s += "]";
    for (size_t n = 1 + below(3); n > 0; n--) s += pick(parts);
    if (below(8) == 0) s += "-";
    return s + "]";
  }
  std::string single() {
    static const char* const atoms[] = {"a", "b", "c", "x", "0", " ", "-", "%(", "%)", "%.", "%%", "%-",
                                        "%]", ".", "%a", "%d", "%s", "%w", "%p", "%l", "%x", "%c", "%z",
                                        "%A", "%D", "%S", "%g", "%U"};
    return below(4) == 0 ? set() : pick(atoms);
  }
  std::string items(int depth) {
    std::string p;
    for (size_t n = 1 + below(4); n > 0; n--) {
      switch (below(14)) {
        case 0:
          if (depth < 2) p += "(" + items(depth + 1) + ")";
          break;
        case 1: p += "()"; break;
        case 2: p += below(3) == 0 ? "%b()" : below(2) ? "%bab" : "%baa"; break;
        case 3: p += "%f" + (below(2) ? set() : std::string("[%w]")); break;
        case 4: p += below(3) ? "%1" : "%2"; break;
        case 5: p += below(2) ? "(" : ")"; break;  // unbalanced on purpose
        default: {
          static const char* const quants[] = {"", "", "", "*", "+", "-", "?"};
          p += single() + pick(quants);
        }
      }
    }
    return p;
  }
  std::string pattern() {
    std::string p = items(0);
    if (below(6) == 0) p = "^" + p;
    if (below(6) == 0) p += "$";
    return p;
  }
};

TEST_F(StrLib, MatcherAgreesWithReferenceOnGeneratedPatterns) {
  PatternGen gen;
  int matched = 0, errors = 0;
  for (int k = 0; k < 10000; k++) {
    std::string s = gen.subject(), p = gen.pattern();
    RefMatcher ref{s, {}, {}};
    auto expect = [&](const std::function<std::string()>& f) {
      try {
        return f();
      } catch (const RefError& e) {
        return "error: " + e.msg;
      }
    };
    std::string want_find = expect([&] { return ref.find(p); });
    std::string want_gsub = expect([&] { return ref.gsub(p); });
    std::string want_gmatch = expect([&] { return ref.gmatch(p); });
    ASSERT_EQ(call("find", {s, p}), want_find) << "subject [" << s << "] pattern [" << p << "]";
    ASSERT_EQ(call("gsub", {s, p, "<%0|%1>"}), want_gsub) << "subject [" << s << "] pattern [" << p << "]";
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, "gmatch");
    lua_pushlstring(L, s.data(), s.size());
    lua_pushlstring(L, p.data(), p.size());
    lua_call(L, 2, 1);
    std::string got;
    for (int n = 0; n < 40; n++) {
      int base = lua_gettop(L);
      lua_pushvalue(L, -1);
      if (lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
        got = std::string("error: ") + lua_tostring(L, -1);
        break;
      }
      if (lua_gettop(L) == base) break;
      got += render_from(L, base + 1) + ";";
      lua_settop(L, base);
    }
    lua_settop(L, 0);
    ASSERT_EQ(got, want_gmatch) << "subject [" << s << "] pattern [" << p << "]";
    matched += want_find != "nil" && want_find.compare(0, 6, "error:") != 0;
    errors += want_find.compare(0, 6, "error:") == 0;
  }
  // The generator must exercise both outcomes, and errors as well.
  EXPECT_GT(matched, 2500);
  EXPECT_GT(10000 - matched - errors, 1500);
  EXPECT_GT(errors, 200);
}

}  // namespace
