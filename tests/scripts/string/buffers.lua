-- Text built in pieces comes out whole at every size, in particular where the auxiliary buffer's
-- inline part fills up (8192 bytes) and where pieces start to go onto the stack, and with values
-- pushed on the stack in between (function and table replacements).
local sizes = {0, 1, 511, 512, 513, 8191, 8192, 8193, 16385, 100000}

for _, n in ipairs(sizes) do
  local s = string.rep("a", n)
  -- No match: the subject comes back unchanged with every kind of replacement.
  for _, repl in ipairs({"x", function() end, function() return false end, {}}) do
    local r, k = string.gsub(s, "b", repl)
    assert(r == s and k == 0, n)
  end
  -- One match after n bytes, replaced by each kind, and kept when the replacement is false or nil.
  local subject = s .. "b" .. s
  local want = s .. "<b>" .. s
  for _, repl in ipairs({"<%0>", function(m) return "<" .. m .. ">" end, {b = "<b>"}}) do
    local r, k = string.gsub(subject, "b", repl)
    assert(r == want and k == 1, n)
  end
  assert(string.gsub(subject, "b", function() return nil end) == subject)
  assert(string.gsub(subject, "b", {}) == subject)
  -- Every byte replaced, by values long enough to cross the boundary on their own.
  local long = string.rep("z", n)
  local r = string.gsub("xyx", "x", function() return long end)
  assert(r == long .. "y" .. long, n)
  r = string.gsub("xyx", "x", {x = long})
  assert(r == long .. "y" .. long, n)
  -- Many small pieces between replacements.
  local parts = {}
  for i = 1, 40 do parts[i] = s end
  local joined = table.concat(parts, "b")
  r = string.gsub(joined, "b", function() return "c" end)
  assert(r == table.concat(parts, "c"), n)
  -- Numbers as replacements are converted.
  r = string.gsub(s .. "b", "b", function() return 42 end)
  assert(r == s .. "42", n)

  -- The library's other builders.
  assert(#string.rep("ab", n) == 2 * n and #string.rep("ab", n, ",") == (n > 0 and 3 * n - 1 or 0))
  assert(string.format("%s|%s", s, s) == s .. "|" .. s)
  assert(string.format("%q", s) == '"' .. s .. '"')
  assert(#string.format("%5s%-3d", s, 7) == math.max(n, 5) + 3)
  assert(table.concat({s, s, s}, ",") == s .. "," .. s .. "," .. s)
  local bytes = {}
  for i = 1, math.min(n, 8000) do bytes[i] = 97 end
  assert(string.char(unpack(bytes)) == string.rep("a", math.min(n, 8000)))
  assert(string.reverse(s .. "b") == "b" .. s and string.upper(s) == string.rep("A", n))
end
