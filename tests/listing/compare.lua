local x, y = ...
local a = x == nil
local b = nil == x
local c = x ~= "s"
local d = 3 == x
local e = x != y
if x < y then y = 1 end
if x > y then y = 2 end
if x <= 3 then y = 3 end
if x >= y then y = 4 end
if not x then y = 5 end
if x and y then y = 6 end
local f = x and y
local g = x or y
local h = not (x == 1)
