-- Messages of the math functions, positioned at the calling line and naming the function.
local function try(f)
  print(select(2, pcall(f)))
end
try(function() local _ = math.min() end)
try(function() local _ = math.max(1, 2, {}) end)
try(function() local _ = math.floor("x") end)
try(function() local _ = math.atan2(1) end)
try(function() local _ = math.log(2, nil) end)
try(function() local _ = math.random({}) end)
try(function() local _ = math.randomseed(false) end)
try(function() local _ = math:floor() end)
print(math.sqrt(nil))
