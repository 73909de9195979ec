module(..., package.seeall)
function greet(who) return "hello " .. who end
local_value = tostring(1)
