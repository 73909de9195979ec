local c = ...
if c then return end
local x, y = 1, 2
local fixed = "k"
local function get() return x, fixed end
local function set(v)
  x = v
  y = nil
  y = "s"
  y = 3
  y = true
end
for i = 1, 3 do
  local z = i
  set(function() return z end)
  if z == 2 then continue end
end
while c do
  local w = c
  c = function() return w end
  break
end
return get
