-- What the hook readers and the line and count events give a script.
local n = 0
debug.sethook(function() n = n + 1 end, "", 1000)
for i = 1, 100000 do end
debug.sethook()
print(n)

local function f() end
debug.sethook(f, "l")
local h, mask, count = debug.gethook()
debug.sethook()
print(h == f, mask, count)
print(debug.gethook())

-- Lines: a loop on one line reports it on every turn, and so does a call of a function on one line.
local lines = {}
local function one() return 1 end
debug.sethook(function(_, line) lines[#lines + 1] = line end, "l")
for i = 1, 3 do end
local k = 0
while k < 2 do k = k + 1 end
for i = 1, 2 do one() end
debug.sethook()
print(table.concat(lines, " "))
