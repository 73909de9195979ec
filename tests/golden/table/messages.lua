-- Messages of the table functions, positioned at the calling line and naming the function.
local function try(f)
  print(select(2, pcall(f)))
end
try(function() table.sort({1, 2, 3, 4}, function() return true end) end)
try(function() table.sort({1, 2}, 3) end)
try(function() table.sort({3, "x", 1}) end)
try(function() table.insert({}) end)
try(function() table.insert(nil, 1) end)
try(function() table.concat({1, {}, 3}) end)
try(function() table.concat({1, 2}, ",", 1, 3) end)
try(function() table.concat({1, 2}, {}) end)
try(function() table.maxn() end)
table.concat({1, true, 3}, ", ")
