local a, b, c
local d
local e, f = 1
local g = nil
const K = 5
local h = K + 1
a, b = b, a
local t = {}
t[a], a = 1, 2
e += 1
t.n ..= "x"
t[b] <<= 2
g ~= 3
U = 1
U += 1
t?.x.y = 1
t?.f(a)
local r = c ? a : b
local s = c ? a ? 1 : 2 : 3
local q = t ?? {}
