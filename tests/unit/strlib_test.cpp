// The string library through the C API: slicing and case mapping, repetition, the pattern matcher
// (checked against an independent reference matcher on generated patterns), gsub's replacement
// kinds, format, and the string metatable.
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

// An argument of a call made by a test.
struct Arg {
  std::function<void(lua_State*)> push;
  Arg(std::function<void(lua_State*)> f) : push(std::move(f)) {}
  Arg(const std::string& s) : push([s](lua_State* L) { lua_pushlstring(L, s.data(), s.size()); }) {}
  Arg(const char* s) : Arg(std::string(s)) {}
  Arg(double n) : push([n](lua_State* L) { lua_pushnumber(L, n); }) {}
  Arg(int n) : Arg(double(n)) {}
};
const Arg nil([](lua_State* L) { lua_pushnil(L); });
const Arg yes([](lua_State* L) { lua_pushboolean(L, 1); });

// Values as the tests write them: numbers in their default text, strings in single quotes.
std::string render(lua_State* L, int idx) {
  switch (lua_type(L, idx)) {
    case LUA_TNUMBER: return lua_tostring(L, idx);  // converts a copy only when pushed; idx is a copy
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

  // Calls the function on top with args; its results, or "error: " and the message.
  std::string pcall_top(const std::vector<Arg>& args) {
    int base = lua_gettop(L);
    for (const Arg& a : args) a.push(L);
    std::string out;
    if (lua_pcall(L, int(args.size()), LUA_MULTRET, 0) != 0) out = std::string("error: ") + lua_tostring(L, -1);
    else out = render_from(L, base);
    lua_settop(L, base - 1);
    return out;
  }
  // string.<name>(args...)
  std::string call(const char* name, const std::vector<Arg>& args) {
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, name);
    lua_remove(L, -2);
    return pcall_top(args);
  }
  // (self):<name>(args...) through the string metatable.
  std::string method(const char* self, const char* name, std::vector<Arg> args) {
    lua_pushstring(L, self);
    lua_getfield(L, -1, name);
    lua_remove(L, -2);
    args.insert(args.begin(), Arg(self));
    return pcall_top(args);
  }
};

TEST_F(StrLib, ByteCharSub) {
  EXPECT_EQ(call("byte", {""}), "");
  EXPECT_EQ(call("byte", {"abc", -1}), "99");
  EXPECT_EQ(call("byte", {"abc", 0, 10}), "97 98 99");
  EXPECT_EQ(call("byte", {"abc", nil, 2}), "97 98");
  EXPECT_EQ(call("byte", {"abc", -10}), "");
  EXPECT_EQ(call("byte", {123, "2"}), "50");  // both converted in the fallback handler
  EXPECT_EQ(call("char", {}), "''");
  EXPECT_EQ(call("char", {72, "105", 65.9, -0.5}), std::string("'HiA") + '\0' + "'");
  EXPECT_EQ(call("char", {256}), "error: bad argument #1 to '?' (invalid value)");
  EXPECT_EQ(call("char", {65, -1}), "error: bad argument #2 to '?' (invalid value)");
  EXPECT_EQ(call("char", {"x"}), "error: bad argument #1 to '?' (number expected, got string)");
  EXPECT_EQ(call("sub", {"hello", 0}), "'hello'");
  EXPECT_EQ(call("sub", {"hello", -3, -2}), "'ll'");
  EXPECT_EQ(call("sub", {"hello", 4, 2}), "''");
  EXPECT_EQ(call("sub", {"hello", -100, 100}), "'hello'");
  EXPECT_EQ(call("sub", {"hello", 2, -100}), "''");
  EXPECT_EQ(call("sub", {12345, "2", "3"}), "'23'");
  EXPECT_EQ(call("sub", {"hello"}), "error: bad argument #2 to '?' (number expected, got no value)");
}

TEST_F(StrLib, ByteResultCountLimit) {
  std::string s(9000, 'x');
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  lua_getfield(L, -1, "byte");
  lua_pushlstring(L, s.data(), s.size());
  lua_pushinteger(L, 1);
  lua_pushinteger(L, 8000);
  ASSERT_EQ(lua_pcall(L, 3, LUA_MULTRET, 0), 0);
  EXPECT_EQ(lua_gettop(L), 8001);
  EXPECT_EQ(lua_tointeger(L, -1), 'x');
  lua_settop(L, 0);
  EXPECT_EQ(call("byte", {s, 1, 8001}), "error: string slice too long");
}

TEST_F(StrLib, CaseReverseRep) {
  EXPECT_EQ(call("upper", {"\xc3\xa4" "b"}), "'\xc3\xa4" "B'");
  EXPECT_EQ(call("lower", {"MiXeD 123 \xc3\x84"}), "'mixed 123 \xc3\x84'");
  EXPECT_EQ(call("reverse", {"abc"}), "'cba'");
  EXPECT_EQ(call("reverse", {12}), "'21'");
  EXPECT_EQ(call("upper", {}), "error: bad argument #1 to '?' (string expected, got no value)");
  EXPECT_EQ(call("rep", {"ab", 3, ","}), "'ab,ab,ab'");
  EXPECT_EQ(call("rep", {"x", 0, ","}), "''");
  EXPECT_EQ(call("rep", {"ab", 1, ","}), "'ab'");
  EXPECT_EQ(call("rep", {"ab", 3, nil}), "'ababab'");
  EXPECT_EQ(call("rep", {"", 4, "-"}), "'---'");
  EXPECT_EQ(method("%d", "rep", {2}), "'%d%d'");
  int base = lua_gettop(L);
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  lua_getfield(L, -1, "rep");
  lua_pushstring(L, "abcd");
  lua_pushnumber(L, 0x20000000);
  EXPECT_EQ(lua_pcall(L, 2, 1, 0), LUA_ERRMEM);
  EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
  lua_settop(L, base);
}

TEST_F(StrLib, FindAndMatch) {
  EXPECT_EQ(call("find", {"a.b", ".", 1, yes}), "2 2");
  EXPECT_EQ(call("find", {"a.b", "."}), "1 1");
  EXPECT_EQ(call("find", {"abc", "b", 10}), "nil");
  EXPECT_EQ(call("find", {"abc", "", 4}), "4 3");
  EXPECT_EQ(call("find", {"abc", "", 5}), "nil");
  EXPECT_EQ(call("find", {"abcabc", "c", -2}), "6 6");
  EXPECT_EQ(call("find", {"abcabc", "(b)(c)", 3}), "5 6 'b' 'c'");
  EXPECT_EQ(call("find", {std::string("a\0b", 3), std::string("\0", 1)}), "2 2");
  EXPECT_EQ(call("find", {"a)", ")"}), "2 2");  // no special bytes: a plain search
  EXPECT_EQ(call("match", {"key=val", "(%w+)=(%w+)"}), "'key' 'val'");
  EXPECT_EQ(call("match", {"hello", "()ll()"}), "3 5");
  EXPECT_EQ(method("hello", "match", {"()ll()"}), "3 5");
  EXPECT_EQ(call("match", {"hello", "l+"}), "'ll'");
  EXPECT_EQ(call("match", {"hello", "^l"}), "nil");
  EXPECT_EQ(call("match", {"hello", "^h(.-)l"}), "'e'");
  EXPECT_EQ(call("match", {"a^b", "a^b"}), "'a^b'");
  EXPECT_EQ(call("match", {"x$", "x$$"}), "'x$'");
  EXPECT_EQ(call("find", {"abc", "$"}), "4 3");
  EXPECT_EQ(call("gsub", {"abc", "$", "!"}), "'abc!' 1");
  EXPECT_EQ(call("match", {"f(a(b)c)d", "%b()"}), "'(a(b)c)'");
  EXPECT_EQ(call("match", {"f(a(b", "%b()"}), "nil");
  EXPECT_EQ(call("match", {"THE (quick) fox", "%f[%a]%a+%f[%A]", 5}), "'quick'");
  EXPECT_EQ(call("match", {"hello", "%f[%l]%a+"}), "'hello'");
  EXPECT_EQ(call("match", {"end", "%f[%z]"}), "''");
  EXPECT_EQ(call("find", {"end", "%f[%z]"}), "4 3");
  EXPECT_EQ(call("find", {"abc", "%f[%Z]"}), "1 0");  // the byte before the subject is a zero
  EXPECT_EQ(call("match", {"say \"hi\" ok", "%b\"\""}), "'\"hi\"'");
  EXPECT_EQ(call("match", {"say \"hi\" now", "([\"'])(.-)%1"}), "'\"' 'hi'");
  EXPECT_EQ(call("match", {"x=1, y=22", "(%a)=(%d+)$"}), "'y' '22'");
  EXPECT_EQ(call("match", {"x=1, y=22 ", "(%a)=(%d+)$"}), "nil");
  EXPECT_EQ(call("match", {"]x-", "[]x%-]+"}), "']x-'");
  EXPECT_EQ(call("match", {"abc]", "[^]]+"}), "'abc'");
  EXPECT_EQ(call("match", {"2024-05-17", "[0-9]+%-([0-1]%d)"}), "'05'");
  EXPECT_EQ(call("match", {"aaab", "a-b"}), "'aaab'");
  EXPECT_EQ(call("match", {"aaab", "a-"}), "''");
  EXPECT_EQ(call("match", {" \t\n", "^%s*$"}), "' \t\n'");
  EXPECT_EQ(call("match", {"\xe4\xb8", "[%w%p%s%c]"}), "nil");  // bytes above 127 are in no class
  EXPECT_EQ(call("match", {"a.b", "%Q%.%D"}), "nil");           // %Q: a literal Q
}

TEST_F(StrLib, PatternErrors) {
  EXPECT_EQ(call("find", {"abc", "%"}), "error: malformed pattern (ends with '%')");
  EXPECT_EQ(call("find", {"abc", "[a"}), "error: malformed pattern (missing ']')");
  EXPECT_EQ(call("find", {"abc", "[]"}), "error: malformed pattern (missing ']')");
  EXPECT_EQ(call("find", {"abc", "%b("}), "error: unbalanced pattern");
  EXPECT_EQ(call("find", {"abc", "%fa"}), "error: missing '[' after '%f' in pattern");
  EXPECT_EQ(call("match", {"abc", "a)"}), "error: invalid pattern capture");
  EXPECT_EQ(call("find", {"abc", "%1"}), "error: invalid capture index");
  EXPECT_EQ(call("find", {"abc", "(a%1)"}), "error: invalid capture index");
  EXPECT_EQ(call("find", {"abc", "(a)%0"}), "error: invalid capture index");
  EXPECT_EQ(call("match", {"abc", "(a"}), "error: unfinished capture");
  std::string caps;
  for (int i = 0; i < 33; i++) caps += "()";
  EXPECT_EQ(call("find", {"abc", caps}), "error: too many captures");
  EXPECT_EQ(call("find", {"abc", caps.substr(2)}).substr(0, 6), "1 0 1 ");
  // A malformed part the matcher never reaches raises nothing.
  EXPECT_EQ(call("find", {"abc", "x[a"}), "nil");
}

TEST_F(StrLib, DepthLimit) {
  std::string s(200, 'a'), p199, p200;
  for (int i = 0; i < 199; i++) p199 += "a?";
  p200 = p199 + "a?";
  EXPECT_EQ(call("find", {s, p199}), "1 199");
  EXPECT_EQ(call("match", {s, p200}), "error: pattern too complex");
  EXPECT_EQ(call("gsub", {s, p200, ""}), "error: pattern too complex");
  // Repetitions that are tried one after another do not nest.
  EXPECT_EQ(call("find", {std::string(5000, 'a'), "a*b"}), "nil");
  EXPECT_EQ(call("find", {std::string(5000, 'a') + "b", ".-b"}), "1 5001");
}

int repl_upper(lua_State* L) {
  std::string s = lua_tostring(L, 1);
  if (s[0] == 'z') return 0;  // keeps the match
  for (char& c : s) c = char(toupper(c));
  lua_pushstring(L, s.c_str());
  return 1;
}

int repl_args(lua_State* L) {
  lua_pushinteger(L, lua_gettop(L));
  return 1;
}

int repl_table(lua_State* L) {
  lua_newtable(L);
  return 1;
}

TEST_F(StrLib, Gsub) {
  EXPECT_EQ(call("gsub", {"hello world", "o", "0", 1}), "'hell0 world' 1");
  EXPECT_EQ(method("abc", "gsub", {"", "-"}), "'-a-b-c-' 4");
  EXPECT_EQ(call("gsub", {"abc", "%w", "%%"}), "'%%%' 3");
  EXPECT_EQ(call("gsub", {"x", "x", "%2"}), "error: invalid capture index");
  EXPECT_EQ(call("gsub", {"abc", "%w", "%1%0"}), "'aabbcc' 3");
  EXPECT_EQ(call("gsub", {"abc", "()b", "%1"}), "'a2c' 1");
  EXPECT_EQ(call("gsub", {"abc", "b", "%"}), "'a%c' 1");
  EXPECT_EQ(call("gsub", {"abc", "b", 7}), "'a7c' 1");
  EXPECT_EQ(call("gsub", {"hello world", "(o)(%s?)", "[%2%1]"}), "'hell[ o]w[o]rld' 2");
  EXPECT_EQ(call("gsub", {"aaa", "^a", "b"}), "'baa' 1");
  EXPECT_EQ(call("gsub", {"abc", "x*", "-", 2}), "'-a-bc' 2");
  EXPECT_EQ(call("gsub", {"abc", "b", "x", 0}), "'abc' 0");
  EXPECT_EQ(call("gsub", {"one two zed", "%a+", Arg([](lua_State* L) { lua_pushcfunction(L, repl_upper); })}),
            "'ONE TWO zed' 3");
  EXPECT_EQ(call("gsub", {"k=v", "(%w)=(%w)", Arg([](lua_State* L) { lua_pushcfunction(L, repl_args); })}),
            "'2' 1");
  auto table = Arg([](lua_State* L) {
    lua_newtable(L);
    lua_pushstring(L, "GET");
    lua_setfield(L, -2, "get");
    lua_pushinteger(L, 5);
    lua_setfield(L, -2, "n");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "no");
  });
  EXPECT_EQ(call("gsub", {"get n no x", "%a+", table}), "'GET 5 no x' 4");
  EXPECT_EQ(call("gsub", {"abc", "b", Arg([](lua_State* L) { lua_pushcfunction(L, repl_table); })}),
            "error: invalid replacement value (a table)");
  EXPECT_EQ(call("gsub", {"abc", "b"}), "error: bad argument #3 to '?' (string/function/table expected)");
  EXPECT_EQ(call("gsub", {"abc", "b", yes}), "error: bad argument #3 to '?' (string/function/table expected)");
  // A long result built from function replacements spans several auxiliary buffer pieces.
  std::string big(5000, 'a');
  std::string want(5000, 'A');
  EXPECT_EQ(call("gsub", {big, "a", Arg([](lua_State* L) { lua_pushcfunction(L, repl_upper); })}),
            "'" + want + "' 5000");
}

TEST_F(StrLib, Gmatch) {
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  lua_getfield(L, -1, "gmatch");
  lua_pushstring(L, "a=1, bb=22, ^c=3");
  lua_pushstring(L, "(%a+)=(%d+)");
  ASSERT_EQ(lua_pcall(L, 2, 1, 0), 0);
  std::string seen;
  for (;;) {
    lua_pushvalue(L, -1);
    lua_call(L, 0, 2);
    if (lua_isnil(L, -2)) break;
    seen += render_from(L, lua_gettop(L) - 1) + ";";
    lua_pop(L, 2);
  }
  EXPECT_EQ(seen, "'a' '1';'bb' '22';'c' '3';");
  lua_settop(L, 0);
  auto all = [&](const char* s, const char* p) {
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_getfield(L, -1, "gmatch");
    lua_pushstring(L, s);
    lua_pushstring(L, p);
    lua_call(L, 2, 1);
    std::string out;
    for (int k = 0; k < 20; k++) {
      lua_pushvalue(L, -1);
      lua_call(L, 0, 1);
      if (lua_isnil(L, -1)) break;
      out += render(L, -1) + ";";
      lua_pop(L, 1);
    }
    lua_settop(L, 0);
    return out;
  };
  EXPECT_EQ(all("abc", ""), "'';'';'';'';");
  EXPECT_EQ(all("a^b^", "^."), "'^b';");  // no anchor for gmatch
  EXPECT_EQ(all("one two", "()%a+()"), "1;5;");
  EXPECT_EQ(all("ab12cd", "%a*"), "'ab';'';'';'cd';'';");
}

TEST_F(StrLib, Format) {
  EXPECT_EQ(call("format", {"%5.1f|%-5d|%05d|%+d|%x|%#o|%e", 3.14159, 42, 42, 42, 255, 8, 0}),
            "'  3.1|42   |00042|+42|ff|010|0.000000e+00'");
  EXPECT_EQ(call("format", {"%d", "10"}), "'10'");
  EXPECT_EQ(call("format", {"%s"}), "error: bad argument #2 to '?' (value expected)");
  EXPECT_EQ(call("format", {"%y", 1}), "error: invalid option '%y' to 'format'");
  EXPECT_EQ(call("format", {"%-+ 05.3y", 1}), "error: invalid option '%-+ 05.3y' to 'format'");
  EXPECT_EQ(call("format", {"%123d", 1}), "error: invalid option '%123' to 'format'");
  EXPECT_EQ(call("format", {"%d", "x"}), "error: bad argument #2 to '?' (number expected, got string)");
  EXPECT_EQ(call("format", {"100%% %c%c", 79, 75}), "'100% OK'");
  EXPECT_EQ(call("format", {"[%5s|%-5s|%.2s|%s]", "ab", "ab", "abc", 1.5}), "'[   ab|ab   |ab|1.5]'");
  EXPECT_EQ(call("format", {"%s %s %s", nil, yes, 1e15}), "'nil true 1e+15'");
  EXPECT_EQ(call("format", {"%q", std::string("a\0b\n\"\\\r1\x7f", 9)}),
            "'\"a\\0b\\\n\\\"\\\\\\0131\\127\"'");
  EXPECT_EQ(call("format", {"%q", 12}), "'\"12\"'");
  EXPECT_EQ(call("format", {"%u %X %i", -1, 0xabc, -3.9}), "'18446744073709551615 ABC -3'");
  EXPECT_EQ(call("format", {"%p %p", nil, 1}), "'NULL NULL'");
  EXPECT_EQ(call("format", {"%g %.3g %a", 1e-5, 0.0001234, 1}), "'1e-05 0.000123 0x1p+0'");
  EXPECT_EQ(call("format", {"no conversions"}), "'no conversions'");
  EXPECT_EQ(call("format", {12}), "'12'");
}

int tostring_calls = 0;

int tostring_mm(lua_State* L) {
  tostring_calls++;
  lua_getfield(L, 1, "name");
  std::string s = std::string("<") + lua_tostring(L, -1) + ">";
  // The metamethod itself formats, which reuses the temporary buffer.
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  lua_getfield(L, -1, "format");
  lua_pushstring(L, "%s%s");
  lua_pushstring(L, s.c_str());
  lua_pushstring(L, "");
  lua_call(L, 3, 1);
  return 1;
}

TEST_F(StrLib, FormatCallsTostringOncePerArgument) {
  auto obj = [](const char* name) {
    return Arg([name](lua_State* L) {
      lua_newtable(L);
      lua_pushstring(L, name);
      lua_setfield(L, -2, "name");
      lua_newtable(L);
      lua_pushcfunction(L, tostring_mm);
      lua_setfield(L, -2, "__tostring");
      lua_setmetatable(L, -2);
    });
  };
  EXPECT_EQ(call("format", {"%d [%s] %5.3s [%s]", 7, obj("first"), obj("second"), "plain"}),
            "'7 [<first>]   <se [plain]'");
  EXPECT_EQ(tostring_calls, 2);
  std::string t = call("format", {"%s", Arg([](lua_State* L) { lua_newtable(L); })});
  EXPECT_EQ(t.substr(0, 10), "'table: 0x");
  EXPECT_EQ(t.size(), 19u);
}

TEST_F(StrLib, RegistrationAndPlaceholders) {
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  EXPECT_TRUE(lua_isnil(L, -1) == 0);
  lua_getfield(L, -1, "len");
  EXPECT_TRUE(lua_isfunction(L, -1) && !lua_iscfunction(L, -1));  // written in the engine's bytecode
  lua_settop(L, 0);
  EXPECT_EQ(call("dump", {}), "error: bad argument #1 to '?' (function expected, got no value)");
  lua_getfield(L, LUA_REGISTRYINDEX, "_PRELOAD");
  lua_getfield(L, -1, "string.buffer");
  EXPECT_TRUE(lua_isfunction(L, -1));
  lua_remove(L, -2);
  EXPECT_EQ(pcall_top({"string.buffer"}), "error: 'string.buffer' is not available yet");
  // The string metatable is shared by every string and finds only __index.
  lua_pushstring(L, "x");
  ASSERT_TRUE(lua_getmetatable(L, -1));
  lua_getfield(L, -1, "__index");
  lua_getfield(L, LUA_GLOBALSINDEX, "string");
  EXPECT_TRUE(lua_rawequal(L, -1, -2));
  lua_settop(L, 0);
}

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
        size_t len = caps[i].len == -2 ? 0 : size_t(caps[i].len);
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
