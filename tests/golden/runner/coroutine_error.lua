-- An error inside wrapped coroutines: the traceback shows the frames of each coroutine it came out
-- of, innermost first, above the frames of the main chunk.
local function fail() error("inside") end
local inner = coroutine.wrap(function() fail() end)
local outer = coroutine.wrap(function()
  inner()
end)
local function run() outer() end
run()
