-- Coroutines: values both ways, states, errors, wrap, yields across pcall and metamethods.
local co = coroutine.create(function(a, b)
  local c = coroutine.yield(a + b)
  local d, e = coroutine.yield(c * 2)
  return d + e
end)
assert(coroutine.status(co) == "suspended")
local ok, v = coroutine.resume(co, 1, 2)
assert(ok and v == 3)
ok, v = coroutine.resume(co, 10)
assert(ok and v == 20)
ok, v = coroutine.resume(co, 3, 4)
assert(ok and v == 7 and coroutine.status(co) == "dead")
ok, v = coroutine.resume(co)
assert(not ok and v == "cannot resume dead coroutine")

-- Errors kill the coroutine and come back as results; wrap re-raises them with a position.
co = coroutine.create(function() error("inside") end)
ok, v = coroutine.resume(co)
assert(not ok and v:find("coroutines.lua:%d+: inside") and coroutine.status(co) == "dead")
local w = coroutine.wrap(function() error({code = 1}) end)
ok, v = pcall(w)
assert(not ok and type(v) == "table" and v.code == 1)
w = coroutine.wrap(function() error("boom", 0) end)
ok, v = pcall(function() local r = w() return r end)
assert(not ok and v:find("^coroutines.lua:%d+: boom$"), v)
w = coroutine.wrap(function() error("boom", 0) end)
ok, v = pcall(w)
assert(not ok and v == "boom", v)  -- called from pcall: no Lua caller to name

-- States seen from inside: running and normal.
local outer
outer = coroutine.create(function()
  local inner = coroutine.create(function()
    assert(coroutine.status(outer) == "normal")
    local ok2, msg = coroutine.resume(outer)
    assert(not ok2 and msg == "cannot resume running coroutine")
    return coroutine.status(coroutine.running())
  end)
  local _, st = coroutine.resume(inner)
  return st
end)
ok, v = coroutine.resume(outer)
assert(ok and v == "running")
local main, ismain = coroutine.running()
assert(ismain and type(main) == "thread")
assert(not coroutine.isyieldable())

-- Yields across pcall, with a later error still caught by the same pcall.
co = coroutine.create(function()
  local ok2, err = pcall(function()
    coroutine.yield(1)
    error("after yield", 0)
  end)
  coroutine.yield(err)
  return "done"
end)
assert(select(2, coroutine.resume(co)) == 1)
assert(select(2, coroutine.resume(co)) == "after yield")
assert(select(2, coroutine.resume(co)) == "done")

-- A yield inside an __index metamethod completes the interrupted instruction on resume.
local t = setmetatable({}, {__index = function(_, k) return coroutine.yield(k) end})
co = coroutine.wrap(function() return t.key .. "!" end)
assert(co() == "key")
assert(co("value") == "value!")

-- Yielding across a C call boundary is refused.
co = coroutine.create(function() table.sort({3, 2, 1}, function(a, b) coroutine.yield() return a < b end) end)
ok, v = coroutine.resume(co)
assert(not ok and v:find("attempt to yield across C%-call boundary"), v)
ok, v = pcall(coroutine.yield)
assert(not ok and v:find("attempt to yield across C%-call boundary"))

-- Generators in for loops, nested.
local function range(n) return coroutine.wrap(function() for i = 1, n do coroutine.yield(i) end end) end
local sum = 0
for i in range(10) do for j in range(i) do sum = sum + j end end
assert(sum == 220)

-- Runaway self-resuming wrap ends in an error, not a crash.
local self
self = coroutine.wrap(function() return self() end)
ok, v = pcall(self)
assert(not ok)
