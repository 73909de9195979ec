-- Reads the whole benchmark file with one f:read("a").
--   readall.lua <file>
local f = assert(io.open(assert(arg[1]), "rb"))
local all = f:read("a")
f:close()
print("bytes: " .. #all .. " first: " .. all:byte(1) .. " last: " .. all:byte(-1))
