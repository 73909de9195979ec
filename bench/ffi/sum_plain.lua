-- The same work as sum.lua in a plain Lua table (runs under any Lua). arg[1]: elements (10000000).
local n = tonumber(arg and arg[1]) or 10000000
local a = {}
local t0 = os.clock()
for i = 1, n do a[i] = (i - 1) * 0.5 end
local t1 = os.clock()
local s = 0
for i = 1, n do s = s + a[i] end
local t2 = os.clock()
assert(s == 0.25 * n * (n - 1))
print(string.format("sum table: %d elements, fill %.3f s, sum %.3f s", n, t1 - t0, t2 - t1))
