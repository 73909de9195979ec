-- C types: names, sizes and alignments of the predefined types for the build, and the text of types.
local ffi = require("ffi")
local x64 = ffi.abi("64bit")

local function name(t) return tostring(ffi.typeof(t)) end

-- The text is built from the middle outward.
assert(name("int *") == "ctype<int *>")
assert(name("int(*)()") == "ctype<int (*)()>")
assert(name("int[10]") == "ctype<int [10]>")
assert(name("int (*)[10]") == "ctype<int (*)[10]>")
assert(name("int *[10]") == "ctype<int *[10]>")
assert(name("int (*[3])(int)") == "ctype<int (*[3])()>")
assert(name("int (*(*)(void))[2]") == "ctype<int (*(*)())[2]>")
assert(name("char *const") == "ctype<char *const>")
assert(name("const char * volatile *") == "ctype<const char *volatile *>")
assert(name("const volatile int") == "ctype<const volatile int>")
assert(name("int[?]") == "ctype<int [?]>" and name("int[]") == "ctype<int []>")
assert(name("int &") == "ctype<int &>")
assert(name("unsigned short") == "ctype<unsigned short>" and name("signed char") == "ctype<char>")
assert(name("uint8_t *") == "ctype<unsigned char *>" and name("bool") == "ctype<bool>")
assert(name("long long") == "ctype<int64_t>" and name("unsigned __int64") == "ctype<uint64_t>")
assert(name("__int128") == "ctype<int128_t>" and name("uint128_t") == "ctype<uint128_t>")
assert(name("complex") == "ctype<complex>" and name("complex float") == "ctype<complex float>")
assert(name("float") == "ctype<float>" and name("long double") == "ctype<long double>")
assert(name("void") == "ctype<void>" and name("const void *") == "ctype<const void *>")
assert(name("int __attribute__((vector_size(16)))") == "ctype<int __attribute__((vector_size(16)))>")
assert(name("struct { int x; }"):match("^ctype<struct %d+>$"))
ffi.cdef("struct named_s { int x; }; union named_u { int x; }; enum named_e { NE_A };")
assert(name("struct named_s *") == "ctype<struct named_s *>")
assert(name("const union named_u") == "ctype<const union named_u>")
assert(name("enum named_e") == "ctype<enum named_e>")

-- A name too long for the text buffer shows as "?".
local long = string.rep("n", 600)
ffi.cdef("struct " .. long .. " { int x; };")
assert(name("struct " .. long) == "ctype<?>")

-- Sizes and alignments.
local function sa(t) return ffi.sizeof(t), ffi.alignof(t) end
local s, a = sa("__int128")
assert(s == 16 and a == 16)
s, a = sa("int128_t")
assert(s == 16 and a == 16)
assert(ffi.sizeof("bool") == 1 and ffi.sizeof("_Bool") == 1 and ffi.sizeof("wchar_t") == 4)
assert(ffi.sizeof("complex float") == 8 and ffi.sizeof("complex") == 16)
assert(ffi.sizeof("short") == 2 and ffi.sizeof("int") == 4 and ffi.sizeof("long long") == 8)
assert(ffi.sizeof("__int8") == 1 and ffi.sizeof("__int16") == 2 and ffi.sizeof("__int64") == 8)
ffi.cdef("struct incomplete_s;")
assert(ffi.sizeof("void") == nil and ffi.sizeof("int(int)") == nil and ffi.sizeof("struct incomplete_s") == nil)
assert(ffi.sizeof("int[?]", 10) == 40 and ffi.sizeof("int[?]", 0) == 0)
assert(ffi.sizeof("int[$]", 7) == 28)
assert(ffi.alignof("int &") == 4 and ffi.alignof("char[3]") == 1)
if x64 then
  assert(ffi.sizeof("long") == 8 and ffi.sizeof("unsigned long") == 8 and ffi.sizeof("void *") == 8)
  assert(ffi.sizeof("size_t") == 8 and ffi.sizeof("ptrdiff_t") == 8 and ffi.sizeof("intptr_t") == 8)
  s, a = sa("long double")
  assert(s == 16 and a == 16)
  s, a = sa("double")
  assert(s == 8 and a == 8)
  assert(ffi.sizeof("struct { char c; double d; }") == 16 and ffi.offsetof("struct { char c; double d; }", "d") == 8)
  assert(ffi.sizeof("struct { char c; long long d; }") == 16)
else
  assert(ffi.sizeof("long") == 4 and ffi.sizeof("unsigned long") == 4 and ffi.sizeof("void *") == 4)
  assert(ffi.sizeof("size_t") == 4 and ffi.sizeof("ptrdiff_t") == 4 and ffi.sizeof("intptr_t") == 4)
  s, a = sa("long double")
  assert(s == 12 and a == 4)
  s, a = sa("double")
  assert(s == 8 and a == 4)
  assert(ffi.sizeof("struct { char c; double d; }") == 12 and ffi.offsetof("struct { char c; double d; }", "d") == 4)
  assert(ffi.sizeof("struct { char c; long long d; }") == 12)
end

-- Types are shared: a pointer to int is one entry however it is written.
local function id(t) return tostring(ffi.typeof(t)) end
assert(id("int *") == id("int*") and id("signed int *") == id("int *"))

-- ffi.typeinfo describes entries.
local ti = ffi.typeinfo(9)
assert(ti.size == 4 and ti.name == nil)
ti = ffi.typeinfo(25)
assert(ti.name == "va_list")
assert(ffi.typeinfo(1).size == nil and ffi.typeinfo(100000) == nil)

-- ffi.abi answers for the build.
assert(ffi.abi("le") and ffi.abi("fpu") and ffi.abi("hardfp") and not ffi.abi("win") and not ffi.abi("be"))
assert(ffi.abi("64bit") == x64 and ffi.abi("32bit") == not x64)
assert(ffi.os == "Linux" and ffi.arch == (x64 and "x64" or "x86"))
