-- An error inside a finalizer is reported on standard error; the program goes on.
local after = false
local p = newproxy(true)
getmetatable(p).__gc = function() error("finalizer failure") end
local q = newproxy(true)
getmetatable(q).__gc = function() after = true end
p, q = nil, nil
collectgarbage()
print("after", after)
local r = newproxy(true)
getmetatable(r).__gc = function() error({}) end
r = nil
collectgarbage()
-- Finalizers still pending at the end run while the instance closes.
local s = newproxy(true)
getmetatable(s).__gc = function() print("closing") error("at close", 0) end
print("end")
