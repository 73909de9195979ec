-- Edge cases of the base library: argument forms, levels, defaults and what is returned.
local function fails(want, f, ...)
  local ok, e = pcall(f, ...)
  assert(not ok and e == want, tostring(e))
end

-- assert raises its second argument's string form, the last argument otherwise, or its own message.
fails(nil, assert, false, nil)
fails("last", assert, false, {}, "last")
fails("12", assert, nil, 12)
assert(select('#', assert(1, 2, 3)) == 3)
local ok, e = pcall(function() assert(false) end)
assert(e:find("^edges.lua:%d+: assertion failed!$"), e)

-- Strings never consult __tostring; numbers format directly.
getmetatable("").__tostring = function() return "X" end
assert(tostring("abc") == "abc" and tostring(1) == "1")
getmetatable("").__tostring = nil

-- Argument presence and types.
fails("bad argument #2 to '?' (value expected)", rawequal, 1)
fails("bad argument #3 to '?' (value expected)", rawset, {}, 1)
fails("bad argument #1 to '?' (table expected, got number)", rawlen, 5)
fails("bad argument #2 to '?' (table expected, got number)", setfenv, 1, 2)
fails("bad argument #1 to '?' (boolean or proxy expected)", newproxy, {})
fails("bad argument #1 to '?' (coroutine expected)", coroutine.status, 1)
fails("bad argument #1 to '?' (invalid option '\255x')", collectgarbage, "\255x")

-- select counts from either end.
assert(select(-2, "a", "b", "c") == "b" and select('#', select(-3, "a", "b", "c")) == 3)
fails("bad argument #1 to '?' (index out of range)", select, -4, "a", "b", "c")
assert(select('#', nil, nil) == 2 and select('#', select(4, 1, 2, 3)) == 0)

-- unpack ranges: negative starts, huge spans.
local a, b, c = unpack({1, 2, 3}, -1, 1)
assert(a == nil and b == nil and c == 1)
fails("too many results to unpack", unpack, {}, 1, 1e9)
fails("too many results to unpack", unpack, {}, -2^31, 2^31 - 1)
assert(select('#', unpack({}, 1, 7990)) == 7991 - 1)

-- Levels: 1 is the function calling getfenv, 2 its caller.
local function env2() local e = getfenv(2) return e end
assert(env2() == _G and getfenv(print) == _G)
fails("bad argument #1 to '?' (invalid level)", getfenv, 100)
fails("bad argument #1 to '?' (invalid level)", setfenv, 100, {})
local sandbox = setmetatable({}, {__index = _G})
local function probe() return marker end
setfenv(probe, sandbox)
sandbox.marker = "in sandbox"
assert(probe() == "in sandbox" and getfenv(probe) == sandbox)

-- tonumber with bases.
assert(tonumber(15, 16) == 21 and tonumber("1.5", 10) == 1.5 and tonumber("7fffffff", 16) == 2147483647)
assert(tonumber("ffffffffffffffffff", 16) == 2^64 and tonumber("+z", 36) == 35 and tonumber("-0", 16) == 0)
assert(tonumber("0x") == nil and tonumber("1e") == nil and tonumber(" 12 ") == 12 and tonumber(true) == nil)
fails("bad argument #2 to '?' (base out of range)", tonumber, "1", 1)

-- collectgarbage results.
local pause = collectgarbage("setpause", 150)
assert(collectgarbage("setpause", pause) == 150)
local mul = collectgarbage("setstepmul", 300)
assert(collectgarbage("setstepmul", mul) == 300)
assert(math.floor(collectgarbage("\255")) == collectgarbage("\255") and collectgarbage("\255") < 1024)
assert(collectgarbage() == 0 and collectgarbage("collect") == 0)

-- load: names, modes, environments, readers returning numbers and empty strings.
assert(select(2, load("x =", "=custom")) == "custom:1: unexpected symbol near '<eof>'")
local f = load("return ...", "=name")
assert(select('#', f(1, 2)) == 2)
local pieces = {"return ", 4, 2, "", "ignored"}
local i = 0
assert(load(function() i = i + 1 return pieces[i] end)() == 42 and i == 4)
assert(select(2, loadstring("return 1", "chunk", "b")) == "attempt to load chunk with wrong mode")
assert(load("return 1", "c", "bt")() == 1)
ok, e = pcall(load, {})
assert(not ok and e == "bad argument #1 to '?' (function expected, got table)")
assert(load(string.dump(function() return "dumped" end), "d", "b")() == "dumped")

-- Protected metatables.
local locked = setmetatable({}, {__metatable = false})
assert(getmetatable(locked) == false)
fails("cannot change a protected metatable", setmetatable, locked, nil)

-- coroutine.running in a coroutine, isyieldable inside pcall inside a coroutine.
local co = coroutine.create(function()
  local self, main = coroutine.running()
  assert(not main and coroutine.status(self) == "running")
  return pcall(coroutine.isyieldable)
end)
local _, pok, yieldable = coroutine.resume(co)
assert(pok and yieldable)

-- Many results go onto the stack up to its own room: unpack returns up to 8000 values, and a
-- coroutine hands back as many as it returns.
assert(select('#', unpack({}, 1, 8000)) == 8000 and unpack({}, 1, 8000) == nil)
assert(select('#', unpack({1, 2}, -3998, 4001)) == 8000)
local ok, e = pcall(unpack, {}, 1, 8001)
assert(not ok and e == "too many results to unpack", e)
local many = {}
for i = 1, 8000 do many[i] = i end
assert(select('#', unpack(many)) == 8000 and select(8000, unpack(many)) == 8000)
local co = coroutine.create(function() return unpack(many, 1, 7999) end)
local res = {coroutine.resume(co)}
assert(#res == 8000 and res[1] == true and res[8000] == 7999)
assert(select('#', coroutine.wrap(function() return unpack(many) end)()) == 8000)
