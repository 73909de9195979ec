local a,b,m,u=1.5,2.5,-1,4294967295 print(a|0,b|0,m>>1,1<<32,1<<31,u>>0,m>>28,m~>>28)
print(5 % -3, 5 % 0, "10" + 1, "0x10" * 2, "10" == 10)
for i = 1, 2, -0 do print("never") end
local function try(f) print(select(2, pcall(f))) end
try(function() local t; return t.x end)
try(function() local t = {} t.b.c = 1 end)
try(function() foo() end)
try(function() local o = {} o:nope() end)
try(function() local n; return #n end)
try(function() return "a" < 1 end)
try(function() return {} < {} end)
try(function() return "x" .. {} end)
try(function() local s = "3" return s & 1 end)
try(function() for i = 1, "x" do end end)
