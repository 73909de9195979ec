// The lexer: tokens of the dialect, numbers, escapes, line counting, directives and its messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/codegen.h"
#include "compiler/lex.h"
#include "compiler/proto.h"
#include "core/entry.h"
#include "core/state.h"
#include "core/str.h"
#include "lauxlib.h"

namespace {

struct Token {
  int32_t tok;
  std::string text;  // string or name contents
  double num;
  int32_t line;
};

struct Scan {
  std::vector<Token> tokens;
  std::string chunk_name;
  std::string error;  // the message when scanning failed
};

struct ScanJob {
  const char* src;
  size_t len;
  Scan* out;
  Lexer* ls;  // owned by the caller, which frees its buffers whatever happens
};

const char* read_once(lua_State*, void* ud, size_t* size) {
  ScanJob* job = static_cast<ScanJob*>(ud);
  if (job->len == 0) return nullptr;
  *size = job->len;
  job->len = 0;
  return job->src;
}

// Runs the lexer alone over src, as the compiler's entry would set it up.
Value* scan_all(lua_State* L, lua_CFunction, void* ud) {
  ScanJob* job = static_cast<ScanJob*>(ud);
  Lexer& ls = *job->ls;
  ls.reader = read_once;
  ls.reader_data = job;
  ls.given_name = "=scan";
  kx_lex_start(&ls);
  ls.chunk_name = kx_str_newz(L, "=scan");
  ls.chunk_name_slot = savestack(L, L->top);
  setstrV(L->top++, ls.chunk_name);
  FuncBuilder fs;
  fs_init(&ls, &fs, 0);
  do {
    kx_lex_advance(&ls);
    Token t = {ls.token, "", 0, ls.line};
    if (tv_isstr(&ls.token_value) && ls.token >= KX_TK_number) t.text = std::string(strdata(strV(&ls.token_value)), strV(&ls.token_value)->len);
    if (ls.token == KX_TK_number) t.num = ls.token_value.n;
    job->out->tokens.push_back(t);
  } while (ls.token != KX_TK_eof);
  job->out->chunk_name = strdata(ls.chunk_name);
  return nullptr;
}

Scan scan(const std::string& src) {
  Scan out;
  lua_State* L = luaL_newstate();
  Lexer ls;
  kx_lex_prepare(L, &ls);
  ScanJob job = {src.data(), src.size(), &out, &ls};
  if (kx_vm_cpcall(L, nullptr, &job, scan_all) != 0) out.error = lua_tostring(L, -1);
  kx_lex_cleanup(L, &ls);
  lua_close(L);
  return out;
}

std::vector<int32_t> kinds(const Scan& s) {
  std::vector<int32_t> v;
  for (const Token& t : s.tokens) v.push_back(t.tok);
  return v;
}

double number(const std::string& src) {
  Scan s = scan(src);
  EXPECT_EQ(s.error, "") << src;
  EXPECT_EQ(s.tokens.size(), 2u) << src;
  return s.tokens.empty() ? -1 : s.tokens[0].num;
}

std::string string_value(const std::string& src) {
  Scan s = scan(src);
  EXPECT_EQ(s.error, "") << src;
  return s.tokens.empty() ? "" : s.tokens[0].text;
}

std::string load_error(const std::string& src) {
  lua_State* L = luaL_newstate();
  int status = luaL_loadbuffer(L, src.data(), src.size(), "=t");
  std::string msg = status ? lua_tostring(L, -1) : "";
  lua_close(L);
  return msg;
}

}  // namespace

TEST(Lex, DialectOperators) {
  Scan s = scan("!= ! && || -> ?. ?? ? & | ~ << >> ~>> :: ~= == >= <= .. ... < > = : .");
  EXPECT_EQ(s.error, "");
  std::vector<int32_t> want = {KX_TK_bne, '!', KX_TK_land, KX_TK_lor, KX_TK_arrow, KX_TK_safenav,
                               KX_TK_coalesce, '?', '&', '|', '~', KX_TK_shl, KX_TK_shr, KX_TK_sar,
                               KX_TK_label, KX_TK_ne, KX_TK_eq, KX_TK_ge, KX_TK_le, KX_TK_concat,
                               KX_TK_dots, '<', '>', '=', ':', '.', KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
  EXPECT_EQ(KX_TK_bne, 294);
  EXPECT_EQ(KX_TK_ne, 286);
}

TEST(Lex, ReservedWordsAndNames) {
  Scan s = scan("const continue goto x _y");
  std::vector<int32_t> want = {KX_TK_const, KX_TK_continue, KX_TK_goto, KX_TK_name, KX_TK_name, KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
  EXPECT_EQ(s.tokens[3].text, "x");
  EXPECT_EQ(s.tokens[4].text, "_y");
}

TEST(Lex, SafeNavigationIsGreedy) {
  Scan s = scan("c?.5:1");
  std::vector<int32_t> want = {KX_TK_name, KX_TK_safenav, KX_TK_number, ':', KX_TK_number, KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
  EXPECT_EQ(s.tokens[2].num, 5);
}

TEST(Lex, NumbersWithSeparatorsAndPrefixes) {
  EXPECT_EQ(number("1_000_000"), 1000000);
  EXPECT_EQ(number("0x_1F"), 31);
  EXPECT_EQ(number("0_x1F"), 31);
  EXPECT_EQ(number("0x1p4"), 16);
  EXPECT_EQ(number("0b101"), 5);
  EXPECT_EQ(number("1e_+5"), 100000);
  EXPECT_EQ(number("1E-2"), 0.01);
  EXPECT_EQ(number(".5"), 0.5);
  EXPECT_EQ(number("3."), 3);
  // In a hexadecimal number "e" is a digit, so a sign after it ends the number.
  Scan s = scan("0x1e+5");
  std::vector<int32_t> want = {KX_TK_number, '+', KX_TK_number, KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
  EXPECT_EQ(s.tokens[0].num, 30);
}

TEST(Lex, MalformedNumbers) {
  EXPECT_EQ(scan("3x").error, "scan:1: malformed number near '3x'");
  EXPECT_EQ(scan("1e").error, "scan:1: malformed number near '1e'");
  // 64-bit and imaginary literals are C data; other suffixes are malformed.
  EXPECT_EQ(scan("12LLL").error, "scan:1: malformed number near '12LLL'");
  EXPECT_EQ(scan("2ii").error, "scan:1: malformed number near '2ii'");
  EXPECT_EQ(scan("1.5LL").error, "scan:1: malformed number near '1.5LL'");
  Scan s = scan("12LL 2i");
  std::vector<int32_t> want = {KX_TK_number, KX_TK_number, KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
}

TEST(Lex, Escapes) {
  EXPECT_EQ(string_value("'\\u{48}\\u{49}'"), "HI");
  EXPECT_EQ(string_value("'\\u{10FFFF}'"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(string_value("'\\u{7FF}\\u{800}'"), "\xDF\xBF\xE0\xA0\x80");
  EXPECT_EQ(string_value("'\\x41\\65\\0669'"), std::string("AAB9"));
  EXPECT_EQ(string_value("'a\\z  \n\t b'"), "ab");
  EXPECT_EQ(string_value("'\\a\\b\\f\\n\\r\\t\\v\\\\\\\"\\''"), "\a\b\f\n\r\t\v\\\"'");
  EXPECT_EQ(string_value("'a\\\r\nb'"), "a\nb");
  EXPECT_EQ(string_value("[==[\nx]]y]==]"), "x]]y");
}

TEST(Lex, BadEscapes) {
  // The text shown is the string read so far, without the faulty escape.
  EXPECT_EQ(scan("'x\\u{110000}'").error, "scan:1: invalid escape sequence near ''x'");
  EXPECT_EQ(scan("'\\u{D800}'").error, "scan:1: invalid escape sequence near '''");
  EXPECT_EQ(scan("'\\256'").error, "scan:1: invalid escape sequence near '''");
  EXPECT_EQ(scan("'ab\\q'").error, "scan:1: invalid escape sequence near ''ab'");
  EXPECT_EQ(scan("'\\xg'").error, "scan:1: invalid escape sequence near '''");
  EXPECT_EQ(scan("'\\u48'").error, "scan:1: invalid escape sequence near '''");
}

TEST(Lex, UnfinishedStrings) {
  EXPECT_EQ(scan("\"abc").error, "scan:1: unfinished string near '<eof>'");
  EXPECT_EQ(scan("'abc\\").error, "scan:1: unfinished string near '<eof>'");
  EXPECT_EQ(scan("'abc\nd'").error, "scan:1: unfinished string near ''abc'");
  EXPECT_EQ(scan("[[abc").error, "scan:1: unfinished long string near '<eof>'");
  EXPECT_EQ(scan("--[[abc\n").error, "scan:2: unfinished long comment near '<eof>'");
  EXPECT_EQ(scan("[==x").error, "scan:1: invalid long string delimiter near '[=='");
}

TEST(Lex, Comments) {
  Scan s = scan("x--[==[ comment ]==]y --[=x\nz");
  std::vector<int32_t> want = {KX_TK_name, KX_TK_name, KX_TK_name, KX_TK_eof};
  EXPECT_EQ(kinds(s), want);
  EXPECT_EQ(s.tokens[1].text, "y");
  EXPECT_EQ(s.tokens[2].line, 2);
}

TEST(Lex, TildeArrowNeedsSecondArrow) {
  EXPECT_EQ(scan("a ~> b").error, "scan:1: unexpected symbol near '~'");
}

TEST(Lex, NewlinesOfEveryForm) {
  Scan s = scan("a\r\nb\n\rc\n\nd\re");
  ASSERT_EQ(s.tokens.size(), 6u);
  EXPECT_EQ(s.tokens[0].line, 1);
  EXPECT_EQ(s.tokens[1].line, 2);
  EXPECT_EQ(s.tokens[2].line, 3);
  EXPECT_EQ(s.tokens[3].line, 5);
  EXPECT_EQ(s.tokens[4].line, 6);
}

TEST(Lex, LineDirectives) {
  Scan s = scan("# 7 \"a.lua\"\nx\n#  12\ny");
  EXPECT_EQ(s.error, "");
  ASSERT_EQ(s.tokens.size(), 3u);
  EXPECT_EQ(s.tokens[0].line, 7);
  EXPECT_EQ(s.tokens[1].line, 12);
  EXPECT_EQ(s.chunk_name, "@a.lua");
  EXPECT_EQ(scan("x\n# 3 \"=raw\"\ny").chunk_name, "=raw");
  // Not a directive: "#" followed by anything but a digit is the length operator.
  Scan len = scan("#x\n#y");
  std::vector<int32_t> want = {'#', KX_TK_name, '#', KX_TK_name, KX_TK_eof};
  EXPECT_EQ(kinds(len), want);
  EXPECT_EQ(len.tokens[2].line, 2);
  // A "#" that is not at the start of a line is never a directive.
  EXPECT_EQ(kinds(scan("x # 5")), (std::vector<int32_t>{KX_TK_name, '#', KX_TK_number, KX_TK_eof}));
}

TEST(Lex, MalformedDirectives) {
  EXPECT_EQ(scan("x\n# 5 y").error, "scan:2: malformed line number directive near 'y'");
  EXPECT_EQ(scan("x\n# 99999999999").error, "scan:2: malformed line number directive");
  EXPECT_EQ(scan("x\n# 5 \"a\\\nb\"").error, "scan:3: malformed line number directive near '\"'");
}

TEST(Lex, DirectiveRenamesCompileErrors) {
  EXPECT_EQ(load_error("# 7 \"a.lua\"\nx = = 1"), "a.lua:7: unexpected symbol near '='");
  EXPECT_EQ(load_error("x = 1\n# 40\nx = = 1"), "t:40: unexpected symbol near '='");
}

TEST(Lex, ShebangAndByteOrderMark) {
  EXPECT_EQ(load_error("#!/usr/bin/env tarnel\nx = = 1"), "t:2: unexpected symbol near '='");
  EXPECT_EQ(load_error("\xEF\xBB\xBFx = = 1"), "t:1: unexpected symbol near '='");
  EXPECT_EQ(load_error("\xEF\xBB\xBF#!x\n\x1bLJ"), "cannot load malformed bytecode");
  EXPECT_EQ(load_error("#!x\n\x1b"), "cannot load malformed bytecode");
}

TEST(Lex, ControlCharactersInMessages) {
  EXPECT_EQ(load_error("x = \x01"), "t:1: unexpected symbol near 'char(1)'");
  EXPECT_EQ(load_error("x = @"), "t:1: unexpected symbol near '@'");
}

TEST(Lex, TokenNames) {
  lua_State* L = luaL_newstate();
  Lexer ls;
  kx_lex_prepare(L, &ls);
  EXPECT_STREQ(kx_lex_token2str(&ls, KX_TK_and), "and");
  EXPECT_STREQ(kx_lex_token2str(&ls, KX_TK_while), "while");
  EXPECT_STREQ(kx_lex_token2str(&ls, KX_TK_sar), "~>>");
  EXPECT_STREQ(kx_lex_token2str(&ls, KX_TK_eof), "<eof>");
  EXPECT_STREQ(kx_lex_token2str(&ls, '\t'), "char(9)");
  EXPECT_STREQ(kx_lex_token2str(&ls, '+'), "+");
  lua_close(L);
}
