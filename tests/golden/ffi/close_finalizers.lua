-- C data finalizers still pending when the program ends run at close, before userdata finalizers.
local ffi = require("ffi")
local kept = ffi.gc(ffi.new("int[1]", 1), function(o) print("cdata finalizer", o[0]) end)
local proxy = newproxy(true)
getmetatable(proxy).__gc = function() print("userdata finalizer") end
print("end of script", kept[0])
