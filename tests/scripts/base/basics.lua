-- The base library: exact messages and behaviour.
local function err(f, ...)
  local ok, e = pcall(f, ...)
  assert(not ok, "expected an error")
  return e
end
local function errl(src)
  local f = assert(load(src))
  local ok, e = pcall(f)
  assert(not ok)
  return e
end
assert(errl("ipairs()") == [=[[string "ipairs()"]:1: bad argument #1 to 'ipairs' (value expected)]=])
assert(errl("ipairs(nil)") == [=[[string "ipairs(nil)"]:1: bad argument #1 to 'ipairs' (table expected, got nil)]=])
assert(errl("type()") == [=[[string "type()"]:1: bad argument #1 to 'type' (value expected)]=])
assert(errl("getmetatable()") == [=[[string "getmetatable()"]:1: bad argument #1 to 'getmetatable' (value expected)]=])
assert(errl("unpack({}, 1, 8001)") == [=[[string "unpack({}, 1, 8001)"]:1: too many results to unpack]=])
assert(errl("setfenv(print, {})") ==
       [=[[string "setfenv(print, {})"]:1: 'setfenv' cannot change environment of given object]=])
assert(errl("assert(false, 'x')") == [=[[string "assert(false, 'x')"]:1: x]=])
assert(errl("assert(nil)") == [=[[string "assert(nil)"]:1: assertion failed!]=])
assert(errl("assert()") == [=[[string "assert()"]:1: bad argument #1 to 'assert' (value expected)]=])
local t = {}
assert(err(assert, false, t) == t)
assert(errl("setmetatable({}, 1)") ==
       [=[[string "setmetatable({}, 1)"]:1: bad argument #2 to 'setmetatable' (nil or table expected)]=])
assert(errl("setmetatable(setmetatable({}, {__metatable = 1}), {})") ==
       [=[[string "setmetatable(setmetatable({}, {__metatable = ..."]:1: cannot change a protected metatable]=])
assert(errl("next({}, 'nokey')") == [=[[string "next({}, 'nokey')"]:1: invalid key to 'next']=])
assert(errl("select(0, 1)") == [=[[string "select(0, 1)"]:1: bad argument #1 to 'select' (index out of range)]=])
assert(errl("tonumber('1', 99)") == [=[[string "tonumber('1', 99)"]:1: bad argument #2 to 'tonumber' (base out of range)]=])
assert(errl("collectgarbage('nope')") ==
       [=[[string "collectgarbage('nope')"]:1: bad argument #1 to 'collectgarbage' (invalid option 'nope')]=])
assert(errl("newproxy(1)") == [=[[string "newproxy(1)"]:1: bad argument #1 to 'newproxy' (boolean or proxy expected)]=])
assert(errl("print(setmetatable({}, {__tostring = function() return {} end}))") ==
       [=[[string "print(setmetatable({}, {__tostring = function..."]:1: 'tostring' must return a string to 'print']=])
assert(errl("rawset({}, nil, 1)") == "table index is nil")
assert(errl("getfenv(-1)") == [=[[string "getfenv(-1)"]:1: bad argument #1 to 'getfenv' (invalid level)]=])

-- Values.
assert(select('#') == 0 and select('#x', 1, 2) == 2 and select(5, 1) == nil and select(-1, "a", "b") == "b")
assert(tonumber("10", 16) == 16 and tonumber("0x10", 16) == 16 and tonumber("0x10") == 16)
assert(tonumber(" -ff ", 16) == -255 and tonumber("1e1", 16) == 481 and tonumber("z", 36) == 35)
assert(tonumber("8", 8) == nil and tonumber("", 10) == nil and tonumber("10", 10) == 10 and tonumber("x") == nil)
assert(type(print) == "function" and type(nil) == "nil" and type(2) == "number" and type({}) == "table")
assert(rawequal(t, t) and not rawequal(t, {}) and rawlen({1, 2}) == 2 and rawlen("abc") == 3)
assert(unpack({1, 2, 3}, 2) == 2 and select('#', unpack({1}, 3, 2)) == 0)
assert(getfenv(0) == _G and _G._G == _G and _VERSION == "Lua 5.1")
local proxy = newproxy(true)
assert(type(proxy) == "userdata" and type(getmetatable(proxy)) == "table")
local twin = newproxy(proxy)
assert(getmetatable(twin) == getmetatable(proxy))
assert(type(collectgarbage("count")) == "number" and type(collectgarbage("step")) == "boolean")
assert(collectgarbage("isrunning") == true)
collectgarbage("stop")
assert(collectgarbage("isrunning") == false)
collectgarbage("restart")
assert(gcinfo() >= 0)

-- load: strings, readers, modes, environments.
assert(load("return 1")() == 1)
local parts = {"return ", "4", "2"}
local i = 0
assert(load(function() i = i + 1 return parts[i] end)() == 42)
local pieces = {1}
local f, e = load(function() return table.remove(pieces) end)
assert(f == nil and e == "(load):1: unexpected symbol near '1'", e)
assert(select(2, load(function() return {} end)):find("^basics.lua:%d+: reader function must return a string"))
local env = {x = 7}
assert(load("return x", "chunk", "t", env)() == 7)
assert(select(2, load("return 1", "=name", "b")) == "attempt to load chunk with wrong mode")
assert(select(2, load("x =")):find("^%[string \"x =\"%]:1:"))
assert(loadstring("return 2")() == 2)
local fn = function() return y end
setfenv(fn, {y = "env"})
assert(fn() == "env" and getfenv(fn).y == "env")

-- pairs and ipairs honour __pairs and __ipairs.
local pt = setmetatable({}, {__pairs = function(self) return function(_, k) if not k then return 1, "one" end end, self, nil end})
for k, v in pairs(pt) do assert(k == 1 and v == "one") end
local count = 0
for _ in ipairs({1, 2, nil, 4}) do count = count + 1 end
assert(count == 2)
