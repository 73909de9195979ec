-- The bit library: normalisation, shifts, rotations, folds and tohex.

assert(bit.tobit(2^32 + 5) == 5 and bit.tobit(0xffffffff) == -1)
assert(bit.tobit(1.5) == 2 and bit.tobit(2.5) == 2 and bit.tobit(-1.5) == -2)
assert(bit.tobit("0x80000000") == -2^31 and bit.tobit(2^31) == -2^31)
assert(bit.bnot(0) == -1 and bit.bnot(-1) == 0)
assert(bit.bswap(0x12345678) == 0x78563412 and bit.bswap(0x12345678) == 2018915346)

assert(bit.lshift(1, 33) == 2 and bit.lshift(1, 31) == -2^31)
assert(bit.rshift(-1, 28) == 15 and bit.arshift(-256, 4) == -16)
assert(bit.rol(0x12345678, 4) == 0x23456781 and bit.ror(0x12345678, 4) == bit.tobit(0x81234567))
assert(bit.rol(1, -1) == -2^31 and bit.ror(1, 32) == 1)

assert(bit.band("3", 1) == 1 and bit.band(7) == 7)
assert(bit.bor(1, 2, 4, 8) == 15 and bit.bxor(5, 3, 1) == 7)
assert(bit.band(0xff00ff00, 0x0ff00ff0) == 0x0f000f00)

-- The library and the dialect's operators agree.
for _, x in ipairs({0, 1, -1, 12345, -98765, 2^31 - 1, 0x12345678}) do
  for _, n in ipairs({0, 1, 7, 31}) do
    assert(bit.lshift(x, n) == x << n and bit.rshift(x, n) == x >> n and bit.arshift(x, n) == x ~>> n)
  end
  assert(bit.band(x, 0x0f0f0f0f) == x & 0x0f0f0f0f and bit.bxor(x, 0x5555) == x ~ 0x5555 and bit.bnot(x) == ~x)
end

local ok, msg = pcall(bit.band)
assert(not ok and msg == "bad argument #1 to '?' (number expected, got no value)", msg)
ok, msg = pcall(bit.bor, 1, "z")
assert(not ok and msg == "bad argument #2 to '?' (number expected, got string)", msg)
ok, msg = pcall(bit.rshift, 1)
assert(not ok and msg == "bad argument #2 to '?' (number expected, got no value)", msg)

assert(bit.tohex(255) == "000000ff" and bit.tohex(255, -4) == "00FF")
assert(bit.tohex(0x12345678, 2) == "78" and bit.tohex(-1) == "ffffffff")
assert(bit.tohex(-1, 10) == "00ffffffff" and bit.tohex(0x12345678, 0) == "")
assert(bit.tohex(2^32 + 0xab) == "000000ab" and bit.tohex("16") == "00000010")
local zeros = ""
for _ = 1, 252 do zeros = zeros .. "0" end
assert(bit.tohex(0xab, -2^31) == zeros .. "AB")
assert(#bit.tohex(1, 1000) == 254)
