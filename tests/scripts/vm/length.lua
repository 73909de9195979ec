-- The length operator returns the border that the table's layout gives: constructors build their
-- array part from a template, stores grow it by the resizing rule.
assert(#{1, 2, 3, nil, 5} == 3)
assert(#{1, nil, 3} == 1)
assert(#{1, 2, nil} == 2)
assert(#{nil, nil, 3} == 3)
assert(#{1, nil} == 1 and #{nil} == 0 and #{n = 1} == 0)
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
