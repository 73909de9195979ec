-- Byte access, slicing, case mapping, reversal and repetition, through the library table and
-- through the string metatable, with arguments that take the fast paths and ones that need the
-- conversions of the fallback handlers.

local function pack(...) return { n = select('#', ...), ... } end
local function same(t, ...)
  local u = pack(...)
  if t.n ~= u.n then return false end
  for i = 1, t.n do if t[i] ~= u[i] then return false end end
  return true
end

-- string.byte
assert(select('#', string.byte("")) == 0)
assert(string.byte("abc", -1) == 99)
assert(same(pack(string.byte("abc", 0, 10)), 97, 98, 99))
assert(same(pack(string.byte("abc", nil, 2)), 97, 98))
assert(select('#', string.byte("abc", 3, 2)) == 0)
assert(string.byte("abc", "2") == 98 and string.byte(123) == 49)
assert(select('#', string.byte(("x"):rep(8000), 1, -1)) == 8000)
local ok, err = pcall(string.byte, ("x"):rep(8001), 1, -1)
assert(not ok and err == "string slice too long", err)

-- string.char, and every byte value back and forth
assert(string.char() == "" and string.char(65.9) == "A" and string.char("104", 105) == "hi")
local codes = {}
for c = 0, 255 do codes[c + 1] = c end
local bytes = string.char(unpack(codes))
assert(#bytes == 256)
for c = 0, 255 do assert(bytes:byte(c + 1) == c) end
ok, err = pcall(function() local s = string.char(65, 256) end)
assert(err:find("bad argument #2 to 'char' (invalid value)", 1, true), err)
ok, err = pcall(function() local s = string.char(-1) end)
assert(err:find("bad argument #1 to 'char' (invalid value)", 1, true), err)
ok, err = pcall(function() local s = string.char({}) end)
assert(err:find("bad argument #1 to 'char' (number expected, got table)", 1, true), err)

-- string.sub against the rules spelled out by hand
local function ref_sub(s, i, j)
  local len = #s
  j = j or -1
  if j < 0 then j = len + j + 1 elseif j > len then j = len end
  if i == 0 then i = 1 elseif i < 0 then i = len + i + 1; if i < 1 then i = 1 end end
  local out = ""
  for k = i, j do out = out .. string.char(s:byte(k)) end
  return out
end
for i = -7, 7 do
  assert(("hello"):sub(i) == ref_sub("hello", i))
  for j = -7, 7 do assert(("hello"):sub(i, j) == ref_sub("hello", i, j), i .. "," .. j) end
end
assert(string.sub("hello", 0) == "hello" and string.sub("hello", -3, -2) == "ll" and string.sub("hello", 4, 2) == "")
assert(string.sub(12345, "2", 3.9) == "23")
ok, err = pcall(function() local s = ("x"):sub() end)
assert(err:find("bad argument #1 to 'sub' (number expected, got no value)", 1, true), err)

-- Case mapping touches only ASCII letters; reverse keeps every byte.
assert(string.upper("äb") == "äB" and string.lower("ÄB") == "Äb")
local upper, lower = bytes:upper(), bytes:lower()
for c = 0, 255 do
  local u, l = upper:byte(c + 1), lower:byte(c + 1)
  if c >= 97 and c <= 122 then assert(u == c - 32) else assert(u == c) end
  if c >= 65 and c <= 90 then assert(l == c + 32) else assert(l == c) end
end
assert(bytes:reverse():reverse() == bytes and bytes:reverse():byte(1) == 255)
assert(("").upper("") == "" and string.reverse(123) == "321")

-- string.rep
assert(string.rep("ab", 3, ",") == "ab,ab,ab" and string.rep("x", 0, ",") == "")
assert(string.rep("ab", 3) == "ababab" and string.rep("ab", 3, nil) == "ababab")
assert(string.rep("", 3, "-") == "--" and string.rep("ab", 1, ",") == "ab" and string.rep("x", -5) == "")
assert(#string.rep("abc", 100000) == 300000)
assert(string.rep(1, 3, 0) == "10101")
ok, err = pcall(string.rep, "abcd", 0x20000000)
assert(not ok and err == "not enough memory", err)
ok, err = pcall(string.rep, "ab", 0x40000000, "ab")
assert(not ok and err == "not enough memory", err)

-- Methods come from the string table through the shared metatable.
assert(("%d"):rep(2) == "%d%d")
assert(getmetatable("").__index == string and getmetatable("x") == getmetatable("y"))
local s = "Hello"
assert(s:upper() == "HELLO" and s:lower():upper():reverse() == "OLLEH")
assert(("x"):byte() == 120 and #("abc"):rep(2, "--") == 8)

-- Built-in ids: the functions in stream order from 77, 87 reserved for gmatch's iterator.
local ids = { byte = 77, char = 78, sub = 79, rep = 80, reverse = 81, lower = 82, upper = 83, dump = 84,
              find = 85, match = 86, gmatch = 88, gsub = 89, format = 90 }
for name, id in pairs(ids) do assert(tostring(string[name]) == "function: builtin#" .. id, name) end
assert(tostring(("x"):gmatch("x")) == "function: builtin#87")
