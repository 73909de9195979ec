-- One million calls of a trivial C function through ffi.C. arg[1]: calls (1000000).
local ffi = require("ffi")
local n = tonumber(arg and arg[1]) or 1000000
ffi.cdef("int abs(int);")
local C = ffi.C
local abs = C.abs
local t0 = os.clock()
local s = 0
for i = 1, n do s = s + abs(-i) end
local t1 = os.clock()
for i = 1, n do s = s + C.abs(-i) end
local t2 = os.clock()
assert(s == n * (n + 1))
print(string.format("calls ffi: %d calls, local function %.3f s (%.0f ns/call), through ffi.C %.3f s", n, t1 - t0,
  (t1 - t0) / n * 1e9, t2 - t1))
