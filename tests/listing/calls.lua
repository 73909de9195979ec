local f, o = ...
f()
f(1, 2)
f(f())
f(1, ...)
local a, b, c = f()
local x = f(), f()
o:m(1)
o.n:m "s"
f{1}
local function v(...)
  local p, q = ...
  return ...
end
local function t1() return f(1) end
local function t2() return (f(1)) end
local function t3() return 1, f() end
local function t4() return 1, 2 end
local function t5(...) return f(...) end
