-- Collections while frames of every kind are on the stack, with the smallest steps.
collectgarbage("setpause", 0)
collectgarbage("setstepmul", 1)

-- A stack grown by deep recursion shrinks again under collections.
local function grow(n) if n > 0 then return grow(n - 1) + 1 end return 0 end
assert(grow(20000) == 20000)
for i = 1, 12 do collectgarbage() end
assert(grow(20000) == 20000)

-- Closures over loop locals, closed at different times.
local fs = {}
for i = 1, 200 do
  local v = {i}
  fs[i] = function(d) v[1] = v[1] + d return v[1] end
  if i % 50 == 0 then collectgarbage() end
end
for i = 1, 200 do assert(fs[i](1) == i + 1) end

-- Closures outliving the coroutines whose stacks held their upvalues.
local function leak()
  local co = coroutine.create(function()
    local v = {"inside"}
    coroutine.yield(function() return v[1] end)
    v = {"never"}
  end)
  local _, f = coroutine.resume(co)
  return f
end
local kept = {}
for i = 1, 100 do kept[i] = leak() end
collectgarbage()
collectgarbage()
for i = 1, 100 do assert(kept[i]() == "inside") end

-- Metamethod continuations, varargs, pcall frames and errors.
local mt = {}
mt.__index = function(t, k) return {k} end
mt.__add = function(a, b) return setmetatable({n = a.n + b.n}, mt) end
mt.__concat = function(a, b) return "<" .. (type(a) == "table" and a.n or a) .. (type(b) == "table" and b.n or b) .. ">" end
local function va(...) local t = {...} return select("#", ...), t, ... end
for round = 1, 2000 do
  local o = setmetatable({n = round}, mt)
  local s = o + o + o
  assert(s.n == 3 * round and o.key[1] == "key")
  assert(("x" .. o) == "<x" .. round .. ">")
  local n, t, a = va({round}, "b", {})
  assert(n == 3 and t[1][1] == round and a[1] == round)
  local ok, e = pcall(function() local z = {round} error(z) end)
  assert(not ok and e[1] == round)
  local co = coroutine.wrap(function(x) local y = coroutine.yield({x}) return {y} end)
  assert(co(round)[1] == round and co(round + 1)[1] == round + 1)
end

-- Recursion that overflows: the stack is cut back and collections go on.
local function inf(n) local t = {n} return inf(n + 1) + t[1] end
local ok, err = pcall(inf, 1)
assert(not ok and err:find("stack overflow"))
collectgarbage()
assert(grow(100) == 100)
