-- Summing a 10-million-element double array through a C data pointer. arg[1]: elements (10000000).
local ffi = require("ffi")
local n = tonumber(arg and arg[1]) or 10000000
local a = ffi.new("double[?]", n)
local t0 = os.clock()
for i = 0, n - 1 do a[i] = i * 0.5 end
local t1 = os.clock()
local p = ffi.cast("double *", a)
local s = 0
for i = 0, n - 1 do s = s + p[i] end
local t2 = os.clock()
assert(s == 0.25 * n * (n - 1))
print(string.format("sum ffi: %d elements, fill %.3f s, sum %.3f s", n, t1 - t0, t2 - t1))
