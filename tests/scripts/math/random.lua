-- math.random and math.randomseed: reproducible sequences and the mapping to ranges.

local function draw(n)
  local t = {}
  for i = 1, n do t[i] = math.random() end
  return t
end

math.randomseed(42)
local a = draw(5)
math.randomseed("42")  -- a numeric string seeds alike
local b = draw(5)
for i = 1, 5 do
  assert(a[i] == b[i] and a[i] >= 0 and a[i] < 1)
end
math.randomseed(43)
assert(math.random() ~= a[1])

-- The bounds enter the formulas unchanged: floor(d * m) + 1 and floor(d * (n - m + 1)) + m.
assert(math.random(0) == 1 and math.random(3, 3) == 3 and math.random(1, 0) == 1)
local seen = {}
for _ = 1, 2000 do
  local r = math.random(-5)
  assert(r >= -4 and r <= 1 and r == math.floor(r))
  local d = math.random(1, 6)
  assert(d >= 1 and d <= 6 and d == math.floor(d))
  seen[d] = true
  local h = math.random(2.5)
  assert(h == 1 or h == 2 or h == 3)
end
for d = 1, 6 do assert(seen[d]) end

math.randomseed()
local r = math.random()
assert(r >= 0 and r < 1)
local ok, msg = pcall(math.random, {})
assert(not ok and msg == "bad argument #1 to '?' (number expected, got table)", msg)
