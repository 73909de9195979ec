-- Protected calls inside functions called from C, stack overflows and their handlers, runaway
-- nesting of C-level calls.
local function deep(n) return 1 + deep(n + 1) end

-- A pcall catches errors inside functions that C code calls: comparators, __tostring from print,
-- load readers, gsub callbacks, error handlers.
local caught = 0
table.sort({3, 1, 2}, function(a, b)
  local ok, e = pcall(error, "in sort", 0)
  if not ok and e == "in sort" then caught = caught + 1 end
  return a < b
end)
assert(caught > 0)
local shown = setmetatable({}, {__tostring = function()
  local ok, e = pcall(function() return nil .. "x" end)
  return ok and "?" or "caught"
end})
assert(tostring(shown) == "caught")
local chunk = {"return ", "7"}
local f = load(function()
  assert(not pcall(error))
  return table.remove(chunk, 1)
end)
assert(f() == 7)
assert(("abc"):gsub("%w", function(c) return select(2, pcall(error, c:upper(), 0)) end) == "ABC")
local ok, e = xpcall(function() error("outer", 0) end, function(m)
  local ok2, e2 = pcall(error, "inner", 0)
  return m .. "/" .. tostring(ok2) .. "/" .. e2
end)
assert(not ok and e == "outer/false/inner", e)

-- Stack overflow names the recursing function's chunk and line, and the handler runs for it.
ok, e = pcall(deep, 1)
assert(not ok and e:find("^protected.lua:3: stack overflow$"), e)
ok, e = xpcall(deep, function(m) return "handled: " .. m end, 1)
assert(not ok and e == "handled: protected.lua:3: stack overflow", e)
-- Overflowing again inside that handler gives up with the plain message.
ok, e = xpcall(deep, function(m) return deep(1) end, 1)
assert(not ok and e == "stack overflow", e)
ok, e = xpcall(deep, function(m) return select(2, pcall(deep, 1)) end, 1)
assert(not ok and e == "stack overflow", e)
-- A handler that overflows or errors after an ordinary error.
ok, e = xpcall(error, function(m) return deep(1) end, "x")
assert(not ok and e == "error in error handling", e)
ok, e = xpcall(error, function(m) error(m) end, "x")
assert(not ok and e == "error in error handling", e)
-- An error caught inside the handler leaves it running: a later error there ends it.
local runs = 0
ok, e = xpcall(error, function(m) runs = runs + 1 pcall(error, "caught") error("again") end, "x")
assert(not ok and e == "error in error handling" and runs == 1, runs)
runs = 0
ok, e = xpcall(error, function(m)
  runs = runs + 1
  table.sort({2, 1}, function(p, q) pcall(error) return p < q end)
  return "sorted " .. select(2, pcall(error, "inner", 0))
end, "x")
assert(not ok and e == "sorted inner" and runs == 1, e)
ok, e = xpcall(error, function(m) return m, "dropped" end, "x", 0)
assert(not ok and e == "x" and select('#', xpcall(error, function() end)) == 2)
-- Vararg frames overflow the same way.
local function vdeep(...) return 1 + vdeep(1, ...) end
ok, e = pcall(vdeep)
assert(not ok and e:find("stack overflow$"), e)
local function sum(n) if n == 0 then return 0 end return n + sum(n - 1) end
assert(sum(10000) == 50005000)

-- C functions calling back into Lua without end: "stack overflow", as often as it happens.
local loud = setmetatable({}, {__tostring = function(s) print(s) return "x" end})
local cmp
cmp = function(a, b) table.sort({2, 1}, cmp) return a < b end
for _ = 1, 3 do
  ok, e = pcall(print, loud)
  assert(not ok and e:find("stack overflow$"), e)
  ok, e = pcall(table.sort, {2, 1}, cmp)
  assert(not ok and e:find("stack overflow$"), e)
  ok, e = xpcall(print, function(m) return "handled: " .. m end, loud)
  assert(not ok and e:find("^handled: .*stack overflow$"), e)
end

-- Coroutines resuming one another without end fail in the innermost resumer.
local depth = 0
local function nest() return coroutine.wrap(function() depth = depth + 1 local inner = nest() return inner() end) end
ok, e = pcall(nest())
assert(not ok and e:find("stack overflow$") and depth > 100, e)
local function nest2() return coroutine.create(function() return coroutine.resume(nest2()) end) end
local results = {coroutine.resume(nest2())}
assert(results[#results - 1] == false and results[#results] == "stack overflow")
assert(select(2, coroutine.resume(coroutine.create(function() return "fine" end))) == "fine")
