-- C declarations: layouts, packing, bit fields, enums, constant expressions, attributes, directives,
-- $ parameters, errors and the rollback of a failed ffi.cdef.
local ffi = require("ffi")
local C = ffi.C

local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "expected an error")
  return msg
end
local function cdef_err(text) return err(ffi.cdef, text) end

-- Layout and packing.
assert(ffi.sizeof("struct { char a; int b; }") == 8 and ffi.offsetof("struct { char a; int b; }", "b") == 4)
ffi.cdef([[
#pragma pack(push)
#pragma pack(1)
struct p1 { char a; int b; };
#pragma pack(push, 2)
struct p2 { char a; int b; };
#pragma pack(pop)
struct p3 { char a; int b; };
#pragma pack(pop)
struct p4 { char a; int b; };
#pragma pack(4)
struct p5 { char a; double b; };
#pragma pack()
struct p6 { char a; long long b; };
]])
assert(ffi.sizeof("struct p1") == 5 and ffi.offsetof("struct p1", "b") == 1)
assert(ffi.sizeof("struct p2") == 6 and ffi.offsetof("struct p2", "b") == 2 and ffi.alignof("struct p2") == 2)
assert(ffi.sizeof("struct p3") == 5 and ffi.sizeof("struct p4") == 8)
assert(ffi.sizeof("struct p5") == 12 and ffi.offsetof("struct p5", "b") == 4)
assert(ffi.offsetof("struct p6", "b") == ffi.alignof("long long"))
-- Packing belongs to one ffi.cdef.
ffi.cdef("#pragma pack(1)\nstruct q1 { char a; int b; };")
ffi.cdef("struct q2 { char a; int b; };")
assert(ffi.sizeof("struct q1") == 5 and ffi.sizeof("struct q2") == 8)
assert(cdef_err("#pragma pack(push)\n#pragma pack(push)\n#pragma pack(push)\n#pragma pack(push)\n" ..
                "#pragma pack(push)\n#pragma pack(push)\n#pragma pack(push)\n") ==
       "chunk has too many syntax levels near 'push' at line 7")
assert(cdef_err("#pragma pack(shove)") == "unexpected symbol near 'shove'")
assert(cdef_err("#define X 1") == "unexpected symbol near 'define'")
ffi.cdef("#pragma once\nstruct after_pragma { int x; };")
assert(ffi.sizeof("struct after_pragma") == 4)

-- Attributes.
assert(ffi.sizeof("struct { char a; int b; } __attribute__((packed))") == 5)
assert(ffi.sizeof("struct __attribute__((packed)) { char a; short b; }") == 3)
assert(ffi.alignof("struct { char a; } __attribute__((aligned(16)))") == 16)
assert(ffi.sizeof("struct { char a; } __attribute__((aligned))") == 16)
assert(ffi.offsetof("struct { char a; int b __attribute__((aligned(8))); }", "b") == 8)
assert(ffi.offsetof("struct { char a; __declspec(align(16)) int b; }", "b") == 16)
assert(ffi.sizeof("int __attribute__((mode(DI)))") == 8 and ffi.sizeof("int __attribute__((mode(__QI__)))") == 1)
assert(tostring(ffi.typeof("float __attribute__((mode(DF)))")) == "ctype<double>")
assert(ffi.sizeof("float __attribute__((mode(V4SF)))") == 16)
assert(ffi.sizeof("short __attribute__((vector_size(8)))") == 8 and ffi.alignof("int __attribute__((vector_size(32)))") == 16)
ffi.cdef([[
int __cdecl cd1(int); int __stdcall sd1(int); int __fastcall fd1(int) __attribute__((regparm(2)));
int renamed(int) asm("real" "_name");
__extension__ typedef long long ext_ll;
int *__restrict rp;
static inline int inl(int x) { if (x) { return 1; } return 0; }
int after_body;
]])
assert(ffi.sizeof("ext_ll") == 8)

-- Bit fields.
local o, p, w = ffi.offsetof("struct { int a:3, b:5; }", "b")
assert(o == 0 and p == 3 and w == 5)
o, p, w = ffi.offsetof("struct { char a; int b:32; }", "b")
assert(o == 4 and p == nil)
o, p, w = ffi.offsetof("struct { char a:7; char b:3; }", "b")
assert(o == 1 and p == 0 and w == 3)
o, p, w = ffi.offsetof("struct { int a:30; short b:4; }", "b")
assert(o == 4 and p == 0 and w == 4)
o, p = ffi.offsetof("struct { char a:1; int :0; char b:1; }", "b")
assert(o == 4 and p == 0)
assert(ffi.sizeof("struct { char c; int :3; }") == 2 and ffi.alignof("struct { char c; int :3; }") == 1)
assert(ffi.sizeof("struct { unsigned a:1; bool f:1; }") == 4)
assert(cdef_err("struct bf1 { float f:3; };") == "invalid value near ':'")
assert(cdef_err("struct bf2 { char c:9; };") == "invalid value near ':'")
assert(cdef_err("struct bf3 { bool b:2; };") == "invalid value near ':'")
assert(cdef_err("struct bf4 { int named:0; };") == "invalid value near ':'")
assert(cdef_err("struct bf5 { long long w:3; };") == "invalid value near ':'")

-- Nested and anonymous members, flexible arrays.
ffi.cdef([[
struct inner { char c; double d; };
struct outer { char tag; struct inner in[2]; union { int i; float f; }; struct { short s1, s2; }; };
struct flex { int n; char data[]; };
struct vflex { int n; double data[?]; };
]])
assert(ffi.offsetof("struct outer", "in") == ffi.alignof("double"))
assert(ffi.offsetof("struct outer", "f") == ffi.offsetof("struct outer", "i"))
assert(ffi.offsetof("struct outer", "s2") == ffi.offsetof("struct outer", "s1") + 2)
assert(ffi.sizeof("struct flex") == 4 and ffi.offsetof("struct flex", "data") == 4)
assert(ffi.sizeof("struct vflex", 3) == ffi.offsetof("struct vflex", "data") + 24)
assert(cdef_err("struct badflex { char data[]; int n; };") == "'}' expected near 'int'")
assert(cdef_err("struct anon_bad { int; };") == "'<identifier>' expected near ';'")
assert(cdef_err("union vu { int n; char d[?]; };") == "size of C type is unknown or too large near ';'")

-- Tags: an incomplete tag, completed later; redefinitions.
ffi.cdef("typedef struct foo foo_t;")
assert(ffi.sizeof("foo_t") == nil)
ffi.cdef("struct foo { int x; };")
assert(ffi.sizeof("foo_t") == 4)
assert(cdef_err("struct foo { int x; };") == "attempt to redefine 'foo' near '{'")
assert(cdef_err("union foo;") == "attempt to redefine 'foo' near ';'")
assert(err(ffi.typeof, "struct nope_s") == "undeclared or implicit tag 'nope_s' near '<eof>'")
assert(ffi.sizeof("struct { int a; } ") == 4)

-- Enums.
ffi.cdef("enum E1 { A = -1, B };")
assert(C.B == 0 and C.A == -1 and ffi.sizeof("enum E1") == 4)
ffi.cdef("enum E2 { U1 = 0xffffffff, U2 = 0x7fffffff, U3, };")
assert(C.U1 == 4294967295 and C.U3 == 2147483648)
ffi.cdef("enum { K1 = 3, K2 = K1 * 4, K3 = sizeof(struct inner), K4 = 'a', K5 = '\\n' + 0x10 };")
assert(C.K2 == 12 and C.K3 == ffi.sizeof("struct inner") and C.K4 == 97 and C.K5 == 26)
assert(ffi.sizeof("int[K2]") == 48)
assert(cdef_err("enum { Z1, Z2 Z3 };") == "'}' expected near 'Z3'")
ffi.cdef("enum ecolors { RED, GREEN }; struct uses_enum { enum ecolors c; };")
assert(ffi.sizeof("struct uses_enum") == 4)

-- Constant expressions never trap: the most negative number divided by -1, shifts of 32 or more.
ffi.cdef("enum { E = (-2147483647-1) / -1, EM = (-2147483647-1) % -1, SH = 1 << 33, SR = -16 >> 2 };")
assert(C.E == -2147483648 and C.EM == 0 and C.SH == 2 and C.SR == -4)
ffi.cdef([[enum { T1 = 1 ? 2 : 3, T2 = 0 ? 2 : 1 ? 4 : 5, T3 = !0 + ~0, T4 = (unsigned char)300,
  T5 = 07 + 0x10 + 10, T6 = -1 < 0u, T7 = (1, 2), T8 = 10 / 3 - 10 % 3, T9 = 3 > 2 && 1 || 0,
  T10 = sizeof(int[3]) == 12, T11 = __alignof__(double) >= 4, T12 = (int)-1u / 2 };]])
assert(C.T1 == 2 and C.T2 == 4 and C.T3 == 0 and C.T4 == 44 and C.T5 == 33 and C.T6 == 0)
assert(C.T7 == 2 and C.T8 == 2 and C.T9 == 1 and C.T10 == 1 and C.T11 == 1 and C.T12 == 0)
ffi.cdef("static const int SC1 = 42; struct with_const { static const int SC2 = 7; int x; };")
assert(C.SC1 == 42 and ffi.sizeof("struct with_const") == 4)
assert(cdef_err("enum { D0 = 1 / 0 };") == "invalid value near '}'")
assert(cdef_err("enum { D1 = 5 % (2 - 2) };") == "invalid value near '}'")
assert(cdef_err("enum { X1 = *1 };") == "'int' cannot be indexed near '}'")
assert(cdef_err("enum { X2 = sizeof(((struct foo *)0)->nope) };") == "'struct foo' has no member named 'nope' near 'nope'")
assert(cdef_err("enum { X3 = undefined_name };") == "unexpected symbol near 'undefined_name'")
assert(cdef_err("enum { X4 = sizeof(struct incomplete_x) };") == "size of C type is unknown or too large near '}'")
assert(cdef_err("static const double SD = 1;") == "invalid C type near '='")

-- Declarations and their errors.
assert(cdef_err("int x;\nint y;\nint z z;") == "';' expected near 'z' at line 3")
assert(cdef_err("int a;\n#line 40\nint b b;") == "';' expected near 'b' at line 40")
assert(cdef_err("int a;\n# 7 \"file.h\"\n\nint b b;") == "';' expected near 'b' at line 8")
assert(cdef_err("int a; int b") == "';' expected near '<eof>'")
ffi.cdef("int sole")
assert(cdef_err("x;") == "declaration specifier expected near 'x'")
assert(cdef_err("int a[1x];") == "malformed number near '1x'")
assert(cdef_err("int a[1.5];") == "'<identifier>' expected near '5'")
assert(cdef_err("int a[-1];") == "size of C type is unknown or too large near ']'")
assert(cdef_err("int f[2](int);") == "invalid C type near ';'")
assert(cdef_err("int g(int)(int);") == "invalid C type near ';'")
assert(cdef_err("int &*rp2;") == "invalid C type near ';'")
assert(cdef_err("struct sc { extern int x; };") == "bad storage class near 'extern'")
assert(err(ffi.typeof, "typedef int") == "bad storage class near 'typedef'")
assert(cdef_err("int a = 1;") == "';' expected near '='")
assert(cdef_err("int x asm(\"abc);") == "unfinished string near '<eof>'")
assert(cdef_err("enum { CH = 'ab' };") == "''' expected near '='")
assert(cdef_err("int v(..x);") == "'.' expected near 'x'")
assert(cdef_err("int q" .. string.rep("[1]", 5) .. string.rep(")", 1) .. ";") == "';' expected near ')'")
assert(cdef_err("int " .. string.rep("(", 30) .. "deep" .. string.rep(")", 30) .. ";") ==
       "chunk has too many syntax levels near '('")
assert(err(ffi.typeof, "int x y") == "'<eof>' expected near 'y'")

-- A struct passing 2^31 bytes is refused, not wrapped.
assert(cdef_err("struct huge { char a[0x1fffffff]; char b[0x1fffffff]; char c[0x1fffffff];" ..
                " char d[0x1fffffff]; char e[0x1fffffff]; };") == "size of C type is unknown or too large near ';'")
assert(cdef_err("struct huge2 { char a[0x7fffffff][2]; };") == "size of C type is unknown or too large near ';'")
assert(cdef_err("struct huge3 { char a[0x20000000]; };") == "size of C type is unknown or too large near ';'")

-- $ parameters.
assert(tostring(ffi.typeof("$ *", ffi.typeof("int"))) == "ctype<int *>")
assert(tostring(ffi.typeof("int $", "x")) == "ctype<int>")
assert(ffi.sizeof(ffi.typeof("struct { int a[$]; }", 5)) == 20)
ffi.cdef("int $;", "dollar_var")
ffi.cdef("struct dstruct { int a; };")
ffi.cdef("struct $ *dsp; typedef $ dstruct_t;", ffi.typeof("struct dstruct"), ffi.typeof("struct dstruct"))
assert(ffi.sizeof("dstruct_t") == 4)
assert(err(ffi.typeof, "int $") == "wrong number of type parameters near '$'")
assert(err(ffi.typeof, "int $ $", "x") == "wrong number of type parameters near '$'")
assert(err(ffi.typeof, "$ *", "int") == "declaration specifier expected near '$'")
assert(err(ffi.typeof, "int $x", "y") == "syntax error near '$'")
assert(err(ffi.typeof, "int $", {}) == "bad argument #2 to '?' (type parameter expected, got table)")
assert(err(ffi.typeof, 42) == "bad argument #1 to '?' (C type expected, got number)")
assert(err(ffi.typeof, ffi.typeof("int"), 1) == "bad argument #2 to '?' (wrong number of type parameters)")

-- A failed ffi.cdef leaves no trace: new names are dropped and a tag it completed is incomplete again.
ffi.cdef("struct rb;")
assert(cdef_err("int rb_fn(int); struct rb { int x; }; int bad(;") == "declaration specifier expected near ';'")
assert(err(function() return C.rb_fn end):match("missing declaration for symbol 'rb_fn'$"))
assert(ffi.sizeof("struct rb") == nil)
ffi.cdef("struct rb { double d; };")
assert(ffi.sizeof("struct rb") == 8)
assert(cdef_err("enum rbe { RB1 = 1 }; int bad2 bad2;") == "';' expected near 'bad2'")
assert(err(function() return C.RB1 end):match("missing declaration for symbol 'RB1'$"))

-- Nesting is limited everywhere, so deep input ends in an error, not a crash.
assert(cdef_err("enum { DEEP = " .. string.rep("1 ? 1 : ", 100000) .. "1 };") ==
       "chunk has too many syntax levels near '1'")
assert(cdef_err("enum { DEEP2 = " .. string.rep("-", 100000) .. "1 };") == "chunk has too many syntax levels near '-'")
assert(cdef_err("int " .. string.rep("*", 200) .. "p;") == "chunk has too many syntax levels near '*'")
assert(cdef_err("void f(" .. string.rep("void (*)(", 30) .. string.rep(")", 30) .. ");") ==
       "chunk has too many syntax levels near '('")
