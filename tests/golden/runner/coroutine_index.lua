-- An instruction that fails inside a coroutine keeps its line in the traceback.
local gen = coroutine.wrap(function()
  local t = nil
  coroutine.yield(1)
  return t.field
end)
gen()
gen()
