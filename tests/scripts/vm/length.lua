-- The length operator returns the border that the table's layout gives: a constructor's array part
-- ends at its last positional item, stores grow it by the resizing rule.
assert(#{1, 2, 3, nil, 5} == 5)
local five = {1, 2, 3, nil, 5}
assert(#five == 5 and five[5] == 5)
assert(#{1, nil, 3} == 3)
assert(#{1, 2, nil} == 2)
assert(#{nil, nil, 3} == 3 and #{nil, 2} == 2)
assert(#{1, nil} == 1 and #{nil} == 0 and #{n = 1} == 0)
-- Holes at the start, middle and end, with variables (no template) and with a trailing call or
-- vararg, which appends its values after the positional items.
local x, y = 1, 2
assert(#{nil, x, y} == 3 and #{x, nil, y} == 3 and #{x, y, nil} == 2)
local function none() end
local function two() return 7, 8 end
assert(#{nil, nil, 3, none()} == 3 and #{1, nil, 3, two()} == 5 and #{x, nil, y, two()} == 5)
assert(#{1, 2, nil, 4, nil, 6, 7, 8, nil, 10} == 10)
local function va(...) return #{nil, 2, ...}, #{1, nil, 3, ...} end
local a, b = va()
assert(a == 2 and b == 3, a .. " " .. b)
a, b = va(3, 4)
assert(a == 4 and b == 5, a .. " " .. b)
local t = {}
for i = 1, 100 do t[i] = i end
assert(#t == 100)
t[50] = nil
local n = #t
assert(n == 49 or n == 100, n)
local gap = {}
for i = 1, 10 do gap[i] = i end
gap[20] = 20
assert(#gap == 10)
local sparse = {}
sparse[1], sparse[2], sparse[4] = 1, 2, 4
assert(#sparse == 4)
-- A table with no array part finds its length through the hash part.
local h = {x = 1, y = 2}
for i = 1, 10 do h[i] = i end
assert(#h == 10)
assert(#"" == 0 and #"abc" == 3)
