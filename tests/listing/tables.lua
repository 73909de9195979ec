local f, k, v = ...
local t1 = {}
local t2 = {1, 2, 3}
local t3 = {x = v}
local t4 = {f()}
local t5 = {f(), 1}
local t6 = {(f())}
local t7 = {[k] = v, [1.5] = true, [0] = 0, y = "s", 10, v; 20}
local t8 = {v, v, v}
local t9 = {[k] = 1}
local g1 = t1.x
local g2 = t1[3]
local g3 = t1[k]
local g4 = t1[300]
t1.x = 1
t1[3] = "s"
t1[k] = v
t1[-1] = nil
