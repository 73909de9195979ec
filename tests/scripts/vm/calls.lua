-- Calls, returns, varargs and tail calls.
local function three() return 1, 2, 3 end
local a, b, c, d = three()
assert(a == 1 and c == 3 and d == nil)
local x = three()
assert(x == 1)
local function count(...) return select('#', ...) end
local function none() end
assert(count(none()) == 0 and count(three()) == 3 and count(three(), 1) == 2)
assert(count(nil, nil) == 2 and count() == 0)
local function fixed(p, q, ...) return p, q, select('#', ...) end
local p, q, n = fixed(1)
assert(p == 1 and q == nil and n == 0)
local function pass(...) return ... end
assert(select('#', pass()) == 0 and select(2, pass(1, 2, 3)) == 2)
assert(select(-1, 1, 2, 3) == 3)
assert(not pcall(select, 0, 1))

-- Tail recursion a million deep runs in constant stack.
local function loop(n, acc) if n == 0 then return acc end return loop(n - 1, acc + 1) end
assert(loop(1000000, 0) == 1000000)
local function vloop(n, ...) if n == 0 then return select('#', ...) end return vloop(n - 1, ...) end
assert(vloop(100000, 1, 2) == 2)

-- Unbounded recursion is caught as "stack overflow", again and again, and the stack recovers.
local function deep(n) return 1 + deep(n + 1) end
for i = 1, 200 do
  local ok, err = pcall(deep, 1)
  assert(not ok and err:find("stack overflow"), err)
end
assert(loop(1000, 0) == 1000)

-- pcall results.
assert(select('#', pcall(none)) == 1)
local ok, e = pcall(error, {})
assert(not ok and type(e) == "table")
ok, e = pcall(error)
assert(not ok and e == nil)
ok, e = pcall(error, "x", 0)
assert(e == "x")
ok, e = pcall(error, "x")
assert(e == "x")  -- level 1 is pcall itself: no position
ok, e = pcall(function() error("y") end)
assert(e:find("^calls.lua:%d+: y$"), e)
ok, e = pcall(function() error("z", 2) end)
assert(e == "z", e)

-- xpcall runs the handler before unwinding and passes extra arguments.
local function handler(m) return "handled: " .. m end
ok, e = xpcall(function(v) error(v, 0) end, handler, "boom")
assert(not ok and e == "handled: boom")
ok, e = xpcall(function() error("first") end, function() error("second") end)
assert(not ok and e == "error in error handling")
assert(select('#', xpcall(three, handler)) == 4)

-- Calling values that are not functions.
ok, e = pcall(function() local t = {} t.x.y = 1 end)
assert(e:find("attempt to index field 'x' %(a nil value%)"), e)
ok, e = pcall(function() undefinedglobal() end)
assert(e:find("attempt to call global 'undefinedglobal' %(a nil value%)"), e)
ok, e = pcall(function() local t = {} t:nope() end)
assert(e:find("attempt to call method 'nope' %(a nil value%)"), e)
ok, e = pcall(function() local n return #n end)
assert(e:find("attempt to get length of local 'n' %(a nil value%)"), e)
ok, e = pcall(function() local t t.x = 1 end)
assert(e:find("attempt to index local 't' %(a nil value%)"), e)
ok, e = pcall(nil)
assert(e == "attempt to call a nil value", e)
