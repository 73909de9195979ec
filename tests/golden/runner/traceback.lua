local function f() error("boom") end
f()
