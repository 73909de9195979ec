-- Arithmetic, coercion, comparison and the bitwise operators.
assert(5 % -3 == -1 and -5 % 3 == 1)
local nan = 5 % 0
assert(nan ~= nan)
assert(1 % (1/0) ~= 1 % (1/0))  -- x % inf is NaN (0 * inf)
assert("10" + 1 == 11 and "0x10" * 2 == 32 and "10" ~= 10)
assert(" 2 " * "3" == 6)
assert(2 ^ 10 == 1024 and 2 ^ 0.5 == 1.4142135623730951)
local z = -0
assert(1 / (-z) == math.huge and 1 / z == -math.huge)
assert(1 / 0 > 1e308)
assert(0.1 + 0.2 == 0.30000000000000004)

local a, b, m, u = 1.5, 2.5, -1, 4294967295
assert((a | 0) == 2 and (b | 0) == 2)
assert(m >> 1 == 2147483647 and 1 << 32 == 1 and 1 << 31 == -2147483648)
assert(u >> 0 == -1 and m >> 28 == 15 and m ~>> 28 == -1)
assert(~0 == -1 and (5 & 3) == 1 and (5 | 3) == 7 and (5 ~ 3) == 6)
assert(2^32 + 5 | 0 == 5)
assert(1 << -1 == -2147483648)

local ok, err = pcall(function() local s = "3" return s & 1 end)
assert(not ok and err:find("attempt to perform arithmetic on local 's' %(a string value%)"))
ok, err = pcall(function() return {} + 1 end)
assert(not ok and err:find("attempt to perform arithmetic on a table value"))
ok, err = pcall(function() return 1 < "2" end)
assert(not ok and err:find("attempt to compare number with string"))
ok, err = pcall(function() return {} < {} end)
assert(not ok and err:find("attempt to compare two table values"))
ok, err = pcall(function() return "a" .. {} end)
assert(not ok and err:find("attempt to concatenate a table value"))

assert("a" < "b" and "a" < "ab" and not ("b" < "a") and "\255" > "a")
assert(1 .. 2 == "12" and 1.5 .. "" == "1.5" and 1e15 .. "" == "1e+15")
assert(2^53 .. "" == "9.007199254741e+15" and -0 .. "" == "-0")
