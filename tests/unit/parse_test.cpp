// The compiler and the load entries: compile errors, limits, generated code that listings cannot
// cover cheaply, load modes and readers, and a few programs run end to end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bytecode/bc.h"
#include "core/func.h"
#include "core/state.h"
#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

// The message of a failed compile under chunk name "=t", or "" when it compiles.
std::string compile_error(const std::string& src) {
  lua_State* L = luaL_newstate();
  int status = luaL_loadbuffer(L, src.data(), src.size(), "=t");
  std::string msg;
  if (status != 0) {
    EXPECT_EQ(status, LUA_ERRSYNTAX);
    EXPECT_EQ(lua_gettop(L), 1);
    msg = lua_tostring(L, -1);
  }
  lua_close(L);
  return msg;
}

// The result of running src as a chunk: the first result converted to a string, or "error: ...".
std::string run(const std::string& src) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  int status = luaL_loadbuffer(L, src.data(), src.size(), "=t");
  if (status == 0) status = lua_pcall(L, 0, 1, 0);
  std::string out;
  if (status != 0) {
    out = std::string("error: ") + lua_tostring(L, -1);
  } else if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) {
    out = lua_tostring(L, -1);
  } else {
    out = lua_typename(L, lua_type(L, -1));
  }
  lua_close(L);
  return out;
}

// The main prototype of a compiled chunk; the state stays open for the caller to close.
const GcProto* compile(lua_State* L, const std::string& src, const char* mode = nullptr) {
  int status = luaL_loadbufferx(L, src.data(), src.size(), "=t", mode);
  EXPECT_EQ(status, 0) << lua_tostring(L, -1);
  if (status != 0) return nullptr;
  const Value* top = L->top - 1;
  return tv_isproto(top) ? protoV(top) : funcproto(funcV(top));
}

}  // namespace

TEST(Compile, StatementErrors) {
  EXPECT_EQ(compile_error("x != 1"), "t:1: '=' expected near '!'");
  EXPECT_EQ(compile_error("x + = 1"), "t:1: '=' expected near '+'");
  EXPECT_EQ(compile_error("x ^= 2"), "t:1: '=' expected near '^'");
  EXPECT_EQ(compile_error("(f) = 1"), "t:1: syntax error near '='");
  EXPECT_EQ(compile_error("f() = 1"), "t:1: unexpected symbol near '='");
  EXPECT_EQ(compile_error("a?.b, c = 1, 2"), "t:1: syntax error near ','");
  EXPECT_EQ(compile_error("x -> x"), "t:1: '=' expected near '->'");
  EXPECT_EQ(compile_error("for i in"), "t:1: unexpected symbol near '<eof>'");
  EXPECT_EQ(compile_error("for i do end"), "t:1: '=' or 'in' expected near 'do'");
  EXPECT_EQ(compile_error("return 1 x = 2"), "t:1: '<eof>' expected near 'x'");
  EXPECT_EQ(compile_error("f("), "t:1: unexpected symbol near '<eof>'");
  EXPECT_EQ(compile_error("f:m"), "t:1: function arguments expected near '<eof>'");
  EXPECT_EQ(compile_error("function f(a,) end"), "t:1: <name> or '...' expected near ')'");
  EXPECT_EQ(compile_error("function f() return ... end"),
            "t:1: cannot use '...' outside a vararg function near '...'");
  EXPECT_EQ(compile_error("if x then\n\ny = 1"), "t:3: 'end' expected (to close 'if' at line 1) near '<eof>'");
  EXPECT_EQ(compile_error("x = c ? 1 2"), "t:1: ':' expected near '2'");
  EXPECT_EQ(compile_error("x = a?.5"), "t:1: '<name>' expected near '5'");
  EXPECT_EQ(compile_error("x = c ? a?.:m() : 1"), "t:1: unexpected symbol near ':'");
  EXPECT_EQ(compile_error("f = |a| a"), "t:1: '->' expected near 'a'");
}

TEST(Compile, ConstVariables) {
  EXPECT_EQ(compile_error("const x = 1; x = 2"), "t:1: attempt to assign to const variable 'x' near '='");
  EXPECT_EQ(compile_error("const x = 1; x += 1"), "t:1: attempt to assign to const variable 'x' near '+'");
  EXPECT_EQ(compile_error("const f = 1; function f() end"),
            "t:1: attempt to assign to const variable 'f' near '('");
  EXPECT_EQ(compile_error("const x = 1; g = function() x = 2 end"),
            "t:1: attempt to assign to const variable 'x' near '='");
  EXPECT_EQ(compile_error("const function f() f = 1 end"),
            "t:1: attempt to assign to const variable 'f' near '='");
  EXPECT_EQ(compile_error("const x = 1; do local x = 2 end"),
            "t:1: attempt to re-declare const variable 'x' near '='");
  EXPECT_EQ(compile_error("const a, a = 1, 2"), "t:1: attempt to re-declare const variable 'a' near '='");
  EXPECT_EQ(compile_error("const x = 1; function g(x) end"),
            "t:1: attempt to re-declare const variable 'x' near ')'");
  EXPECT_EQ(compile_error("local x = 1; const x = 2; const y = x"), "");
  EXPECT_EQ(compile_error("const x; local y = x"), "");
  // "const" and "continue" remain names where no declaration or statement can start.
  EXPECT_EQ(compile_error("const = 5; continue = 1; local continue = 3; local t = {const = 1}"), "");
}

TEST(Compile, JumpErrors) {
  EXPECT_EQ(compile_error("goto nowhere"), "t:1: undefined label 'nowhere'");
  EXPECT_EQ(compile_error("do\n  break\nend"), "t:2: no loop to break");
  EXPECT_EQ(compile_error("if x then continue end"), "t:1: no loop to continue");
  EXPECT_EQ(compile_error("::a:: ::a::"), "t:1: duplicate label 'a' near '::'");
  EXPECT_EQ(compile_error("goto done\nlocal x = 1\n::done::\nprint(x)"),
            "t:1: <goto done> jumps into the scope of local 'x'");
  EXPECT_EQ(compile_error("goto done; local x = 1; ::done::"), "");
  EXPECT_EQ(compile_error("repeat if c then continue end local x = 1 until x"),
            "t:1: <continue> jumps into the scope of local 'x'");
  EXPECT_EQ(compile_error("repeat local x = 1; continue until x"), "");
  EXPECT_EQ(compile_error("repeat continue; local x = 1 until x"), "t:1: 'until' expected near 'local'");
  // "continue" not followed by the end of its block is a name.
  EXPECT_EQ(compile_error("while true do continue f() end"), "t:1: '=' expected near 'f'");
  EXPECT_EQ(compile_error("while true do local function f() break end end"), "t:1: no loop to break");
}

TEST(Compile, Limits) {
  // A right-associative chain nests one level per operand.
  std::string chain = "x = a" + repeat(" .. a", 197);
  EXPECT_EQ(compile_error(chain), "");
  EXPECT_EQ(compile_error(chain + " .. a"), "t:1: chunk has too many syntax levels near 'a'");
  EXPECT_EQ(compile_error("x = a" + repeat(" + a", 5000)), "");
  EXPECT_EQ(compile_error(repeat("do ", 300) + repeat("end ", 300)), "t:1: chunk has too many syntax levels near 'do'");
  EXPECT_EQ(compile_error("f(" + repeat("1, ", 260) + "1)"), "t:1: function or expression too complex near '1'");
  EXPECT_EQ(compile_error(repeat("local a\n", 201)), "t:202: main function has more than 200 local variables near '<eof>'");
  EXPECT_EQ(compile_error(repeat("local a\n", 200)), "");
  // Every declaration of a function keeps its debug entry until the function ends.
  EXPECT_EQ(compile_error(repeat("do local a end\n", 65476)), "");
  EXPECT_EQ(compile_error(repeat("do local a end\n", 65477)), "t:65477: chunk has more than 65476 local variables near 'end'");
  std::string uvs;
  for (int i = 0; i < 61; i++) uvs += "local v" + std::to_string(i) + "\n";
  uvs += "function f()\n";
  for (int i = 0; i < 61; i++) uvs += "x = v" + std::to_string(i) + "\n";
  uvs += "end";
  EXPECT_EQ(compile_error(uvs), "t:124: function at line 62 has more than 60 upvalues near 'end'");
}

TEST(Compile, LongJumps) {
  // A jump across more than 32767 instructions cannot be encoded.
  std::string body = "local x\nif x then\n" + repeat("x = 1\n", 33000) + "end\n";
  EXPECT_EQ(compile_error(body), "t:33004: control structure too long near '<eof>'");
  EXPECT_EQ(compile_error("local x\nif x then\n" + repeat("x = 1\n", 30000) + "end\n"), "");
}

TEST(Compile, ArithmeticFormsBeyondByteConstants) {
  // 256 distinct constants fill the byte-sized operand range; the next one needs a register.
  std::string src = "local x = ...\nlocal t = {";
  for (int i = 0; i < 256; i++) src += "x + " + std::to_string(i + 0.5) + ", ";
  src += "}\nreturn x + 1000.5";
  lua_State* L = luaL_newstate();
  const GcProto* pt = compile(L, src);
  ASSERT_NE(pt, nullptr);
  uint32_t last_add = 0;
  for (uint32_t i = 1; i < pt->code_size; i++) {
    uint32_t op = bc_op(proto_bc(pt)[i]);
    if (op == BC_ADDVN || op == BC_ADDVV) last_add = op;
  }
  EXPECT_EQ(last_add, BC_ADDVV + 0u);
  EXPECT_EQ(pt->num_const_count, 257u);
  lua_close(L);
}

TEST(Compile, ReturnFixupAndFinalReturn) {
  lua_State* L = luaL_newstate();
  const GcProto* pt = compile(L, "local c = ...\nif c then return end\nlocal x = 1\ng = function() return x end");
  ASSERT_NE(pt, nullptr);
  const Instr* bc = proto_bc(pt);
  EXPECT_EQ(bc_op(bc[3]), BC_JMP + 0u);
  EXPECT_EQ(bc_op(bc[4]), BC_UCLO + 0u);  // was RET0
  uint32_t copy = 4 + 1 + bc_d(bc[4]) - KX_BCBIAS_J;
  EXPECT_EQ(bc_op(bc[copy]), BC_RET0 + 0u);
  EXPECT_EQ(copy, pt->code_size - 1);
  lua_close(L);
  L = luaL_newstate();
  pt = compile(L, "local c = ...\nif c then return 1 end");
  ASSERT_NE(pt, nullptr);
  EXPECT_EQ(bc_op(proto_bc(pt)[pt->code_size - 1]), BC_RET0 + 0u);
  EXPECT_EQ(bc_op(proto_bc(pt)[pt->code_size - 2]), BC_RET1 + 0u);
  lua_close(L);
}

TEST(Compile, LineMapWidths) {
  lua_State* L = luaL_newstate();
  const GcProto* pt = compile(L, "x = 1" + repeat("\n", 300) + "y = 2");
  ASSERT_NE(pt, nullptr);
  EXPECT_EQ(pt->first_line, 0u);
  EXPECT_EQ(pt->line_count, 301u);
  EXPECT_EQ(static_cast<const uint8_t*>(pt->upval_names) - static_cast<const uint8_t*>(pt->line_info.get()),
            2 * (pt->code_size - 1));
  EXPECT_EQ(bc_op(proto_bc(pt)[0]), BC_FUNCV + 0u);
  lua_close(L);
}

TEST(Compile, PrototypeLayout) {
  lua_State* L = luaL_newstate();
  const GcProto* pt = compile(L, "local a = 'x' .. 'y' .. 1.5\nreturn function() return a, 2.5, 'z' end");
  ASSERT_NE(pt, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pt->consts.get()) % 8, 0u);
  EXPECT_EQ(pt->gc_const_count, 3u);   // "x", "y", the function
  EXPECT_EQ(pt->num_const_count, 1u);  // 1.5
  EXPECT_EQ(pt->consts[0].n, 1.5);
  const GcProto* child = reinterpret_cast<GcProto*>(proto_kgc(pt, -3));
  ASSERT_EQ(child->gc_type, KX_IPROTO);
  EXPECT_EQ(child->upval_count, 1);
  EXPECT_EQ(child->upval_descs[0], KX_UV_LOCAL | KX_UV_IMMUTABLE | 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(child->upval_names.get()), "a");
  EXPECT_EQ(child->first_line, 2u);
  EXPECT_EQ(bc_op(proto_bc(child)[0]), BC_FUNCF + 0u);
  EXPECT_EQ(bc_a(proto_bc(child)[0]), child->frame_size);
  EXPECT_EQ(reinterpret_cast<const char*>(pt) + pt->total_size,
            reinterpret_cast<const char*>(pt->var_info.get()) + 5);  // "a", start 0 -> 2, length, end byte
  lua_close(L);
}

TEST(Load, ModesAndChunkNames) {
  lua_State* L = luaL_newstate();
  EXPECT_EQ(luaL_loadstring(L, "x = = 1"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "[string \"x = = 1\"]:1: unexpected symbol near '='");
  EXPECT_EQ(luaL_loadbufferx(L, "return 1", 8, "=m", ""), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "attempt to load chunk with wrong mode");
  EXPECT_EQ(luaL_loadbufferx(L, "return 1", 8, "=m", "b"), LUA_ERRSYNTAX);
  EXPECT_EQ(luaL_loadbufferx(L, "\x1bKX", 3, "=m", "t"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "attempt to load chunk with wrong mode");
  EXPECT_EQ(luaL_loadbufferx(L, "return 1", 8, "=m", "bt"), 0);
  EXPECT_EQ(lua_type(L, -1), LUA_TFUNCTION);
  EXPECT_EQ(luaL_loadbufferx(L, "return 1", 8, "=m", "tX"), 0);
  EXPECT_TRUE(tv_isproto(L->top - 1));
  EXPECT_EQ(bc_op(proto_bc(protoV(L->top - 1))[0]), BC_NOT + 0u);
  lua_settop(L, 0);
  EXPECT_EQ(luaL_loadbuffer(L, "", 0, nullptr), 0);  // empty input, chunk name "?"
  EXPECT_EQ(luaL_loadbuffer(L, "x = = 1", 7, nullptr), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "[string \"?\"]:1: unexpected symbol near '='");
  EXPECT_EQ(lua_gettop(L), 2);
  lua_close(L);
}

TEST(Load, Files) {
  char dir[] = "/tmp/kxloadXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/chunk.lua";
  FILE* f = fopen(path.c_str(), "wb");
  fputs("\xEF\xBB\xBFreturn 42\n", f);
  fclose(f);
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  ASSERT_EQ(luaL_loadfile(L, path.c_str()), 0);
  EXPECT_EQ(lua_gettop(L), 1);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
  EXPECT_EQ(lua_tonumber(L, -1), 42);
  lua_settop(L, 0);
  EXPECT_EQ(luaL_loadfile(L, (path + ".missing").c_str()), LUA_ERRFILE);
  EXPECT_EQ(std::string(lua_tostring(L, -1)), "cannot open " + path + ".missing: No such file or directory");
  lua_settop(L, 0);
  // A read error is never a successful load of what was read before it.
  EXPECT_EQ(luaL_loadfile(L, dir), LUA_ERRFILE);
  EXPECT_EQ(std::string(lua_tostring(L, -1)), std::string("cannot read ") + dir + ": Is a directory");
  EXPECT_EQ(lua_gettop(L), 1);
  lua_settop(L, 0);
  f = fopen(path.c_str(), "wb");
  fputs("x = = 1", f);
  fclose(f);
  EXPECT_EQ(luaL_loadfile(L, path.c_str()), LUA_ERRSYNTAX);
  EXPECT_EQ(std::string(lua_tostring(L, -1)), path + ":1: unexpected symbol near '='");
  EXPECT_EQ(lua_gettop(L), 1);
  lua_close(L);
  remove(path.c_str());
  rmdir(dir);
}

TEST(Load, SmallBlocksAndFreesEverything) {
  // A reader that hands out one byte at a time sees the same chunk as one that hands out all.
  struct Bytes {
    const char* p;
    size_t left;
  };
  auto one_byte = [](lua_State*, void* ud, size_t* size) -> const char* {
    Bytes* b = static_cast<Bytes*>(ud);
    if (b->left == 0) return nullptr;
    b->left--;
    *size = 1;
    return b->p++;
  };
  const char* src = "# 3 \"f\"\nlocal t = {1, 2, [[s]], 'q'}\nreturn #t .. t[3] .. t[4]";
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  luaL_openlibs(L);
  Bytes b = {src, strlen(src)};
  ASSERT_EQ(lua_load(L, one_byte, &b, "=bytes"), 0) << lua_tostring(L, -1);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
  EXPECT_STREQ(lua_tostring(L, -1), "4sq");
  b = {"# 3 \"f\"\nx = = 1", 15};
  EXPECT_EQ(lua_load(L, one_byte, &b, "=bytes"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "f:3: unexpected symbol near '='");
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_FALSE(counter.mismatch);
}

TEST(Run, DialectExpressions) {
  EXPECT_EQ(run("return 1 + 2 << 1"), "6");
  EXPECT_EQ(run("return 2 ^ 3 ^ 2"), "512");
  EXPECT_EQ(run("return -2 ^ 2"), "-4");
  EXPECT_EQ(run("local x = 5 return x ~ 3, ~x"), "6");
  EXPECT_EQ(run("return tostring(false ?? 1)"), "false");
  EXPECT_EQ(run("return tostring(nil ?? false ?? 3)"), "false");
  EXPECT_EQ(run("local n = 0 local function g() n = n + 1 return 'g' end return (1 ?? g()) .. n"), "10");
  EXPECT_EQ(run("local t return tostring(t?.a)"), "nil");
  EXPECT_EQ(run("local t = {} return t?.a.b"), "error: t:1: attempt to index field 'a' (a nil value)");
  EXPECT_EQ(run("local t t?.m() return 'skipped'"), "skipped");
  EXPECT_EQ(run("local t local a, b = t?.f() return tostring(a) .. tostring(b)"), "nilnil");
  EXPECT_EQ(run("local o = {v = 2, m = function(s, k) return s.v + k end} return o?.:m(1) + o:m?.(2)"), "7");
  EXPECT_EQ(run("local c, y = true, 4 return c ? y : 0"), "4");
  EXPECT_EQ(run("local x, y = true, false return x ? y ? 1 : 2 : 3"), "2");
  EXPECT_EQ(run("return (x -> x * 2)(21) + (|a, b| -> a - b)(5, 3) + (|| -> 1)()"), "45");
  EXPECT_EQ(run("local f = |...| -> select('#', ...) return f(1, nil, 3)"), "3");
}

TEST(Run, StatementsAndLoops) {
  EXPECT_EQ(run("local s = 0 for i = 1, 5 do if i % 2 == 0 then continue end s += i end return s"), "9");
  EXPECT_EQ(run("local s, i = 0, 0 while i < 5 do i += 1 if i == 3 then continue end s += i end return s"), "12");
  EXPECT_EQ(run("local n = 0 repeat local v = n n += 1 if v == 1 then continue end until n >= 3 return n"), "3");
  EXPECT_EQ(run("local f = {} for i = 1, 3 do local x = i f[i] = function() return x end continue end "
                "return f[1]() + f[3]()"),
            "4");
  EXPECT_EQ(run("local s = 0 for k, v in pairs({1, 2, 3}) do s += v end return s"), "6");
  EXPECT_EQ(run("local s = '' s ..= 'a' .. 'b' local t = {k = -8} t.k ~>>= 1 return s .. t.k"), "ab-4");
  EXPECT_EQ(run("local x = 6 x ~= 3 return x"), "5");
  EXPECT_EQ(run("local i = 1 ::top:: if i < 4 then i += 1 goto top end return i"), "4");
  EXPECT_EQ(run("local t, i = {1, 2}, 1 i, t[i] = 2, 10 return t[1] .. i"), "102");
}

TEST(Run, ConstructorOpenCallAtEveryPosition) {
  // The multiple results of a final call are all stored, whatever its index.
  for (int n : {1, 254, 255, 256, 300}) {
    std::string src = "local function g() return 'a', 'b' end local t = {" + repeat("0, ", n - 1) +
                      "g()} return #t .. t[" + std::to_string(n) + "] .. t[" + std::to_string(n + 1) + "]";
    EXPECT_EQ(run(src), std::to_string(n + 1) + "ab") << n;
  }
}

TEST(Run, LineNumbersInRuntimeErrors) {
  EXPECT_EQ(run("local x\nlocal y = -x\nreturn y"), "error: t:2: attempt to perform arithmetic on local 'x' (a nil value)");
  EXPECT_EQ(run("local t\n\nreturn t.x"), "error: t:3: attempt to index local 't' (a nil value)");
}
