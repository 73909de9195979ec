-- table.sort: the fixed exchange order, inconsistent orders, comparators and metamethods.

local function same(t, want)
  assert(#t == #want, "length " .. #t)
  for i = 1, #want do
    assert(t[i] == want[i], "element " .. i .. ": " .. tostring(t[i]))
  end
end

local always = function() return true end
local t = {1, 2, 3}
table.sort(t, always)
same(t, {2, 3, 1})

local ok, msg = pcall(table.sort, {1, 2, 3, 4}, always)
assert(not ok and msg == "invalid order function for sorting", msg)

-- Records equal for the order land where the exchanges put them.
local recs = {}
for i, key in ipairs({2, 1, 2, 1, 2}) do
  recs[i] = {key = key, id = i}
end
table.sort(recs, function(a, b) return a.key < b.key end)
local ids = {}
for i, r in ipairs(recs) do ids[i] = r.id end
same(ids, {4, 2, 1, 3, 5})

-- Numbers, strings, a descending order.
local nums, seed = {}, 7
for i = 1, 2000 do
  seed = seed * 16807 % 2147483647
  nums[i] = seed % 1000 - 500 + (seed % 7) / 8
end
table.sort(nums)
for i = 2, #nums do assert(nums[i - 1] <= nums[i]) end
table.sort(nums, function(a, b) return a > b end)
for i = 2, #nums do assert(nums[i - 1] >= nums[i]) end
local words = {"pear", "apple", "fig", "", "apples", "Zed"}
table.sort(words)
same(words, {"", "Zed", "apple", "apples", "fig", "pear"})

-- The less-than metamethod orders tables; mixed types cannot be ordered.
local mt = {__lt = function(a, b) return a.v < b.v end}
local objs = {}
for i, v in ipairs({5, 3, 9, 1}) do objs[i] = setmetatable({v = v}, mt) end
table.sort(objs)
assert(objs[1].v == 1 and objs[2].v == 3 and objs[3].v == 5 and objs[4].v == 9)
ok, msg = pcall(table.sort, {1, "x", 2})
assert(not ok and msg == "attempt to compare string with number", msg)

-- Errors of the comparison propagate unchanged; a bad comparison argument is reported.
local boom = {}
ok, msg = pcall(table.sort, {1, 2, 3}, function() error(boom) end)
assert(not ok and msg == boom)
ok, msg = pcall(table.sort, {1, 2}, 3)
assert(not ok and msg == "bad argument #2 to '?' (function expected, got number)", msg)

-- A comparator answering at random either passes or is reported, never sees a value from outside
-- the sequence, and leaves a permutation behind.
local outside, failures = false, 0
for round = 1, 50 do
  local t, s = {}, round
  for i = 1, 30 do t[i] = i end
  local ok, msg = pcall(table.sort, t, function(a, b)
    if a == nil or b == nil then outside = true end
    s = s * 16807 % 2147483647
    return s % 2 == 0
  end)
  if not ok then
    assert(msg == "invalid order function for sorting", msg)
    failures = failures + 1
  end
  local seen = {}
  for i = 1, 30 do
    assert(t[i] and not seen[t[i]])
    seen[t[i]] = true
  end
end
assert(not outside and failures > 0)

-- Elements the comparison removes from the table are still stored back alive.
local strs, names = {}, {}
for i = 1, 20 do
  strs[i] = "element " .. (100 + i)
  names[strs[i]] = true
end
local wiped = false
pcall(table.sort, strs, function(a, b)
  if not wiped then
    wiped = true
    for i = 1, 20 do strs[i] = nil end
    collectgarbage()
  end
  return (a or "~") < (b or "~")
end)
collectgarbage()
for i = 1, 20 do
  assert(strs[i] == nil or names[strs[i]])
end
