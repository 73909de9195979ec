-- Deeply nested source ends in a clean compile error, never in a C stack overflow; nesting within
-- the limit still compiles and runs.

local function refused(src, what)
  local f, msg = load(src, "=nest")
  assert(f == nil, what .. " compiled")
  assert(msg:find("chunk has too many syntax levels", 1, true), what .. ": " .. msg)
end

local function rep2(open, close, n, middle)
  return open:rep(n) .. (middle or "") .. close:rep(n)
end

refused("return " .. rep2("(", ")", 100000, "1"), "100,000 parentheses")
refused("return " .. rep2("{", "}", 100000), "100,000 nested table constructors")
refused("return " .. rep2("function() return ", " end", 10000, "1"), "10,000 nested functions")
refused("return " .. ("x ? 1 : "):rep(100000) .. "1", "100,000 chained conditionals")
refused("return " .. ("x ? ("):rep(100000) .. "1" .. (") : 2"):rep(100000), "conditionals nested in the middle")
refused("return " .. ("x -> "):rep(100000) .. "1", "100,000 nested short functions")
refused("return " .. ("x ?? ("):rep(100000) .. "1" .. (")"):rep(100000), "nested coalescing")
refused(rep2("do ", " end", 100000), "100,000 nested blocks")
refused("return " .. ("not "):rep(100000) .. "x", "100,000 unary operators")
refused("return 'a'" .. (" .. 'a'"):rep(100000), "a right-associative chain")

-- Within the limit the same shapes compile and give their values.
assert(load("return " .. rep2("(", ")", 150, "7"))() == 7)
assert(load("return " .. rep2("{", "}", 150))() ~= nil)
assert(load("local x = false return " .. ("x ? 1 : "):rep(150) .. "2")() == 2)
local f = load("return " .. rep2("function() return ", " end", 60, "9"))
for _ = 1, 61 do f = f() end
assert(f == 9)
