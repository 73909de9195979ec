-- table.insert, concat, maxn, pack and unpack.

local function same(t, want)
  assert(#t == #want, "length " .. #t)
  for i = 1, #want do
    assert(t[i] == want[i], "element " .. i .. ": " .. tostring(t[i]))
  end
end

local t = {"a", "b"}
table.insert(t, 1, "x")
same(t, {"x", "a", "b"})
table.insert(t, "y")
same(t, {"x", "a", "b", "y"})
table.insert(t, 3.7, "z")
same(t, {"x", "a", "z", "b", "y"})
local u = {"a", "b"}
table.insert(u, 10, "x")
same(u, {"a", "b"})
assert(u[10] == "x")
local ok, msg = pcall(table.insert, {}, 1, 2, 3)
assert(not ok and msg == "wrong number of arguments to 'insert'", msg)

assert(table.concat({1, 2.5, "x"}, "-") == "1-2.5-x")
assert(table.concat({1, 2, 3}, ", ", 2) == "2, 3")
assert(table.concat({1, 2, 3}, ", ", 3, 2) == "")
assert(table.concat({}, "x") == "")
assert(table.concat({1, 2}, 0) == "102")
assert(table.concat({0.1, 1e15, 2^53}) == "0.11e+159.007199254741e+15")
ok, msg = pcall(table.concat, {1, {}, 3})
assert(not ok and msg == "invalid value (table) at index 2 in table for 'concat'", msg)
ok, msg = pcall(table.concat, {1, 2}, "", 1, 3)
assert(not ok and msg == "invalid value (nil) at index 3 in table for 'concat'", msg)
local sparse = {}
sparse[2] = "b"
sparse[1] = 0.5
assert(table.concat(sparse, "+") == "0.5+b")
local parts = {}
for i = 1, 1000 do parts[i] = i % 10 end
assert(#table.concat(parts, ",") == 1999)

assert(table.maxn({[1.5] = true, [-3] = true}) == 1.5)
assert(table.maxn({}) == 0)
assert(table.maxn({1, 2, nil, 4}) == 4)
assert(table.maxn({x = 1, [7] = 0}) == 7)

local p = table.pack()
assert(p.n == 0 and next(p, nil) == "n")
p = table.pack(nil, nil)
assert(p.n == 2)
p = table.pack("a", nil, 3)
assert(p.n == 3 and p[1] == "a" and p[2] == nil and p[3] == 3)
assert(table.unpack == unpack)
local a, b, c = table.unpack({1, 2, 3})
assert(a == 1 and b == 2 and c == 3)
