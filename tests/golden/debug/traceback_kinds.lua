-- Every kind of frame in a traceback. Addresses of C functions differ between builds.
local function show(tb) print((tb:gsub("0x%x+", "0x(address)"))) end

-- Lua functions by name, the C function that builds the traceback, the main chunk.
local function inner() show(debug.traceback("named", 1)) end
local function outer() inner() end
outer()

-- An anonymous function by its definition; level 0 is traceback itself.
;(function() show(debug.traceback("anonymous", 0)) end)()

-- A built-in by its name, and without one by its id.
pcall(function() show(debug.traceback("named built-in")) end)
local fns = {pcall}
fns[1](function() show(debug.traceback("unnamed built-in")) end)

-- A tail call replaces its caller's frame: the callee appears under the caller's name.
local function target() show(debug.traceback("tail call")) end
local function caller() return target() end
caller()

-- A metamethod, and an error handler that sees the failing frame.
local t = setmetatable({}, {__index = function() show(debug.traceback("metamethod")) end})
local _ = t.field
xpcall(function() local x = nil; return x + 1 end, function(m) show(debug.traceback(m)) end)

-- Another coroutine, suspended and dead.
local co = coroutine.create(function()
  local function deep() coroutine.yield() end
  deep()
  error("dead")
end)
coroutine.resume(co)
show(debug.traceback(co, "suspended"))
coroutine.resume(co)
show(debug.traceback(co, "dead"))
