local a, b = ...
local r1 = a <= b
local r2 = a == b
local r3 = a == "s"
local r4 = a % 3
local r5 = 1 + a
local r6 = 2 * a
local r7 = 3 / a
local r8 = a - b
local r9 = a / b
local r10 = a % b
local r11 = 5 % a
local r12 = 4 - a
