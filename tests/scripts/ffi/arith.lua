-- Arithmetic and comparisons of C data, their text, 64-bit and imaginary literals, and C data in the
-- bit and string libraries, tonumber and bytecode dumps.
local ffi = require("ffi")

local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "expected an error")
  return msg
end

-- 64-bit integers: every operation defined, unsigned when an operand is.
local i64, u64 = ffi.typeof("int64_t"), ffi.typeof("uint64_t")
assert(tostring(ffi.new("int64_t", 5)) == "5LL" and tostring(u64(5)) == "5ULL")
assert(tostring(ffi.new("int64_t", 7) / 0) == "-9223372036854775808LL")
assert(tostring(i64(7) % 0) == "-9223372036854775808LL")
assert(tostring(i64(-2^63) / -1) == "-9223372036854775808LL" and i64(-2^63) % -1 == 0)
assert(i64(7) / 2 == 3 and i64(-7) / 2 == -3 and i64(-7) % 2 == -1 and i64(7) % -2 == 1)
assert(u64(7) / 0 == 2^63 and tostring(u64(1) - 2) == "18446744073709551615ULL")
assert(i64(2)^10 == 1024 and tostring(i64(2)^63) == "-9223372036854775808LL" and u64(2)^63 == 2^63)
assert(i64(0)^-1 == 9223372036854775807LL and i64(1)^-5 == 1 and i64(-1)^-3 == -1 and i64(-1)^-2 == 1)
assert(i64(2)^-1 == 0 and -i64(5) == -5 and tostring(-u64(1)) == "18446744073709551615ULL")
assert(i64(3) * 2.9 == 6 and 10 - i64(3) == 7)
assert(i64(-1) < 0 and not (u64(-1) < 0) and u64(-1) > 0 and i64(3) <= 3 and i64(2) ~= 3)
assert(1 < i64(2) and i64(5) == 5 and 5 == i64(5) and i64(5) == u64(5))
assert(ffi.new("int", 2) + ffi.new("short", 3) == 5LL and type(ffi.new("int", 2) + 1) == "cdata")
assert(ffi.new("double", 2.5) * 2 == 4)  -- both truncated to integers: 2 * 2

-- Pointers move by elements, compare by address; nil is the null pointer.
local arr = ffi.new("int[10]")
local p = arr + 3
assert(ffi.istype("int *", p) and p - arr == 3 and (p - 1) - arr == 2 and 2 + p - arr == 5)
assert(p > arr and arr < p and arr <= arr + 0 and p == arr + 3 and p ~= arr)
assert(ffi.cast("void *", 0) == nil and p ~= nil)
assert(tostring(p - arr) == "3LL")
local dp = ffi.cast("double *", arr)
assert(ffi.cast("char *", dp + 1) - ffi.cast("char *", dp) == 8)
ffi.cdef("struct opaque;")
assert(err(function() return ffi.cast("struct opaque *", 0) + 1 end):match("size of C type is unknown or too large$"))

-- Without a rule or a bound metamethod: errors, and identity for equality.
ffi.cdef("struct pair { int a, b; };")
local s1, s2 = ffi.new("struct pair"), ffi.new("struct pair")
assert(s1 == s1 and s1 ~= s2 and s1 ~= nil)
assert(err(function() return s1 + 1 end):match("attempt to perform arithmetic on 'struct pair' and 'number'$"))
assert(err(function() return 1 + s1 end):match("attempt to perform arithmetic on 'number' and 'struct pair'$"))
assert(err(function() return s1 < s2 end):match("attempt to compare 'struct pair' with 'struct pair'$"))
assert(err(function() return i64(1) .. "x" end):match("attempt to concatenate 'int64_t' and 'string'$"))
assert(err(function() return #i64(1) end):match("attempt to get length of 'int64_t'$"))
assert(err(function() return i64(1) + "2" end):match("attempt to perform arithmetic on 'int64_t' and 'string'$"))
assert(err(function() return s1() end):match("'struct pair' is not callable$"))
assert(err(pairs, s1):match("'struct pair' has no '__pairs' metamethod$"))
assert(err(ipairs, s1):match("'struct pair' has no '__ipairs' metamethod$"))

-- Text.
assert(tostring(ffi.typeof("int *")) == "ctype<int *>" and getmetatable(ffi.new("int")) == "ffi")
assert(tostring(ffi.new("complex", 1, 2)) == "1+2i" and tostring(ffi.new("complex", -1.5, -0.5)) == "-1.5-0.5i")
assert(tostring(ffi.cast("int *", 0)) == "cdata<int *>: NULL")
assert(tostring(ffi.cast("int *", 0x1234)) == "cdata<int *>: 0x00001234")
assert(tostring(ffi.new("int")):match("^cdata<int>: 0x%x+$") and tostring(ffi.new("bool")):match("^cdata<bool>: "))
assert(string.format("%s", i64(-3)) == "-3LL" and tostring(ffi.new("uint64_t", 1) << 63) == "9223372036854775808ULL")

-- Literals are C data constants, kept by dumps.
assert(type(1LL) == "cdata" and 1LL == 1 and tostring(-5LL) == "-5LL" and tostring(0x10ULL) == "16ULL")
assert(tostring(18446744073709551615ULL) == "18446744073709551615ULL" and tostring(3i) == "0+3i")
assert(tostring(-2i) == "0-2i" and (4LL)^2 == 16 and ffi.istype("uint64_t", 1ULL) and ffi.istype("complex", 1i))
local f = assert(load(string.dump(function() return -7LL * 3, 2.5i, 1ULL end)))
local x, y, z = f()
assert(x == -21 and tostring(y) == "0+2.5i" and tostring(z) == "1ULL")
assert(select(2, load("return 1LLL")):match("malformed number near '1LLL'$"))

-- The bit library and the bitwise operators on 64 bits.
assert(bit.band(0xffffffffffULL, 0xff) == 255 and tostring(bit.bor(1LL, 2)) == "3LL")
assert(bit.lshift(1LL, 63) == -2^63 and bit.rshift(-1LL, 60) == 15 and bit.arshift(-16LL, 2) == -4)
assert(bit.rol(1LL, 65) == 2 and bit.ror(1ULL, 1) == 2^63 and bit.bswap(0x0102030405060708LL) == 0x0807060504030201LL)
assert(bit.bnot(0ULL) == 18446744073709551615ULL and bit.bxor(5LL, 1, 2) == 6)
assert(bit.tobit(0x123456789LL) == 0x23456789 and bit.tohex(-1LL) == "ffffffffffffffff")
assert(bit.tohex(255LL, 4) == "00ff" and bit.tohex(0xabLL, -3) == "0AB" and #bit.tohex(1LL, 20) == 20)
assert(1LL << 40 == 2^40 and (0xffULL & 0x0f) == 15 and ~0LL == -1 and -1LL >> 60 == 15 and -1LL ~>> 60 == -1)
assert(tostring(~0ULL) == "18446744073709551615ULL" and tostring(1LL | 2ULL) == "3ULL" and (1 << 2LL) == 4)
assert(err(function() return ffi.new("struct pair") & 1 end):match("perform arithmetic on"))

-- string.format, tonumber and range checks take 64-bit C data.
assert(string.format("%d %x %5d %X %u %o", 1LL, 255ULL, -3LL, 0xabcdefULL, -1LL, 8LL) ==
       "1 ff    -3 ABCDEF 18446744073709551615 10")
assert(tonumber(1LL) == 1 and tonumber(ffi.new("double", 2.5)) == 2.5 and tonumber(ffi.new("uint8_t", 300)) == 44)
assert(tonumber(ffi.new("int *")) == nil and tonumber(ffi.new("bool", true)) == nil and tonumber(2^53 + 2LL) == 2^53 + 2)
assert(ffi.string("abcdef", 3LL) == "abc")
