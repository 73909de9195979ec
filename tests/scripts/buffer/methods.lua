-- Buffer objects: appending, reading, copy-on-write reading of strings, resetting and freeing, the
-- metamethods, the other libraries that take buffers, and the messages of wrong calls.
local buffer = require "string.buffer"

local function fails(want, f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "no error, wanted " .. want)
  assert(msg:find(want, 1, true), msg)
end

-- The module and the object.
assert(require "string.buffer" == buffer)
local b = buffer.new()
assert(type(b) == "userdata" and getmetatable(b) == "buffer")
assert(tostring(b) == "" and #b == 0 and b:get() == "")

-- put appends strings, numbers in the standard format, other buffers and __tostring results.
local other = buffer.new():put("<", ">")
local obj = setmetatable({}, {__tostring = function() return "obj" end})
local numobj = setmetatable({}, {__tostring = function() return 12 end})
local bufobj = setmetatable({}, {__tostring = function() return other end})
assert(b:put("a", 1, 2.5, 1e100, -0.0, other, obj, numobj, bufobj) == b)
assert(b:tostring() == "a12.51e+100-0<>obj12<>" and #other == 2)
assert(b .. "!" == "a12.51e+100-0<>obj12<>!" and "!" .. b == "!a12.51e+100-0<>obj12<>")
fails("cannot put buffer into itself", b.put, b, b)
fails("cannot put buffer into itself", b.put, b, setmetatable({}, {__tostring = function() return b end}))
fails("bad argument #2 to 'put' (string/number/__tostring expected, got table)", function() b.put(b, {}) end)
fails("bad argument #1 to 'put' (string/number/__tostring expected, got nil)", function() b:put(nil) end)
fails("bad argument #3 to 'put' (string/number/__tostring expected, got boolean)", function() b.put(b, "x", true) end)
fails("string/number/__tostring expected, got table",
  function() b:put(setmetatable({}, {__tostring = function() return {} end})) end)
fails("bad argument #1 to 'put' (buffer expected, got string)", function() b.put("x") end)
fails("calling 'get' on bad self (buffer expected, got table)", function() local t = {get = b.get}; t:get() end)
fails("bad argument #1 to 'tostring' (buffer expected, got no value)", function() b.tostring() end)

-- putf formats like string.format, also through __tostring arguments.
b:reset()
assert(b:putf("%d-%s-%5.1f|%s", 42, "x", 2.25, obj) == b)
assert(b:tostring() == "42-x-  2.2|obj")
fails("cannot put buffer into itself", b.putf, b, "%s", b)
assert(buffer.new():putf("%s%s", other, 1):get() == "<>1")

-- get consumes; each argument takes up to n bytes, nil takes the rest.
b:set("hello")
local x, y = b:get(2, nil)
assert(x == "he" and y == "llo" and #b == 0)
b:put("abcdef")
local p, q, r, s = b:get(1, 0, 10, 1)
assert(p == "a" and q == "" and r == "bcdef" and s == "" and #b == 0)
fails("bad argument #1 to 'get' (number out of range)", function() b:get(-1) end)
fails("bad argument #2 to 'get' (number expected, got table)", function() b.get(b, {}) end)
-- After everything was read the buffer starts over at the front of its memory.
local big = buffer.new(100)
big:put(string.rep("x", 60))
big:get(60)
big:put(string.rep("y", 60))
assert(big:get() == string.rep("y", 60))

-- set reads a string without copying it; skip, get and tostring read from it; writing copies.
assert(buffer.new():set("abc"):skip(1):get() == "bc")
local c = buffer.new():set("abcdef")
assert(c:skip(2):tostring() == "cdef" and #c == 4)
assert(c:put("gh"):tostring() == "cdefgh")
assert(c:skip(100):get() == "" and #c == 0)
c:set(123)
assert(c:get() == "123")
fails("bad argument #1 to 'set' (string expected, got no value)", function() c:set() end)
fails("bad argument #2 to 'set' (string expected, got table)", function() c.set(c, {}) end)
-- The string set into a buffer stays alive with it.
local keep = buffer.new():set(string.rep("q", 50) .. tostring(os.time()))
collectgarbage()
collectgarbage()
assert(keep:get(50) == string.rep("q", 50))
-- Reading, resetting and freeing a copy-on-write buffer never touches the string.
local src = string.rep("s", 40)
local cow = buffer.new():set(src)
cow:reset()
assert(#cow == 0 and cow:put("t"):tostring() == "t" and src == string.rep("s", 40))
cow:set(src):free()
assert(#cow == 0 and cow:put("u"):get() == "u")
assert(src == string.rep("s", 40))

-- skip, reset and free.
local d = buffer.new(16)
d:put("0123456789")
assert(d:skip(3):tostring() == "3456789")
fails("bad argument #2 to 'skip' (number out of range)", function() d.skip(d, -1) end)
assert(d:reset() == d and #d == 0 and d:put("z"):get() == "z")
assert(d:free() == d and #d == 0 and d:tostring() == "")
assert(d:put("again"):get() == "again")

-- commit grows the content into free room; reserve and ref give ffi byte pointers (the ffi opens).
local e = buffer.new(32)
fails("bad argument #1 to 'commit' (number out of range)", function() e:commit(1000) end)
fails("bad argument #2 to 'commit' (number out of range)", function() e.commit(e, -1) end)
assert(e:commit(0) == e and #e == 0)
local p, room = e:reserve(10)
assert(type(p) == "cdata" and room >= 10)
local q, unread = e:ref()
assert(type(q) == "cdata" and unread == 0)
fails("bad argument #2 to 'putcdata' (cdata expected, got string)", function() e.putcdata(e, "x", 1) end)

-- new: size and options.
assert(#buffer.new(0) == 0 and #buffer.new(nil, {}) == 0 and #buffer.new({}) == 0)
fails("bad argument #1 to 'new' (number out of range)", function() buffer.new(-1) end)
fails("bad argument #1 to 'new' (number out of range)", function() buffer.new(0x7fffff01) end)
fails("bad argument #2 to 'new' (table expected, got string)", function() buffer.new(10, "x") end)

-- Large contents through many small pieces, and reading while writing.
local w = buffer.new()
for i = 1, 20000 do w:put(i % 10) end
assert(#w == 20000)
local total = 0
while #w > 0 do
  total = total + #w:get(7)
  w:put("")
end
assert(total == 20000)
local fifo = buffer.new()
local expect = {}
for i = 1, 5000 do
  fifo:put(string.rep(string.char(65 + i % 26), i % 13))
  expect[#expect + 1] = string.rep(string.char(65 + i % 26), i % 13)
  if i % 3 == 0 then fifo:skip(0) end
end
assert(fifo:get() == table.concat(expect))

-- Other libraries read a buffer's unread bytes.
local f = buffer.new():put("return 1 + 41")
assert(load(f)() == 42 and #f == 13)
assert(string.format("[%s|%5s]", buffer.new():put("ab"), buffer.new():put("c")) == "[ab|    c]")
assert(tostring(buffer.new():put("t")) == "t")

-- Methods work from coroutines too, and buffers left to the collector are finalized.
local co = coroutine.wrap(function(buf)
  buf:put("in")
  coroutine.yield()
  buf:put(string.rep("-", 1000))
end)
local shared = buffer.new()
co(shared)
co()
assert(#shared == 1002)
for _ = 1, 200 do buffer.new():put(string.rep("g", 1000)) end
collectgarbage()
