-- Metamethods that library functions call through the C API, each running a full collection while
-- the caller's stack still holds the slot it set up for the call.

local upper = setmetatable({}, {__index = function(_, k)
  collectgarbage()
  return k:upper()
end})
assert(("abc def"):gsub("%w", upper) == "ABC DEF")

local mt = {__lt = function(a, b)
  collectgarbage()
  return a.v < b.v
end}
local items = {}
for i = 1, 40 do items[i] = setmetatable({v = (i * 7) % 40}, mt) end
table.sort(items)
for i = 1, 40 do assert(items[i].v == i - 1) end

local seen = 0
local counted = setmetatable({}, {__index = function(_, k)
  collectgarbage("step")
  seen = seen + 1
  return "<" .. k .. ">"
end})
local out = ("a1b2c3"):gsub("%d", counted)
assert(out == "a<1>b<2>c<3>" and seen == 3)
