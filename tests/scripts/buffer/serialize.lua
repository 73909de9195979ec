-- The serialization format byte for byte, round trips of every kind of value, dictionaries, and the
-- decoder's behaviour on truncated, malformed and hostile input.
local buffer = require "string.buffer"
local encode, decode = buffer.encode, buffer.decode

local function hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

local function fails(want, f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "no error, wanted " .. want)
  assert(msg:find(want, 1, true), msg)
end

-- Exact bytes of simple values; a double is its little-endian IEEE form.
assert(encode(nil) == "\0" and encode(false) == "\1" and encode(true) == "\2")
assert(encode("") == "\32" and encode("ab") == "\34ab")
assert(hex(encode(1)) == "07000000000000f03f")
assert(hex(encode(-0.0)) == "070000000000000080")
assert(encode({}) == "\8")
assert(hex(encode({1, 2})) == "0c03" .. "07000000000000f03f" .. "070000000000000040")
assert(hex(encode({[0] = true, false})) == "0a02" .. "0201")
assert(hex(encode({x = true})) == "0901" .. "2178" .. "02")
assert(hex(encode({[0] = true, x = false})) == "0b0101" .. "02" .. "2178" .. "01")
assert(hex(encode({true, y = true})) == "0d0201" .. "02" .. "2179" .. "02")
-- Trailing nils are trimmed from the array part; a table of nils is empty.
local holes = {1, nil, 3}
holes[5] = nil
assert(hex(encode(holes)) == hex(encode({1, nil, 3})))
assert(encode({nil, nil}) == "\8")

-- u124 lengths: one byte up to 223, two bytes up to 8159, then 0xff and four bytes.
local function head(n, k) return hex(encode(string.rep("x", n)):sub(1, k)) end
assert(head(191, 1) == "df")            -- 32 + 191 = 223
assert(head(192, 2) == "e000")          -- 224
assert(head(300, 2) == "e06c")          -- 332 = 224 + 108
assert(head(8127, 2) == "feff")         -- 8159
assert(head(8128, 5) == "ffe01f0000")   -- 8160
assert(head(8200, 5) == "ff28200000")
for _, n in ipairs({0, 191, 192, 300, 8127, 8128, 8200, 70000}) do
  local s = string.rep("y", n)
  assert(decode(encode(s)) == s, n)
end
-- Array and hash counts use the same numbers.
local wide = {}
for i = 1, 300 do wide[i] = i end
assert(hex(encode(wide)):sub(1, 6) == "0ce04d")  -- narray 301 counts slot 0
assert(#decode(encode(wide)) == 300)

-- Round trips.
local function same(a, b, seen)
  if type(a) ~= "table" or type(b) ~= "table" then
    if a ~= a then return b ~= b end
    return a == b and (a ~= 0 or 1 / a == 1 / b)
  end
  seen = seen or {}
  if seen[a] then return seen[a] == b end
  seen[a] = b
  for k, v in pairs(a) do if not same(v, b[k], seen) then return false end end
  for k in pairs(b) do if a[k] == nil then return false end end
  return getmetatable(a) == getmetatable(b)
end
local bytes = {}
for i = 0, 255 do bytes[#bytes + 1] = string.char(i) end
local all_bytes = table.concat(bytes)
local values = {
  0, -0.0, 1, -1, 0.5, 2 ^ 53, -2 ^ 63, 1e308, 5e-324, 1 / 0, -1 / 0,
  "", all_bytes, string.rep(all_bytes, 40), true, false,
  {}, {1, 2, 3}, {[0] = "zero", "one"}, {a = 1, b = {c = {d = {"deep"}}}},
  {1, 2, nil, 4, x = "y", [1.5] = "float key", [true] = false, [-7] = "negative"},
}
for i, v in ipairs(values) do
  local back = decode(encode(v))
  assert(same(v, back), i)
end
-- Tables as keys come back as new tables.
local tk = decode(encode({[{1}] = {2}}))
local k, v = next(tk)
assert(k[1] == 1 and v[1] == 2 and next(tk, k) == nil)
-- NaN comes back as a NaN, and one that is made canonical on the way in.
local nan = decode(encode(0 / 0))
assert(nan ~= nan)
local odd_nan = decode("\7\1\0\0\0\0\0\248\127")  -- a NaN with payload bits
assert(odd_nan ~= odd_nan and encode(odd_nan) == encode(0 / 0))
-- The decoder accepts 32-bit integers, which the encoder never writes.
assert(decode("\6\255\255\255\255") == -1 and decode("\6\0\0\0\128") == -2 ^ 31)
-- A table reached twice is written twice and comes back as two tables.
local shared = {1}
local twice = decode(encode({shared, shared}))
assert(twice[1] ~= twice[2] and twice[1][1] == 1 and twice[2][1] == 1)
-- Light userdata: null and addresses below 4 GiB.
assert(encode(nil) ~= encode(false))
-- A metatable without a dictionary is not written.
local mt = {__index = {kind = "point"}}
local p = decode(encode(setmetatable({x = 1}, mt)))
assert(getmetatable(p) == nil and p.x == 1)

-- Nesting: 100 levels of tables are fine, 101 are too deep, for encoding and decoding alike.
local function nest(n)
  local t = {}
  local c = t
  for _ = 2, n do c[1] = {}; c = c[1] end
  return t
end
assert(decode(encode(nest(100))))
fails("too deep to serialize", encode, nest(101))
fails("too deep to serialize", decode, string.rep("\12\2", 101) .. "\0")
assert(decode(string.rep("\12\2", 99) .. "\8") and decode(string.rep("\12\2", 100) .. "\0"))
fails("too deep to serialize", decode, string.rep("\12\2", 100) .. "\8")

-- Values that have no serialization.
fails("cannot serialize 'function'", encode, print)
fails("cannot serialize 'thread'", encode, coroutine.create(print))
fails("cannot serialize 'userdata'", encode, buffer.new())
fails("cannot serialize 'function'", encode, {1, {x = print}})

-- Malformed input.
fails("unexpected end of buffer", decode, "")
fails("unexpected end of buffer", decode, "\7")
fails("unexpected end of buffer", decode, "\7\0\0\0\0\0\0")
fails("unexpected end of buffer", decode, "\6\0")
fails("unexpected end of buffer", decode, "\224")
fails("unexpected end of buffer", decode, "\255\1\0")
fails("unexpected end of buffer", decode, "\35ab")
fails("left-over data in buffer", decode, encode(1) .. "x")
fails("left-over data in buffer", decode, "\0\0")
fails("cannot deserialize tag 0x13", decode, "\19")
fails("cannot deserialize tag 0x05", decode, "\5")
fails("cannot deserialize tag 0x1f", decode, "\31")
for tag = 16, 18 do  -- C data needs the ffi
  fails(string.format("cannot deserialize tag 0x%02x", tag), decode, string.char(tag) .. string.rep("\0", 16))
end
fails("duplicate table key", decode, "\9\2\33a\2\33a\1")
fails("table index is nil", decode, "\9\1\0\1")
fails("table index is NaN", decode, "\9\1\7\0\0\0\0\0\0\248\127\1")
fails("cannot deserialize dictionary index 1", decode, "\15\0")
fails("cannot deserialize dictionary index 1", decode, "\14\0\8")
-- Counts that the rest of the input cannot hold fail before anything is allocated for them.
fails("unexpected end of buffer", decode, "\10\255\255\255\255\127")
fails("unexpected end of buffer", decode, "\9\255\255\255\255\127")
fails("unexpected end of buffer", decode, "\255\255\255\255\255")
fails("unexpected end of buffer", decode, "\12\4\0\0")    -- three values promised, two bytes left
fails("unexpected end of buffer", decode, "\9\2\0\0\0")   -- two pairs need four bytes
-- Every proper prefix of a valid encoding is truncated; the whole decodes.
local sample = encode({1, "two", {three = 3, [4] = {true, false}}, [0] = -0.0, s = string.rep("z", 300)})
for n = 0, #sample - 1 do
  fails("unexpected end of buffer", decode, sample:sub(1, n))
end
assert(decode(sample)[3].three == 3)
-- Arbitrary bytes either decode or fail with one of the decoder's messages, never anything else.
local seed = 7
local function rnd(n)
  seed = (seed * 1103515245 + 12345) % 2147483648
  return seed % n
end
local known = {"unexpected end of buffer", "left-over data in buffer", "cannot deserialize tag",
  "duplicate table key", "table index is", "cannot deserialize dictionary index", "too deep to serialize"}
for _ = 1, 3000 do
  local t = {}
  for i = 1, 1 + rnd(24) do t[i] = string.char(rnd(4) == 0 and rnd(20) or rnd(256)) end
  local ok, msg = pcall(decode, table.concat(t))
  if not ok then
    local found = false
    for _, k in ipairs(known) do found = found or msg:find(k, 1, true) ~= nil end
    assert(found, msg)
  end
end

-- Dictionaries: string keys listed in "dict" are written as their index, values never are.
local opts = {dict = {"a", "bb"}}
local b = buffer.new(opts)
assert(hex(b:encode({a = 1}):get()) == "09010f00" .. "07000000000000f03f")
assert(hex(b:encode({bb = "a"}):get()) == "09010f01" .. "2161")
b:encode({a = {bb = "x"}, c = 3})
local back = b:decode()
assert(back.a.bb == "x" and back.c == 3 and #b == 0)
fails("cannot deserialize dictionary index 1", decode, "\9\1\15\0\1")
-- Metatables listed in "metatable" come back as the same table.
local point = {__index = {kind = "point"}}
local mb = buffer.new({metatable = {point}, dict = {"x", "y"}})
local pt = setmetatable({x = 1, y = 2}, point)
mb:encode({pt, setmetatable({}, point)})
assert(mb:tostring():sub(1, 4) == "\12\3\14\0")
local pts = mb:decode()
assert(getmetatable(pts[1]) == point and pts[1].kind == "point" and pts[1].y == 2)
assert(getmetatable(pts[2]) == point)
fails("cannot deserialize dictionary index 1", decode, "\14\0\8")
local nomt = buffer.new({metatable = {}})
fails("cannot deserialize dictionary index 1", nomt.decode, nomt:set("\14\0\8"))
fails("cannot deserialize tag 0x07", mb.decode, mb:set("\14\0\7"))
-- An entry of false keeps its place in the numbering.
local skip = buffer.new({dict = {false, "k"}})
assert(skip:encode({k = true}):tostring() == "\9\1\15\1\2")
-- Entries of any other kind are rejected.
fails("bad options table", buffer.new, {dict = {"a", 1}})
fails("bad options table", buffer.new, {metatable = {"a"}})
fails("bad options table", buffer.new, 10, {dict = {{}}})
-- Options that are not tables are ignored.
assert(buffer.new({dict = "no", metatable = 5}):encode({a = 1}):tostring() == encode({a = 1}))
-- A dictionary that the script edits after it was prepared: a key whose index no longer names it is
-- written as a plain string, never under a wrong index.
local dict = {"p", "q"}
local eb = buffer.new({dict = dict})
dict[1] = "r"
assert(eb:encode({p = 1}):tostring() == encode({p = 1}))
eb:reset()
assert(eb:encode({q = 1}):tostring() == "\9\1\15\1" .. encode(1))
dict.q = "changed"
eb:reset()
assert(eb:encode({q = 1}):tostring() == encode({q = 1}))
-- Decoding with a dictionary reads the array entries as they are now.
local db = buffer.new({dict = dict})
assert(next(db:set("\9\1\15\0\2"):decode()) == "r")

-- The dictionaries live as long as the buffer, with nothing else holding them.
local gcb = buffer.new({dict = {"k" .. 1}, metatable = {{__index = {}}}})
collectgarbage()
collectgarbage()
local gcv = gcb:encode({k1 = 1}):decode()
assert(gcv.k1 == 1 and #gcb == 0)

-- A failed encode leaves the buffer as it was; a failed decode leaves the read position.
local fb = buffer.new()
fb:put("keep")
fails("cannot serialize 'function'", fb.encode, fb, {1, 2, {3, print}})
assert(fb:tostring() == "keep")
fb:set("\7\0\0")
fails("unexpected end of buffer", fb.decode, fb)
assert(#fb == 3)
fails("value expected", fb.encode, fb)
fails("value expected", encode)
fails("string expected, got table", decode, {})

-- Several values in one buffer, read back one by one.
local seq = buffer.new()
seq:encode(1):encode("two"):encode({3}):encode(nil)
assert(seq:decode() == 1 and seq:decode() == "two" and seq:decode()[1] == 3)
assert(seq:decode() == nil and #seq == 0)
fails("unexpected end of buffer", seq.decode, seq)
