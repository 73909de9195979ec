-- Negative zero and NaN through arithmetic, comparison, conversion and table keys.
local nz, z = -0, 0
local function neg(x) return 1 / x < 0 end
assert(neg(nz) and not neg(z) and neg(-z) and not neg(-nz))
assert(nz == z and not (nz < z) and not (z < nz) and nz <= z and z >= nz)
assert(tostring(nz) == "-0" and tostring(-z) == "-0" and nz .. "" == "-0")

-- Modulo is a - floor(a / b) * b: zero results are positive whatever the signs.
assert(not neg(nz % 5) and not neg(z % -5) and not neg(nz % -5) and not neg(5 % 5) and not neg(-5 % 5))
assert(5.5 % -2 == -0.5 and -5.5 % 2 == 0.5 and 5 % -3 == -1)
assert(tostring(nz % 0) == "nan" and tostring(1 % (1 / 0)) == "nan" and tostring((1 / 0) % 2) == "nan")

-- NaN prints without a sign, equals nothing, orders with nothing.
local nan = 0 / 0
assert(tostring(nan) == "nan" and tostring(-nan) == "nan" and tostring(-(-nan)) == "nan")
assert(tostring(math.huge - math.huge) == "nan" and nan .. "" == "nan")
assert(nan ~= nan and not (nan < 1) and not (nan >= 1) and not (nan <= nan))
local hits = 0
for _ = nan, 1 do hits = hits + 1 end
for _ = 1, nan do hits = hits + 1 end
assert(hits == 0)
assert(tonumber("nan") ~= tonumber("nan") and tonumber("-nan") ~= nil)

-- Table keys: -0 and 0 are one key; NaN cannot be a key.
local t = {}
t[nz] = "zero"
assert(t[0] == "zero" and t[z] == "zero")
assert(not pcall(function() t[nan] = 1 end) and t[nan] == nil)
assert(select(2, pcall(rawset, t, nan, 1)) == "table index is NaN")

-- A loop with a negative zero step counts as descending.
local n = 0
for _ = 1, 2, nz do n = n + 1 end
assert(n == 0)
for _ = 2, 1, nz do n = n + 1 if n == 3 then break end end
assert(n == 3)

-- Bitwise operators see -0 and NaN as 0.
assert((nz | 0) == 0 and (nan | 0) == 0 and ~nz == -1)
