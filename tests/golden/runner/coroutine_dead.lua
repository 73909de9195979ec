-- Resuming a wrapped coroutine that died earlier: the traceback does not show the old frames.
local w = coroutine.wrap(function() error("first") end)
assert(not pcall(w))
w()
