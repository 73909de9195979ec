-- The same work as calls.lua with the standard library's C function (runs under any Lua).
local n = tonumber(arg and arg[1]) or 1000000
local abs = math.abs
local t0 = os.clock()
local s = 0
for i = 1, n do s = s + abs(-i) end
local t1 = os.clock()
for i = 1, n do s = s + math.abs(-i) end
local t2 = os.clock()
assert(s == n * (n + 1))
print(string.format("calls plain: %d calls, local function %.3f s (%.0f ns/call), through math %.3f s", n, t1 - t0,
  (t1 - t0) / n * 1e9, t2 - t1))
