-- Error messages of instructions and built-ins: the operand's description, the position, and the
-- frame the position comes from.
local function msg(f, ...)
  local ok, e = pcall(f, ...)
  assert(not ok, "expected an error")
  return e
end
local function is(f, want)
  local e = msg(f)
  assert(e == want, e)
end

-- Operands are described by the variable that held them.
is(function() local x; x() end, "messages.lua:14: attempt to call local 'x' (a nil value)")
is(function() local a = {b = {}} a.b.c.d = 1 end, "messages.lua:15: attempt to index field 'c' (a nil value)")
is(function() local up; return (function() return up.x end)() end,
   "messages.lua:16: attempt to index upvalue 'up' (a nil value)")
is(function() local a = "10" return a + {} end, "messages.lua:18: attempt to perform arithmetic on a table value")
is(function() local a = "abc" return 1 + a end,
   "messages.lua:19: attempt to perform arithmetic on local 'a' (a string value)")
is(function() return ~"1" end, "messages.lua:21: attempt to perform arithmetic on a string value")
is(function() return ("x")[1][2] end, "messages.lua:22: attempt to index a nil value")
is(function() for _ in 5 do end end, "messages.lua:23: attempt to call a number value")
is(function() return {} <= 1 end, "messages.lua:24: attempt to compare number with table")
is(function() return 1 <= {} end, "messages.lua:25: attempt to compare table with number")  -- as not ({} < 1)
is(function() return true < false end, "messages.lua:26: attempt to compare two boolean values")
is(function() local t = {} t[0/0] = 1 end, "messages.lua:27: table index is NaN")

-- Non-callable metamethods and __call values.
local mm = setmetatable({}, {__add = 5, __call = setmetatable({}, {__call = print})})
is(function() return mm + 1 end, "messages.lua:31: attempt to call a number value")
is(function() mm() end, "messages.lua:32: attempt to call upvalue 'mm' (a table value)")
-- A built-in that passes a call on (tostring to __tostring, pairs to __pairs) reports its caller's line.
local badts = setmetatable({}, {__tostring = 5, __pairs = true})
is(function() local s = tostring(badts) return s end, "messages.lua:35: attempt to call a number value")
is(function() for _ in pairs(badts) do end end, "messages.lua:36: attempt to call a boolean value")
is(function() return tostring(badts) end, "attempt to call a number value")  -- a tail call: no caller left

-- Errors raised by built-ins called as metamethods name the metamethod and the interrupted line.
local viarep = setmetatable({}, {__index = string.rep})
is(function() return viarep.x end, "messages.lua:41: bad argument #1 to '__index' (string expected, got table)")
-- Method calls: a bad receiver and the shifted argument numbers.
local obj = {rep = string.rep}
is(function() obj:rep(2) end, "messages.lua:44: calling 'rep' on bad self (string expected, got table)")
is(function() local s = "x" s:rep({}) end, "messages.lua:45: bad argument #1 to 'rep' (number expected, got table)")

-- error levels: 1 is the function calling error, 2 its caller, and so on; C frames give no position.
local function lvl(n) error("at " .. n, n) end
local function mid(n) lvl(n) end
is(function() mid(1) end, "messages.lua:48: at 1")
is(function() mid(2) end, "messages.lua:49: at 2")
is(function() local r = mid(3) return r end, "messages.lua:52: at 3")
is(function() mid(0) end, "at 0")
assert(msg(error, "direct", 1) == "direct")    -- level 1 is pcall, a C function
assert(msg(error, "caller", 2):find("^messages.lua:%d+: caller$"))
assert(msg(error, 42) == "42" and msg(error, 42, 0) == 42 and msg(error, nil) == nil)
is(function() error(42) end, "messages.lua:57: 42")
-- Levels inside metamethods reach the instruction that called them.
local deep = setmetatable({}, {__index = function(t, k) error("no field " .. k, 2) end})
is(function()
  return deep.missing
end, "messages.lua:61: no field missing")

-- Errors in coroutines keep their position; wrap adds the caller's.
local co = coroutine.wrap(function() local x = nil .. 1 end)
is(function() co() end, "messages.lua:66: messages.lua:65: attempt to concatenate a nil value")

-- A value that may have come along another path (through "and", "or", a conditional or a branch)
-- is not named after one of its possible sources.
is(function() local t, s = {}, "x" local r = (t or s) + 1 end,
   "messages.lua:70: attempt to perform arithmetic on a table value")
is(function() local t, s = {}, "x" return (s and t) .. "" end,
   "messages.lua:72: attempt to concatenate a table value")
is(function() local f, g = nil, print local h = f or nil h() end,
   "messages.lua:74: attempt to call local 'h' (a nil value)")
is(function(c) local a, b = {}, nil local v = c and a or b return v.x end,
   "messages.lua:76: attempt to index local 'v' (a nil value)")
is(function() local n = nil if n then n = 1 end return n + 1 end,
   "messages.lua:78: attempt to perform arithmetic on local 'n' (a nil value)")
is(function() local t = {} local k = t.missing or t.other return k.y end,
   "messages.lua:80: attempt to index local 'k' (a nil value)")
is(function() local t = {} return (t.a or t.b).c end,
   "messages.lua:82: attempt to index a nil value")
-- Names that are certain stay.
is(function() local t = {} for i = 1, 2 do t = t.next end end,
   "messages.lua:85: attempt to index local 't' (a nil value)")
is(function() local o = {} o.field.x = 1 end, "messages.lua:87: attempt to index field 'field' (a nil value)")
is(function() local o = {} while true do o.m() end end, "messages.lua:88: attempt to call field 'm' (a nil value)")
