-- The debug library apart from hooks: frames, locals, upvalues, metatables, environments, tracebacks.

-- The error message of calling f(...), which must fail.
local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "no error")
  return msg
end
local function errs(f, want)
  local msg = err(f)
  assert(msg:find(want, 1, true), msg)
end

-- ---- getinfo ----------------------------------------------------------------------------------------

assert(debug.getinfo(100) == nil)
assert(debug.getinfo(-1) == nil)
errs(function() debug.getinfo("x") end, "bad argument #1 to 'getinfo' (function or level expected)")
errs(function() debug.getinfo({}) end, "bad argument #1 to 'getinfo' (function or level expected)")
errs(function() debug.getinfo(1, "Sz") end, "bad argument #2 to 'getinfo' (invalid option)")
errs(function() debug.getinfo(print, ">S") end, "bad argument #2 to 'getinfo' (invalid option)")
assert(debug.getinfo(print).what == "C")
assert(debug.getinfo("1", "l").currentline == debug.getinfo(1, "l").currentline)

function f(a, b) end
assert(debug.getinfo(f, "u").nparams == 2 and debug.getinfo(f, "u").isvararg == false)
assert(debug.getinfo(function(...) end, "u").isvararg == true)
assert(debug.getinfo(print, "u").isvararg == true and debug.getinfo(print, "u").nparams == 0)

do
  local info = debug.getinfo(f)
  -- the default query: every field of f, l, n, S and u; a function has no line and no name
  assert(info.func == f and info.currentline == -1 and info.name == nil and info.namewhat == "")
  assert(info.source == "@library.lua" and info.short_src == "library.lua" and info.what == "Lua")
  assert(info.linedefined == 25 and info.lastlinedefined == 25 and info.nups == 0)
  assert(info.activelines == nil)
  local main = debug.getinfo(1, "S")
  assert(main.what == "main" and main.linedefined == 0)
  local cinfo = debug.getinfo(print, "S")
  assert(cinfo.source == "=[C]" and cinfo.short_src == "[C]" and cinfo.linedefined == -1)
end

do
  local function lines()
    local a = 1

    return a
  end
  local first = debug.getinfo(lines, "S").linedefined
  local active = debug.getinfo(lines, "L").activelines
  assert(active[first + 1] and not active[first + 2] and active[first + 3])
  assert(debug.getinfo(print, "L").activelines == nil)
end

do
  local o = {}
  -- (not as a tail call: that would replace the method's frame)
  function o:m() local i = debug.getinfo(1, "n") return i end
  local n = o:m()
  assert(n.namewhat == "method" and n.name == "m")
  local function named() local i = debug.getinfo(1, "n") return i end
  n = named()
  assert(n.namewhat == "local" and n.name == "named")
  g_named = function() local i = debug.getinfo(1, "n") return i end
  n = g_named()
  assert(n.namewhat == "global" and n.name == "g_named")
  local mt = setmetatable({}, {__index = function() local i = debug.getinfo(1, "n") return i end})
  n = mt.key
  assert(n.namewhat == "metamethod" and n.name == "__index")
end

-- Another thread: its levels, and its function examined there.
do
  local co = coroutine.create(function(x)
    local y = x * 2
    coroutine.yield(y)
  end)
  coroutine.resume(co, 21)
  local info = debug.getinfo(co, 1, "Sl")
  assert(info.currentline == info.linedefined + 2 and info.what == "Lua")
  assert(debug.getinfo(co, 0, "n").name == "yield")
  assert(debug.getinfo(co, 5) == nil)
  assert(debug.getinfo(co, print, "S").what == "C")
  local name, value = debug.getlocal(co, 1, 2)
  assert(name == "y" and value == 42)
  assert(debug.setlocal(co, 1, 2, 7) == "y")
  assert(select(2, debug.getlocal(co, 1, 2)) == 7)
  errs(function() debug.getlocal(co, 9, 1) end, "bad argument #2 to 'getlocal' (level out of range)")
  -- A leading thread moves every other argument up by one, in the messages as well.
  errs(function() debug.getinfo(co, "x") end, "bad argument #2 to 'getinfo' (function or level expected)")
  errs(function() debug.getinfo(co, 1, "Sz") end, "bad argument #3 to 'getinfo' (invalid option)")
  errs(function() debug.getlocal(co, 1) end, "bad argument #3 to 'getlocal' (number expected, got no value)")
  assert(debug.getlocal(co, f, 2) == "b")
  errs(function() debug.setlocal(co, 9, 1, 0) end, "bad argument #2 to 'setlocal' (level out of range)")
  errs(function() debug.setlocal(co, 1, 2) end, "bad argument #4 to 'setlocal' (value expected)")
  assert(debug.setlocal(co, 1, 9, 0) == nil)
  errs(function() debug.sethook(co, print) end, "bad argument #3 to 'sethook' (string expected, got no value)")
  errs(function() debug.sethook(co, 1, "l") end, "bad argument #2 to 'sethook' (function expected, got number)")
  errs(function() debug.traceback(co, "m", "x") end, "bad argument #3 to 'traceback' (number expected, got string)")
  local tb = {}
  assert(debug.traceback(co, tb) == tb)
  -- The suspended thread still runs on from where it stopped.
  assert(coroutine.resume(co) and coroutine.status(co) == "dead")
end

-- ---- getlocal and setlocal ------------------------------------------------------------------------

assert(debug.getlocal(f, 1) == "a" and debug.getlocal(f, 2) == "b")
assert(debug.getlocal(f, 3) == nil and select("#", debug.getlocal(f, 3)) == 1)
assert(debug.getlocal(print, 1) == nil)
errs(function() debug.getlocal(50, 1) end, "bad argument #1 to 'getlocal' (level out of range)")
errs(function() debug.setlocal(50, 1, 1) end, "bad argument #1 to 'setlocal' (level out of range)")
errs(function() debug.setlocal(1, 1) end, "bad argument #3 to 'setlocal' (value expected)")
errs(function() debug.getlocal(1) end, "bad argument #2 to 'getlocal' (number expected, got no value)")

do
  local function sl()
    local v = 1
    assert(debug.setlocal(1, 1, 42) == "v")
    assert(debug.setlocal(1, 9, 0) == nil)
    return v
  end
  assert(sl() == 42)
  local function locals(p, ...)
    local q = p
    local names = {}
    for i = 1, 3 do names[#names + 1] = debug.getlocal(1, i) end
    return table.concat(names, ","), debug.getlocal(1, -1), select(2, debug.getlocal(1, -2)),
           debug.getlocal(1, -3)
  end
  local names, va, vb, none = locals(1, "x", "y")
  assert(names == "p,q,names", names)
  assert(va == "(*vararg)" and vb == "y" and none == nil)
  local function loop()
    for i = 1, 1 do
      return debug.getlocal(1, 1), debug.getlocal(1, 2), debug.getlocal(1, 3), debug.getlocal(1, 4)
    end
  end
  local a, b, c, d = loop()
  assert(a == "(for index)" and b == "(for limit)" and c == "(for step)" and d == "i")
end

-- ---- Upvalues --------------------------------------------------------------------------------------

do
  local up1, up2 = 1, 2
  local function uses() return up1 + up2 end
  local name, value = debug.getupvalue(uses, 2)
  assert(name == "up2" and value == 2)
  assert(select("#", debug.getupvalue(uses, 3)) == 0 and select("#", debug.getupvalue(uses, 0)) == 0)
  assert(debug.setupvalue(uses, 1, 10) == "up1" and up1 == 10)
  assert(select("#", debug.setupvalue(uses, 5, 0)) == 0)
  errs(function() debug.getupvalue(uses) end, "bad argument #2 to 'getupvalue' (number expected, got no value)")
  errs(function() debug.getupvalue(1, 1) end, "bad argument #1 to 'getupvalue' (function expected, got number)")
  errs(function() debug.setupvalue(uses, 1) end, "bad argument #3 to 'setupvalue' (value expected)")
  -- C functions: upvalues without names
  local cname, cvalue = debug.getupvalue(string.gmatch("a", "a"), 1)
  assert(cname == "" and cvalue ~= nil)

  local function other() return up2 end
  assert(debug.upvalueid(uses, 2) == debug.upvalueid(other, 1))
  assert(debug.upvalueid(uses, 1) ~= debug.upvalueid(uses, 2))
  assert(type(debug.upvalueid(uses, 1)) == "userdata")
  errs(function() debug.upvalueid(f, 0) end, "bad argument #2 to 'upvalueid' (index out of range)")
  errs(function() debug.upvalueid(uses, 3) end, "bad argument #2 to 'upvalueid' (index out of range)")
  errs(function() debug.upvalueid(1, 1) end, "bad argument #1 to 'upvalueid' (function expected, got number)")

  debug.upvaluejoin(uses, 1, other, 1)
  assert(debug.upvalueid(uses, 1) == debug.upvalueid(uses, 2) and uses() == 4)
  up2 = 5
  assert(uses() == 10)
  local gm = string.gmatch("a", "a")
  errs(function() debug.upvaluejoin(gm, 1, other, 1) end, "bad argument #1 to 'upvaluejoin' (Lua function expected)")
  errs(function() debug.upvaluejoin(other, 1, gm, 1) end, "bad argument #3 to 'upvaluejoin' (Lua function expected)")
  errs(function() debug.upvaluejoin(other, 2, uses, 1) end, "bad argument #2 to 'upvaluejoin' (index out of range)")
  errs(function() debug.upvaluejoin(other, 1, 5, 1) end, "bad argument #3 to 'upvaluejoin' (function expected, got number)")
end

-- ---- Metatables, environments, the registry ---------------------------------------------------------

do
  local protected = setmetatable({}, {__metatable = "locked"})
  assert(getmetatable(protected) == "locked" and type(debug.getmetatable(protected)) == "table")
  assert(debug.getmetatable(1) == nil)
  errs(function() debug.getmetatable() end, "bad argument #1 to 'getmetatable' (value expected)")
  local mt = {__index = function(_, k) return k * 2 end}
  assert(debug.setmetatable(10, mt) == 10)
  assert(debug.getmetatable(3) == mt and (4)[4] == 8)
  assert(debug.setmetatable(10, nil) == 10 and debug.getmetatable(3) == nil)
  errs(function() debug.setmetatable({}, 1) end, "bad argument #2 to 'setmetatable' (nil or table expected)")
  errs(function() debug.setmetatable({}) end, "bad argument #2 to 'setmetatable' (nil or table expected)")
  local t = {}
  assert(debug.setmetatable(protected, nil) == protected and getmetatable(protected) == nil)
  assert(debug.setmetatable(t, mt) == t and getmetatable(t) == mt)
end

do
  local env = {}
  local function fn() return x_in_env end
  assert(debug.getfenv(fn) == _G)
  assert(debug.setfenv(fn, env) == fn and debug.getfenv(fn) == env)
  env.x_in_env = "found"
  assert(fn() == "found")
  assert(debug.getfenv(1) == nil)
  assert(debug.getfenv(coroutine.create(fn)) == _G)
  errs(function() debug.getfenv() end, "bad argument #1 to 'getfenv' (value expected)")
  errs(function() debug.setfenv(fn, 1) end, "bad argument #2 to 'setfenv' (table expected, got number)")
  errs(function() debug.setfenv(1, {}) end, "'setfenv' cannot change environment of given object")

  local u = newproxy()
  assert(type(debug.getuservalue(u)) == "table")
  assert(debug.setuservalue(u, env) == u and debug.getuservalue(u) == env)
  assert(debug.getuservalue({}) == nil and debug.getuservalue() == nil)
  errs(function() debug.setuservalue({}, env) end, "bad argument #1 to 'setuservalue' (userdata expected, got table)")
  errs(function() debug.setuservalue(u, 1) end, "bad argument #2 to 'setuservalue' (table expected, got number)")
end

do
  local r = debug.getregistry()
  assert(type(r) == "table" and r == debug.getregistry())
  assert(r._LOADED == package.loaded)
end

-- ---- traceback ----------------------------------------------------------------------------------------

do
  assert(debug.traceback("x"):match("^x\nstack traceback:\n"))
  assert(debug.traceback():match("^stack traceback:\n\tlibrary.lua:%d+: in main chunk"))
  assert(debug.traceback(12):match("^12\nstack traceback:\n"))
  local t = {}
  assert(debug.traceback(t) == t)
  assert(debug.traceback(nil) == debug.traceback())
  -- level 0 is traceback itself
  assert(debug.traceback("m", 0):match("^m\nstack traceback:\n\t%[C%]: in function 'traceback'"))
  local co = coroutine.create(function() coroutine.yield() end)
  coroutine.resume(co)
  -- another thread starts at its innermost level
  local l = debug.getinfo(1, "l").currentline - 3
  local frame = ("\n\tlibrary.lua:%d: in function <library.lua:%d>"):format(l, l)
  assert(debug.traceback(co) == "stack traceback:\n\t[C]: in function 'yield'" .. frame)
  assert(debug.traceback(co, "hi", 1) == "hi\nstack traceback:" .. frame)
end
