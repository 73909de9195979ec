-- The jit library without a trace compiler: its fields, the flags word as jit.status reports it, the
-- optimisation levels, flags and parameters, per-function switches, engine event handlers, the
-- function inspection of jit.util and the profiler's surface.
local function fails(want, f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "no error, wanted " .. want)
  assert(msg:find(want, 1, true), msg)
end

assert(jit.version_num == 20199 and jit.version == "Kestrix 2.1.1792588164")
assert(jit.os == "Linux" and (jit.arch == "x64" or jit.arch == "x86"))

-- Status: on, then the processor features, then the optimisations, each in bit order.
local cpu_names = {SSE3 = 1, ["SSE4.1"] = 2, BMI2 = 3}
local opt_order = {"fold", "cse", "dce", "fwd", "dse", "narrow", "loop", "abc", "sink", "fuse", "fma"}
local function status()
  local st = {jit.status()}
  local on = table.remove(st, 1)
  local cpu, opts, last = {}, {}, 0
  for _, name in ipairs(st) do
    if cpu_names[name] then
      assert(#opts == 0 and cpu_names[name] > last, name)
      last = cpu_names[name]
      cpu[#cpu + 1] = name
    else
      opts[#opts + 1] = name
    end
  end
  return on, table.concat(opts, " "), table.concat(cpu, " ")
end
local on, opts, cpu = status()
assert(on == true and opts == "fold cse dce fwd dse narrow loop abc sink fuse")

jit.opt.start("2")
assert(select(2, status()) == "fold cse dce narrow loop")
jit.opt.start("1")
assert(select(2, status()) == "fold cse dce")
jit.opt.start("0")
assert(select(2, status()) == "")
jit.opt.start("9")
assert(select(2, status()) == "fold cse dce fwd dse narrow loop abc sink fuse")
jit.opt.start("-fold", "hotloop=100")
assert(select(2, status()) == "cse dce fwd dse narrow loop abc sink fuse")
jit.opt.start("+fma", "nocse", "no-dce", "fold", "-sink")
assert(select(2, status()) == "fold fwd dse narrow loop abc fuse fma")
jit.opt.start()
assert(select(2, status()) == "fold cse dce fwd dse narrow loop abc sink fuse")
-- Levels and flags leave the processor bits alone.
assert(select(3, status()) == cpu)
-- Parameters: decimal digits only; an empty value is 0.
jit.opt.start("hotloop=", "maxtrace=2147483647", "sizemcode=5", "maxmcode=0")
for _, bad in ipairs({"hotloop=-1", "hotloop=+1", "hotloop= 1", "hotloop=1x", "hotloop=2147483648",
                      "bogus", "12", "", "+", "no", "-nofold", "fold=1", "maxtrace", "=5", "Fold"}) do
  fails("unknown or malformed optimization flag '" .. bad .. "'", jit.opt.start, bad)
end
fails("unknown or malformed optimization flag '3.5'", jit.opt.start, 3.5)
jit.opt.start(3)

-- Security levels.
for _, what in ipairs({"prng", "strhash", "strid", "mcode"}) do assert(jit.security(what) == 1) end
fails("bad argument #1 to 'security' (invalid option 'x')", function() jit.security("x") end)
fails("bad argument #1 to 'security' (string expected, got no value)", function() jit.security() end)

-- Switching the whole compiler and single functions.
jit.off()
assert(status() == false)
jit.on(nil)
assert(status() == true)
jit.flush()
assert(status() == true)
local function nested() return function() end end
jit.off(nested)
jit.on(nested, true)
jit.flush(nested, false)
jit.off(true)
jit.on(true, true)
jit.flush(1)
assert(nested()() == nil)
fails("bad argument #1 to 'on' (function expected, got number)", function() jit.on(1) end)
fails("bad argument #1 to 'off' (function expected, got function)", function() jit.off(print) end)
fails("bad argument #1 to 'flush' (function expected, got string)", function() jit.flush("x") end)

-- Engine events: a handler attached to the error-in-finalizer event receives the finalizer's error.
local seen
jit.attach(function(msg) seen = msg end, "errfin")
do
  local p = newproxy(true)
  getmetatable(p).__gc = function() error("finalizer failed") end
end
collectgarbage()
collectgarbage()
assert(seen and seen:find("finalizer failed", 1, true), tostring(seen))
-- Detached from every event, the error is dropped.
local handler = function(msg) seen = msg end
jit.attach(handler, "errfin")
jit.attach(handler, "trace")
jit.attach(handler)
seen = nil
do
  local p = newproxy(true)
  getmetatable(p).__gc = function() error("unheard") end
end
collectgarbage()
collectgarbage()
assert(seen == nil)
fails("bad argument #1 to 'attach' (function expected, got nil)", function() jit.attach(nil, "bc") end)

-- jit.util: prototypes, their instructions and constants.
local util = require "jit.util"
assert(jit.util == util)
assert(bit.band(util.funcbc(function() end, 0), 255) == 96)
assert(bit.band(util.funcbc(function(...) end, 0), 255) == 99)
local ins, mode = util.funcbc(function() return 1 end, 1)
assert(type(ins) == "number" and type(mode) == "number")
assert(util.funcbc(function() end, 2) == nil and util.funcbc(function() end, -1) == nil)
fails("bad argument #1 to 'funcbc' (function expected, got function)", function() util.funcbc(print, 0) end)

local up = 5
local function sample(a, b, ...)
  local t = {x = "str", 2.5}
  return function() return up + a end, t
end
local fi = util.funcinfo(sample)
assert(fi.params == 2 and fi.isvararg == true and fi.children == true and fi.upvalues == 1)
assert(fi.source == "@controls.lua" and fi.loc == "controls.lua:" .. fi.linedefined)
assert(fi.lastlinedefined == fi.linedefined + 3 and fi.currentline == fi.linedefined)
assert(fi.bytecodes > 3 and fi.stackslots >= 3 and fi.gcconsts >= 2 and fi.nconsts >= 0)
assert(type(fi.proto) == "proto" and util.funcinfo(fi.proto).bytecodes == fi.bytecodes)
assert(util.funcinfo(sample, 100000).currentline == nil)
local fc = util.funcinfo(print)
assert(fc.ffid == 30 and type(fc.addr) == "number" and fc.upvalues == 1)
assert(util.funcinfo(jit.status).ffid == 150)
assert(util.funcinfo(load("return 1", "=chunk")).loc == "chunk:0")
assert(util.funcinfo(load("return 1", "short")).loc == '"short":0')
assert(util.funcinfo(load("return 1", string.rep("n", 41))).loc:find("^0x%x+:0$"))
assert(util.funcinfo(math.deg).loc == "builtin:deg")

local function consts() return 1.5, "s", 2.5 end
local nums, strs = {}, {}
for i = 0, 10 do nums[#nums + 1] = util.funck(consts, i) end
for i = -1, -10, -1 do strs[#strs + 1] = util.funck(consts, i) end
assert(#nums == 2 and #strs == 1 and strs[1] == "s")
assert(util.funcuvname(sample, 0) == "up" and util.funcuvname(sample, 1) == nil)
local stripped = load(string.dump(function() return up end, true))
assert(util.funcuvname(stripped, 0) == "")
-- No traces exist to inspect.
for _, name in ipairs({"traceinfo", "traceir", "tracek", "tracesnap", "tracemc", "traceexitstub", "ircalladdr"}) do
  assert(select("#", util[name](1, 0)) == 0, name)
end

-- jit.profile: start and stop keep their callback; dumpstack formats frames.
local profile = require "jit.profile"
assert(jit.profile == profile)
profile.start("li5", function() end)
profile.start("f", function() end)
profile.stop()
profile.stop()
fails("bad argument #2 to 'start' (function expected, got no value)", function() profile.start("f") end)
local function level2()
  local s = profile.dumpstack("l;", 2)
  return s
end
local function named()
  local s = profile.dumpstack("f|", -1) .. profile.dumpstack("f|", 1)
  return s
end
assert(level2():find("^controls%.lua:%d+;controls%.lua:%d+;$"), level2())
assert(named() == "?|named|", named())
assert(profile.dumpstack(coroutine.create(print), "l", 3) == "")
