-- __gc metamethods of userdata made by newproxy.
local main = coroutine.running()
local log = {}
local function proxy(name, extra)
  local p = newproxy(true)
  local mt = getmetatable(p)
  mt.name = name
  mt.data = {value = name .. "!"}  -- reachable only through the userdata
  mt.__gc = function(u)
    local m = getmetatable(u)
    local co, ismain = coroutine.running()
    log[#log + 1] = m.name
    assert(m.data.value == m.name .. "!")  -- what the userdata references lived until now
    assert(co ~= main and not ismain)      -- finalizers run on their own thread
    if extra then extra(u) end
  end
  return p
end

local a = proxy("a")
proxy("b")
collectgarbage()
assert(#log == 1 and log[1] == "b")
collectgarbage()
assert(#log == 1)  -- each finalizer runs once
a = nil
collectgarbage()
assert(#log == 2 and log[2] == "a")

-- A proxy made from another shares its metatable, and so its finalizer.
local base = proxy("shared")
local copy = newproxy(base)
assert(getmetatable(copy) == getmetatable(base))
base, copy = nil, nil
collectgarbage()
assert(#log == 4 and log[3] == "shared" and log[4] == "shared")
assert(not pcall(newproxy, {}))

-- A finalizer may resurrect its object, allocate, and collect; it is not run again.
local saved
proxy("resurrect", function(u) saved = u end)
collectgarbage()
assert(saved and log[#log] == "resurrect")
saved = nil
collectgarbage()
assert(log[#log] == "resurrect" and #log == 5)
local made = 0
for i = 1, 100 do
  proxy("busy" .. i, function()
    local junk = {}
    for j = 1, 100 do junk[j] = {j, tostring(j)} end
    made = made + 1
    if i % 10 == 0 then collectgarbage() end
    if i % 3 == 0 then collectgarbage("step") end
  end)
end
collectgarbage()
collectgarbage()
assert(made == 100)

-- Finalizers run in the incremental cycle too, without explicit collections.
local n = 0
for i = 1, 5000 do
  local p = newproxy(true)
  getmetatable(p).__gc = function() n = n + 1 end
  local t = {i, {i}}
end
local junk = {}
for i = 1, 100000 do junk[i % 100 + 1] = {i} end
assert(n > 0)
