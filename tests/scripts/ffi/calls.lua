-- Native calls: every scalar type, structs by value, variadic calls, callbacks, variables and calling
-- conventions, each compared with the same call made by C. The library comes from KX_TEST_FFILIB
-- (set by ctest).
local ffi = require("ffi")
local x64 = ffi.abi("64bit")
local path = assert(os.getenv("KX_TEST_FFILIB"), "KX_TEST_FFILIB names the test library")
local lib = ffi.load(path)

ffi.cdef([[
int8_t ft_i8(int8_t, int8_t); uint8_t ft_u8(uint8_t, uint8_t); int16_t ft_i16(int16_t, int16_t);
uint16_t ft_u16(uint16_t, uint16_t); int32_t ft_i32(int32_t, int32_t); uint32_t ft_u32(uint32_t, uint32_t);
int64_t ft_i64(int64_t, int64_t); uint64_t ft_u64(uint64_t, uint64_t); float ft_f(float, float);
double ft_d(double, double); long double ft_ld(long double, long double); bool ft_bool(bool, int);
long ft_long(long, unsigned long); size_t ft_size(const char *); char *ft_ptr(char *, int);
complex float ft_cf(complex float); complex double ft_cd(complex double, complex double);
void ft_void(int *out, int v);
double ft_many(int, double, int, float, long long, double, char, double, int, double, double, double, short,
               double, unsigned char, double);
void direct_i8(int8_t *); void direct_u8(uint8_t *); void direct_i16(int16_t *); void direct_u16(uint16_t *);
void direct_i32(int32_t *); void direct_u32(uint32_t *); void direct_i64(int64_t *); void direct_u64(uint64_t *);
void direct_f(float *); void direct_d(double *); void direct_ld(long double *); void direct_many(double *);

struct s_int { int a; };
struct s_intflt { int a; float b; };
struct s_dbl { double a; };
struct s_flt2 { float a, b; };
struct s_dblint { double a; int b; };
struct s_intdbl { int a; double b; };
struct s_flt3 { float a, b, c; };
struct s_chr3 { char c[3]; };
struct s_ll2 { long long a, b; };
struct s_dbl2 { double a, b; };
struct s_big { int a[5]; double d; };
struct s_nest { struct s_flt2 f; int i; };
int ft_sum_big(const struct s_big *);

int ft_isum(int n, ...);
double ft_vmix(const char *fmt, ...);
void direct_vmix(double *);
int snprintf(char *buf, size_t n, const char *fmt, ...);

int ft_apply(int (*f)(int, int), int a, int b);
double ft_apply_mixed(double (*f)(double, float, int64_t, uint8_t), double a);
struct s_dblint ft_apply_struct(struct s_dblint (*f)(struct s_dblint), double a, int b);
int ft_repeat(void (*f)(int), int n);
const char *ft_apply_str(const char *(*f)(const char *));
bool ft_apply_bool(bool (*f)(bool));
void qsort(void *base, size_t n, size_t size, int (*cmp)(const void *, const void *));

extern int ft_counter;
double ft_scale;
const char *ft_name;
struct s_dbl2 ft_pair;
int ft_read_counter(void);
int abs(int); size_t strlen(const char *); int close(int);
]])

-- Scalars: the ffi's call against C's.
local function direct(name, ctype)
  local out = ffi.new(ctype .. "[1]")
  lib["direct_" .. name](out)
  return out[0]
end
assert(lib.ft_i8(-7, 9) == direct("i8", "int8_t") and lib.ft_i8(-7, 9) == -63)
assert(lib.ft_u8(200, 100) == direct("u8", "uint8_t") and lib.ft_u8(200, 100) == 44)
assert(lib.ft_i16(-30000, 10000) == direct("i16", "int16_t") and lib.ft_i16(-30000, 10000) == 25536)
assert(lib.ft_u16(300, 300) == direct("u16", "uint16_t"))
assert(lib.ft_i32(-46341, 46341) == direct("i32", "int32_t"))
assert(lib.ft_u32(1, 2) == direct("u32", "uint32_t") and lib.ft_u32(1, 2) == 4294967295)
assert(lib.ft_i64(-4294967296LL, 3) == direct("i64", "int64_t") and lib.ft_i64(-4294967296LL, 3) == -12884901888LL)
assert(lib.ft_u64(18446744073709551615ULL, 2) == direct("u64", "uint64_t") and lib.ft_u64(-1ULL, 2) == 1ULL)
assert(lib.ft_f(1, 3) == direct("f", "float") and lib.ft_d(1, 3) == direct("d", "double"))
assert(lib.ft_d(1, 3) == 1 / 3)
assert(tostring(lib.ft_ld(1, 3)) == tostring(direct("ld", "long double")))
assert(lib.ft_bool(true, 1) == true and lib.ft_bool(true, 0) == false and lib.ft_bool(false, 1) == false)
assert(lib.ft_long(-5, 7) == -12 and lib.ft_size("abc") == 6)
local buf = ffi.new("char[8]", "abcdefg")
assert(ffi.string(lib.ft_ptr(buf, 3)) == "defg" and lib.ft_ptr(buf, 3) - buf == 3)
local cf = lib.ft_cf(ffi.new("complex float", 1.5, -2))
assert(cf.re == 3 and cf.im == -4)
local cd = lib.ft_cd(ffi.new("complex", 1, 2), ffi.new("complex", 3, 4))
assert(cd.re == -5 and cd.im == 10 and tostring(cd) == "-5+10i")
local out = ffi.new("int[1]")
assert(lib.ft_void(out, 42) == nil and out[0] == 42 and select("#", lib.ft_void(out, 1)) == 0)
assert(lib.ft_many(1, 2.5, -3, 4.25, 5000000000LL, 6.5, 65, 8.125, -9, 10.5, 11.75, 12.5, -13, 14.5, 250, 16.25)
       == direct("many", "double"))

-- Structs by value, each x86-64 classification case.
local structs = {
  s_int = {{7}, {"a"}},
  s_intflt = {{7, 1.5}, {"a", "b"}},
  s_dbl = {{2.25}, {"a"}},
  s_flt2 = {{1.5, -2.5}, {"a", "b"}},
  s_dblint = {{0.5, 40}, {"a", "b"}},
  s_intdbl = {{40, 0.5}, {"a", "b"}},
  s_flt3 = {{1, 2, 3}, {"a", "b", "c"}},
  s_ll2 = {{2^40, -5}, {"a", "b"}},
  s_dbl2 = {{1.25, 2.5}, {"a", "b"}},
}
for _, name in ipairs({"s_int", "s_intflt", "s_dbl", "s_flt2", "s_dblint", "s_intdbl", "s_flt3", "s_ll2", "s_dbl2"}) do
  ffi.cdef(string.format("struct %s ft_%s(struct %s, int); void direct_%s(struct %s *);", name, name, name, name, name))
end
for name, t in pairs(structs) do
  local r = lib["ft_" .. name](ffi.new("struct " .. name, t[1]), 3)
  local d = ffi.new("struct " .. name)
  lib["direct_" .. name](d)
  assert(ffi.istype("struct " .. name, r), name)
  for _, f in ipairs(t[2]) do assert(r[f] == d[f], name .. "." .. f) end
end
ffi.cdef("void direct_s_chr3(struct s_chr3 *); void direct_s_big(struct s_big *); void direct_s_nest(struct s_nest *);")
ffi.cdef("struct s_chr3 ft_s_chr3(struct s_chr3, int); struct s_big ft_s_big(struct s_big, int);")
ffi.cdef("struct s_nest ft_s_nest(struct s_nest, int);")
local c3 = lib.ft_s_chr3(ffi.new("struct s_chr3", {{97, 98, 99}}), 3)
assert(c3.c[0] == 100 and c3.c[1] == 98 and c3.c[2] == 96)
local big = lib.ft_s_big(ffi.new("struct s_big", {{1, 2, 3, 4, 5}, 6.5}), 3)
local dbig = ffi.new("struct s_big")
lib.direct_s_big(dbig)
for i = 0, 4 do assert(big.a[i] == dbig.a[i]) end
assert(big.d == dbig.d and big.d == 3.5 and lib.ft_sum_big(big) == 31)
local nest = lib.ft_s_nest({{1.5, 2.5}, 9}, 3)
assert(nest.f.a == 1.5 and nest.f.b == 5.5 and nest.i == 27)

-- Variadic calls: C data pass as their own type, numbers as double, strings as pointers.
assert(lib.ft_isum(3, ffi.new("int", 1), ffi.new("int", 2), ffi.new("int", 39)) == 42)
assert(lib.ft_isum(0) == 0 and lib.ft_isum(2, ffi.new("short", 5), ffi.new("char", 6)) == 11)
local v = ffi.new("int[1]", 100)
assert(lib.ft_vmix("idlsp", ffi.new("int", 3), 2.5, 2LL^33, "four", v) == direct("vmix", "double"))
local sbuf = ffi.new("char[64]")
local n = ffi.C.snprintf(sbuf, 64, "%d|%s|%.3f|%lld|%c|%u", ffi.new("int", 42), "str", 1.5, 7LL,
  ffi.new("char", 65), ffi.new("unsigned", 4000000000))
assert(ffi.string(sbuf) == "42|str|1.500|7|A|4000000000" and n == 27)

-- Callbacks, also with mixed argument types, struct values and strings.
assert(lib.ft_apply(function(a, b) return a * 10 + b end, 1, 2) == 33)
local seen
assert(lib.ft_apply_mixed(function(a, f, i, u)
  seen = {a, f, i, u}
  return a + f
end, 2) == 7)
assert(seen[1] == 2 and seen[2] == 1.5 and seen[3] == 2LL^40 and seen[4] == 255)
local r = lib.ft_apply_struct(function(s) return {s.a * 2, s.b + 1} end, 1.25, 41)
assert(r.a == 2.5 and r.b == 42)
local count = 0
assert(lib.ft_repeat(function(i) count = count + i end, 5) == 5 and count == 10)
local keep = "from Lua"
assert(ffi.string(lib.ft_apply_str(function(s) assert(ffi.string(s) == "from C") return keep end)) == "from Lua")
assert(lib.ft_apply_bool(function(b) return b end) == true)

-- qsort with a callback object; free and set.
local arr = ffi.new("int[5]", {5, 3, 1, 4, 2})
local cmp = ffi.cast("int (*)(const void *, const void *)", function(a, b)
  return ffi.cast("const int *", a)[0] - ffi.cast("const int *", b)[0]
end)
ffi.C.qsort(arr, 5, ffi.sizeof("int"), cmp)
assert(arr[0] == 1 and arr[1] == 2 and arr[2] == 3 and arr[3] == 4 and arr[4] == 5)
cmp:set(function(a, b) return ffi.cast("const int *", b)[0] - ffi.cast("const int *", a)[0] end)
ffi.C.qsort(arr, 5, 4, cmp)
assert(arr[0] == 5 and arr[4] == 1)
cmp:free()
local ok, msg = pcall(cmp.free, cmp)
assert(not ok and msg == "bad callback")
ok, msg = pcall(function() cmp:set(print) end)
assert(not ok and msg:match(": bad callback$"))
ok, msg = pcall(function() ffi.cast("void (*)(int)", 0):free() end)
assert(not ok and msg:match(": bad callback$"))

-- An error in a callback unwinds through the C caller to the script's pcall; later calls still work.
ok, msg = pcall(lib.ft_repeat, function(i) if i == 2 then error("boom") end end, 5)
assert(not ok and msg:match("boom$"))
count = 0
assert(lib.ft_repeat(function(i) count = count + 1 end, 3) == 3 and count == 3)
ok, msg = pcall(function()
  return lib.ft_apply(function(a, b) return pcall(error, "inner") and 0 or a + b end, 2, 3)
end)
assert(ok and msg == 10)
ok, msg = pcall(lib.ft_apply, function() return {} end, 1, 2)
assert(not ok and msg:match("cannot convert 'table' to 'int'"))

-- Callback slots are limited; freed ones are reused.
local cbs = {}
local made = 0
for i = 1, 2000 do
  local okc, cb = pcall(ffi.cast, "int (*)(int)", function(x) return x + i end)
  if not okc then
    assert(cb == "too many callbacks", cb)
    break
  end
  cbs[i] = cb
  made = i
end
assert(made > 100 and made <= 928)
for i = 1, made do cbs[i]:free() end
local again = ffi.cast("int (*)(int)", function(x) return -x end)
again:free()

-- Variables.
assert(lib.ft_counter == 5)
lib.ft_counter = 9
assert(lib.ft_read_counter() == 9 and lib.ft_counter == 9)
assert(lib.ft_scale == 0.5 and ffi.string(lib.ft_name) == "ffitest")
assert(lib.ft_pair.a == 3.5 and lib.ft_pair.b == 4.5)
lib.ft_pair.b = 1
assert(lib.ft_pair.b == 1)
ok, msg = pcall(function() lib.ft_read_counter = 1 end)
assert(not ok and msg:match("attempt to write to constant location"))

-- The default namespace: the program, libc and libm; errno right after the call.
assert(ffi.C.abs(-5) == 5 and ffi.C.strlen("hello") == 5)
ffi.C.close(-1)
assert(ffi.errno() == 9)
assert(ffi.errno(0) == 9 and ffi.errno() == 0)
ffi.cdef("double sqrt(double); int no_such_function_here(void);")
assert(ffi.C.sqrt(2) == math.sqrt(2))
ok, msg = pcall(function() return ffi.C.no_such_function_here end)
assert(not ok and msg:match("cannot resolve symbol 'no_such_function_here'"))
ok, msg = pcall(ffi.load, "no_such_library_xyz")
assert(not ok and msg:match("^cannot load module 'no_such_library_xyz': "))
assert(ffi.load("m").sqrt(16) == 4)

-- Argument checks.
ok, msg = pcall(function() return lib.ft_i32(1) end)
assert(not ok and msg:match("wrong number of arguments for function call$"))
ok, msg = pcall(function() return lib.ft_i32(1, 2, 3) end)
assert(not ok and msg:match("wrong number of arguments for function call$"))
ok, msg = pcall(function() return lib.ft_i32("x", 1) end)
assert(not ok and msg:match("bad argument #1 to .* %(cannot convert 'string' to 'int'%)$"), msg)
ffi.cdef("union u_arg { int i; float f; }; int ft_i32_union(union u_arg);")
ok, msg = pcall(function() return lib.ft_i32_union end)
assert(not ok)
ffi.cdef("int abs128(__int128);")
ok, msg = pcall(function() return ffi.cast("int (*)(__int128)", lib.ft_i32)(1) end)
assert(not ok and msg:match("NYI: cannot call this C function %(yet%)$"))

-- The four calling conventions on i386 (on x86-64 there is one, and the keywords are accepted).
if not x64 then
  ffi.cdef([[
  int __stdcall ft_stdcall(int, double, long long);
  int __fastcall ft_fastcall(int, int, int);
  int __thiscall ft_thiscall(int, int, double);
  long long __attribute__((stdcall)) ft_stdcall64(long long, int);
  int __cdecl ft_cdecl(int, int);
  void direct_conventions(int *);
  ]])
  local d = ffi.new("int[4]")
  lib.direct_conventions(d)
  for _ = 1, 3 do  -- a wrong stack cleanup would show on repeated calls
    assert(lib.ft_stdcall(1, 2.5, 3) == d[0] and lib.ft_fastcall(4, 5, 6) == d[1])
    assert(lib.ft_thiscall(10, 3, 7.5) == d[2] and lib.ft_cdecl(9, 4) == d[3])
    assert(lib.ft_stdcall64(2LL^40, 3) == 3 * 2LL^40)
  end
else
  ffi.cdef("int __stdcall abs_std(int) asm(\"abs\");")
  assert(ffi.C.abs_std(-3) == 3)
end
