-- Metamethods: index chains, comparison fallbacks, equality rules, concatenation order, calls.
local function chain(n)
  local first = {}
  local t = first
  for _ = 1, n do
    local nxt = {}
    setmetatable(t, {__index = nxt})
    t = nxt
  end
  t.key = "found"
  return first
end
assert(chain(99).key == "found")
local ok, err = pcall(function() return chain(100).key end)
assert(not ok and err:find("loop in gettable"), err)
local cyc = {}
setmetatable(cyc, {__index = cyc})
ok, err = pcall(function() return cyc.x end)
assert(not ok and err:find("loop in gettable"))
local scyc = setmetatable({}, {})
getmetatable(scyc).__newindex = scyc
ok, err = pcall(function() scyc.x = 1 end)
assert(not ok and err:find("loop in settable"))

-- __index as a string falls through to the string library.
local viastr = setmetatable({}, {__index = "abc"})
assert(viastr.upper == string.upper)

-- Only __lt: a <= b is not (b < a), called with (b, a).
local calls = {}
local mt = {__lt = function(a, b) calls[#calls + 1] = a.n .. "<" .. b.n return a.n < b.n end}
local one, two = setmetatable({n = 1}, mt), setmetatable({n = 2}, mt)
assert(one <= two and not (two <= one))
assert(calls[1] == "2<1" and calls[2] == "1<2", table.concat(calls, " "))
assert(one < two and two > one and not (one > two))

-- __eq only for two distinct tables or userdata; the same function from both sides when they differ.
local eqcount = 0
local function eq() eqcount = eqcount + 1 return true end
local ta, tb = setmetatable({}, {__eq = eq}), setmetatable({}, {__eq = eq})
assert(ta == tb and eqcount == 1)
assert(ta == ta and eqcount == 1)       -- identical: no call
assert(ta ~= 1 and eqcount == 1)        -- different types: no call
local tc = setmetatable({}, {__eq = function() return true end})
assert(ta ~= tc and eqcount == 1)       -- different __eq functions: unequal without a call
assert(not (ta == {}))                  -- the other has no __eq
-- Adding __index to a metatable after a cached miss takes effect at once.
local base = {}
local obj = setmetatable({}, base)
assert(obj.k == nil)
base.__index = {k = "late"}
assert(obj.k == "late")

-- __concat: operands in order; the right end is joined first.
local log = {}
local cmt = {__concat = function(a, b)
  log[#log + 1] = (type(a) == "table" and "T" or a) .. "|" .. (type(b) == "table" and "T" or b)
  return "r"
end}
local T = setmetatable({}, cmt)
assert("a" .. T .. "b" == "ar")
assert(log[1] == "T|b" and log[2] == nil, table.concat(log, ","))
log = {}
assert(T .. "x" .. "y" == "r" and log[1] == "T|xy")

-- __call on tables, and calls through __call with extra arguments.
local callable = setmetatable({}, {__call = function(self, a, b) return self, a + b end})
local s, sum = callable(2, 3)
assert(s == callable and sum == 5)
assert(select(2, pcall(callable, 1, 1)) == callable)

-- __len, __unm, arithmetic from either side.
local vec = setmetatable({}, {__len = function(a, b) assert(a == b) return 42 end,
  __unm = function(a, b) assert(a == b) return "neg" end,
  __add = function(a, b) return type(a) == "table" and "left" or "right" end})
assert(#vec == 42 and -vec == "neg" and vec + 1 == "left" and 1 + vec == "right")
assert(#setmetatable({1, 2}, {}) == 2)

-- __newindex receives (table, key, value); rawset bypasses it.
local seen
local guarded = setmetatable({}, {__newindex = function(t, k, v) seen = k .. "=" .. v rawset(t, k, v * 2) end})
guarded.a = 5
assert(seen == "a=5" and guarded.a == 10)
guarded.a = 7
assert(guarded.a == 7)  -- existing keys are stored directly

-- tostring through __tostring, print through tostring.
assert(tostring(setmetatable({}, {__tostring = function() return "custom" end})) == "custom")
assert(tostring(nil) == "nil" and tostring(true) == "true" and tostring(12) == "12")
assert(tostring({}):find("^table: 0x%x%x%x%x%x%x%x%x$"))
