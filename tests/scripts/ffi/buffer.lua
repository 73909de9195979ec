-- String buffers and C data: bytes from and to ffi pointers, reading C memory without copying, and
-- 64-bit integers and complex numbers in the serialization format.
local ffi = require("ffi")
local buffer = require("string.buffer")

local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "expected an error")
  return msg
end

local b = buffer.new()
local arr = ffi.new("uint8_t[4]", {65, 66, 67, 68})
assert(b:putcdata(arr, 3) == b and b:tostring() == "ABC")
b:putcdata(ffi.cast("const char *", "xyz"), 2)
assert(b:tostring() == "ABCxy")
assert(err(b.putcdata, b, "str", 1) == "bad argument #2 to '?' (cdata expected, got string)")
assert(err(b.putcdata, b, ffi.new("int"), 1):match("cannot convert 'int' to 'const void %*'"))
assert(err(b.putcdata, b, arr, -1):match("number out of range"))

-- reserve and ref hand out byte pointers into the buffer.
local p, room = b:reserve(16)
assert(ffi.istype("uint8_t *", p) and room >= 16)
ffi.copy(p, "123", 3)
b:commit(3)
assert(b:tostring() == "ABCxy123")
local rp, len = b:ref()
assert(len == 8 and ffi.string(rp, len) == "ABCxy123" and rp[0] == 65)
b:skip(2)
rp, len = b:ref()
assert(len == 6 and rp[0] == 67)

-- set reads C memory without copying it; the object stays alive while the buffer reads it.
local mem = ffi.new("char[5]", "hello")
b:set(mem, 4)
assert(b:tostring() == "hell")
mem[0] = 72
assert(b:get(1) == "H" and b:get() == "ell")
b:set(ffi.new("char[3]", "ab"), 2)
collectgarbage()
assert(b:tostring() == "ab")
assert(err(b.set, b, ffi.new("int[1]"), 0x7fffff01):match("number out of range"))

-- Serialization: tags 16, 17 and 18 with the raw bytes.
assert(buffer.encode(1LL) == "\16\1\0\0\0\0\0\0\0")
assert(buffer.encode(-1ULL) == "\17" .. string.rep("\255", 8))
assert(#buffer.encode(3i) == 17 and buffer.encode(3i):byte(1) == 18)
local t = buffer.decode(buffer.encode({a = 7LL, b = 18446744073709551615ULL, c = -1.5i, [1] = ffi.new("long long", -2)}))
assert(t.a == 7LL and ffi.istype("int64_t", t.a) and t.b == -1ULL and ffi.istype("uint64_t", t.b))
assert(t.c.im == -1.5 and t.c.re == 0 and t[1] == -2LL)
local nan = buffer.decode("\18" .. string.rep("\255", 16))
assert(nan.re ~= nan.re and type(nan.re) == "number")
assert(err(buffer.encode, ffi.new("int")) == "cannot serialize 'cdata'")
assert(err(buffer.encode, {ffi.new("double", 1)}) == "cannot serialize 'cdata'")
assert(err(buffer.decode, "\16\1\2\3") == "unexpected end of buffer")
