-- Messages of the os functions, positioned at the calling line and naming the function.
local function try(f)
  print(select(2, pcall(f)))
end
try(function() local _ = os.time({year = 2000}) end)
try(function() local _ = os.time({year = 2000, day = 1}) end)
try(function() local _ = os.time({month = 1, day = 1}) end)
try(function() local _ = os.time(5) end)
try(function() local _ = os.date("%c", {}) end)
try(function() local _ = os.setlocale(nil, "bogus") end)
try(function() local _ = os.difftime() end)
try(function() local _ = os.getenv() end)
os.time({})
