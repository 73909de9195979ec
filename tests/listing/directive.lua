# 7 "gen.lua"
local x = ...
local function f()
# 100000
  return x
end
# 20
return f
