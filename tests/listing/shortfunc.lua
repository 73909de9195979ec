local f = x -> x * 2
local g = |a, b| -> a + b
local h = || -> 42
local n = |...| -> select("#", ...)
local d = |t| -> do t.n = 0 end
local c = |x| -> x ? 1 : 2
local tc = x -> f(x)
