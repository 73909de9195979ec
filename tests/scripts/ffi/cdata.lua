-- C data: conversions between Lua values and C types, initialisers, and indexing of arrays,
-- pointers, structs, bit fields and complex numbers.
local ffi = require("ffi")

local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "expected an error")
  return msg
end
local function set(cd, k, v) cd[k] = v end

-- Numbers into integer, boolean and floating types; out-of-range conversions are defined.
assert(tonumber(ffi.new("uint8_t", 300)) == 44 and tonumber(ffi.new("uint8_t", -1)) == 255)
assert(tonumber(ffi.new("int8_t", 200)) == -56 and tonumber(ffi.new("int", -1.9)) == -1)
assert(tonumber(ffi.new("unsigned", -1)) == 4294967295 and tonumber(ffi.new("short", 65537)) == 1)
assert(ffi.new("int64_t", 2^63) == ffi.new("int64_t", -2^63) and ffi.new("uint64_t", 2^63) == 2^63)
assert(ffi.new("uint64_t", -1) == 18446744073709551615ULL and ffi.new("int", 0/0) == 0)
assert(ffi.new("bool[1]", 0.5)[0] == true and ffi.new("bool[1]", 0)[0] == false)
assert(ffi.new("bool[1]", -0.0)[0] == false and ffi.new("bool[2]", {1, 0})[1] == false)
assert(tonumber(ffi.new("float", 0.1)) == 0.10000000149011612 and tonumber(ffi.new("double", 0.1)) == 0.1)
assert(tonumber(ffi.new("int", true)) == 1 and ffi.new("bool[1]", ffi.new("int", 7))[0] == true)

-- Every number read from C memory is a proper number, NaN included.
local nan = ffi.cast("double*", ffi.new("uint64_t[1]", -1))[0]
assert(type(nan) == "number" and nan ~= nan)
local fnan = ffi.cast("float*", ffi.new("uint32_t[1]", 0xffffffff))[0]
assert(type(fnan) == "number" and fnan ~= fnan)

-- Arrays: one value fills every element, a table fills from [0] or [1] and zeroes the rest.
local a = ffi.new("int[4]", 7)
assert(a[0] == 7 and a[1] == 7 and a[2] == 7 and a[3] == 7)
a = ffi.new("int[4]", {1, 2})
assert(a[0] == 1 and a[1] == 2 and a[2] == 0 and a[3] == 0)
a = ffi.new("int[3]", {[0] = 5, 6})
assert(a[0] == 5 and a[1] == 6 and a[2] == 0)
a = ffi.new("int[3]", {9})
assert(a[0] == 9 and a[1] == 9 and a[2] == 9)
a = ffi.new("int[4]", 1, 2, 3)
assert(a[2] == 3 and a[3] == 0)
assert(err(ffi.new, "int[2]", {1, 2, 3}) == "too many initializers for 'int [2]'")
assert(err(ffi.new, "int[2]", 1, 2, 3) == "too many initializers for 'int [2]'")
a = ffi.new("int[?]", 3, {1, 2, 3})
assert(ffi.sizeof(a) == 12 and a[2] == 3)
local m = ffi.new("int[2][3]", {{1, 2, 3}, {4, 5, 6}})
assert(m[1][2] == 6 and m[0][1] == 2)

-- Strings: bytes into byte arrays, pointers to their bytes, enum constants by name.
local s = ffi.new("char[4]", "abcdef")
assert(s[0] == 97 and s[3] == 100)
s = ffi.new("char[8]", "hi")
assert(ffi.string(s) == "hi" and s[2] == 0)
local cp = ffi.new("const char *[1]", {"text"})
assert(ffi.string(cp[0]) == "text")
assert(err(ffi.new, "char *[1]", {"text"}) == "cannot convert 'string' to 'char *'")
ffi.cdef("enum colour { RED, GREEN = 5, BLUE };")
local e = ffi.new("enum colour[1]", {"GREEN"})
assert(e[0] == ffi.new("enum colour", 5) and tostring(e[0]) == "cdata<enum colour>: 5")
assert(err(ffi.new, "enum colour", "PURPLE") == "cannot convert 'string' to 'enum colour'")

-- Pointers: only compatible ones without a cast; const is never dropped.
local pp = ffi.new("char *[1]")
assert(err(function() pp[0] = ffi.cast("const char *", "x") end):match("cannot convert 'const char %*' to 'char %*'$"))
assert(err(ffi.new, "int *", ffi.new("char *")) == "cannot convert 'char *' to 'int *'")
assert(err(ffi.new, "int *", 5) == "cannot convert 'number' to 'int *'")
assert(err(ffi.new, "int", {}) == "cannot convert 'table' to 'int'")
local ip = ffi.new("int[1]")
local vp = ffi.new("void *", ip)
local cip = ffi.new("const int *", ip)
assert(ffi.cast("int *", vp) == ffi.cast("int *", ip) and ffi.new("int *", vp) == cip)
assert(ffi.new("unsigned int *", ffi.cast("int *", ip)) == cip)
assert(ffi.new("void *", nil) == nil and ffi.new("int *", ip) ~= nil)
assert(ffi.cast("uintptr_t", ffi.cast("void *", 12345)) == 12345)

-- Structs and unions from tables and values.
ffi.cdef([[
struct point { int x, y; };
struct rect { struct point min, max; const char *name; int64_t id; };
union num { int i; float f; };
struct mixed { char c; union { int u1; short u2; }; struct { int n1, n2; }; };
]])
local p = ffi.new("struct point", {3, 4})
assert(p.x == 3 and p.y == 4)
p = ffi.new("struct point", {y = 9})
assert(p.x == 0 and p.y == 9)
p = ffi.new("struct point", 5, 6)
assert(p.x == 5 and p.y == 6)
assert(err(ffi.new, "struct point", 1, 2, 3) == "too many initializers for 'struct point'")
p = ffi.new("struct point", {[0] = 1, 2})
assert(p.x == 1 and p.y == 2)
local r = ffi.new("struct rect", {{1, 2}, {3, 4}, "box", 7})
assert(r.min.y == 2 and r.max.x == 3 and ffi.string(r.name) == "box" and r.id == 7LL)
assert(type(r.id) == "cdata" and type(r.min.x) == "number")
local u = ffi.new("union num", {2})
assert(u.i == 2 and ffi.new("union num", {f = 1.5}).f == 1.5)
local mx = ffi.new("struct mixed", {1, 2, 3, 4})
assert(mx.c == 1 and mx.u1 == 2 and mx.n1 == 3 and mx.n2 == 4)
-- A nested struct reads as a reference into the outer one.
local inner = r.min
inner.x = 100
assert(r.min.x == 100 and tostring(inner):match("^cdata<struct point &>: 0x"))
r.max = {7, 8}
assert(r.max.x == 7 and r.max.y == 8)
r.min = ffi.new("struct point", 1, 1)
assert(r.min.y == 1)
local s64 = ffi.new("struct { int64_t a; int b; }")
assert(type(s64.a) == "cdata" and type(s64.b) == "number")

-- Pointers to structs index their fields; arrays and pointers index elements.
local pts = ffi.new("struct point[3]", {{1, 2}, {3, 4}, {5, 6}})
local pt = ffi.cast("struct point *", pts)
assert(pt.x == 1 and pt[2].y == 6 and (pt + 1).x == 3 and pts[1].y == 4)
pt[1].x = 30
assert(pts[1].x == 30)
assert(pts[2LL].x == 5 and pt[ffi.new("int", 2)].y == 6)

-- Bit fields: sign extension, booleans, and fields of a packed struct that pass a container's end.
ffi.cdef([[
struct flags { int s:3; unsigned u:5; bool b:1; unsigned :2; unsigned hi:20; };
#pragma pack(1)
struct packed_bits { char c; unsigned int wide:30; unsigned int last:2; };
#pragma pack()
]])
local f = ffi.new("struct flags")
f.s = -3
f.u = 33
f.b = true
f.hi = 0xfffff
assert(f.s == -3 and f.u == 1 and f.b == true and f.hi == 0xfffff)
f.s = 5
assert(f.s == -3)
local pb = ffi.new("struct packed_bits")
pb.c = 0x7f
pb.wide = 0x3fffffff
pb.last = 2
assert(pb.c == 0x7f and pb.wide == 0x3fffffff and pb.last == 2 and ffi.sizeof(pb) == 5)
pb.wide = 0x12345678
assert(pb.wide == 0x12345678 and pb.last == 2 and pb.c == 0x7f)

-- Complex numbers.
local c = ffi.new("complex", 1, -2)
assert(c.re == 1 and c.im == -2 and tostring(c) == "1-2i")
assert(tostring(ffi.new("complex float", 3)) == "3+0i")
c.im = 5
assert(c.im == 5)

-- Constant locations.
local k = ffi.new("const int[2]", {1, 2})
assert(err(set, k, 0, 5):match("attempt to write to constant location$"))
local kp = ffi.new("struct { const int x; int y; }")
assert(err(set, kp, "x", 1):match("attempt to write to constant location$"))
kp.y = 3
assert(kp.y == 3)

-- Index errors.
assert(err(function() return p.z end):match("'struct point' has no member named 'z'$"))
assert(err(function() return ffi.new("int")[0] end):match("'int' cannot be indexed with 'number'$"))
assert(err(function() return ffi.new("int")[{}] end):match("'int' cannot be indexed$"))
assert(err(function() return ffi.new("struct point")[1] end):match("'struct point' cannot be indexed with 'number'$"))
assert(err(function() return ffi.cast("struct undefined_s *", 0)[1] end) ~= nil)
ffi.cdef("struct undefined_s;")
assert(err(function() return ffi.cast("struct undefined_s *", 0)[1] end):match("size of C type is unknown or too large$"))

-- Constants of a struct type are read through its ctype.
ffi.cdef("struct with_k { static const int K = 42; int v; };")
assert(ffi.typeof("struct with_k").K == 42 and ffi.new("struct with_k").v == 0)
