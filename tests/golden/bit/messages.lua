-- Messages of the bit functions, positioned at the calling line and naming the function.
local function try(f)
  print(select(2, pcall(f)))
end
try(function() local _ = bit.band() end)
try(function() local _ = bit.bor(1, "z") end)
try(function() local _ = bit.lshift(1) end)
try(function() local _ = bit.tohex({}) end)
try(function() local _ = bit.tohex(1, "x") end)
print(bit.tobit())
