-- The pattern matcher through find, match, gmatch and gsub: classes over every byte value, sets,
-- repetitions, anchors, captures, %b, %f, back references, replacement kinds, and the errors with
-- their positions.

local function fails(msg, f, ...)
  local ok, err = pcall(f, ...)
  assert(not ok, "no error, expected " .. msg)
  assert(err:find(msg, 1, true), err)
  return err
end

-- Every class against a predicate written out by byte ranges; upper case is the complement, and a
-- class means the same inside a set.
local function between(c, a, b) return c >= a:byte() and c <= b:byte() end
local classes = {
  a = function(c) return between(c, "A", "Z") or between(c, "a", "z") end,
  c = function(c) return c < 32 or c == 127 end,
  d = function(c) return between(c, "0", "9") end,
  g = function(c) return c > 32 and c < 127 end,
  l = function(c) return between(c, "a", "z") end,
  p = function(c) return (c > 32 and c < 127) and not (between(c, "0", "9") or between(c, "A", "Z") or between(c, "a", "z")) end,
  s = function(c) return c == 32 or (c >= 9 and c <= 13) end,
  u = function(c) return between(c, "A", "Z") end,
  w = function(c) return between(c, "0", "9") or between(c, "A", "Z") or between(c, "a", "z") end,
  x = function(c) return between(c, "0", "9") or between(c, "A", "F") or between(c, "a", "f") end,
  z = function(c) return c == 0 end,
}
for name, pred in pairs(classes) do
  for c = 0, 255 do
    local ch = string.char(c)
    assert((ch:find("^%" .. name .. "$") ~= nil) == pred(c), name .. " " .. c)
    assert((ch:find("^%" .. name:upper() .. "$") ~= nil) == not pred(c), name:upper() .. " " .. c)
    assert((ch:find("^[%" .. name .. "]$") ~= nil) == pred(c), "[" .. name .. "] " .. c)
    assert((ch:find("^[^%" .. name .. "]$") ~= nil) == not pred(c), "[^" .. name .. "] " .. c)
  end
end
-- A "%" before any other byte is that byte, letters included.
assert(("q.%"):match("%q%.%%") == "q.%" and ("b"):match("%B") == nil)

-- find and match
assert(select('#', string.find("a.b", ".", 1, true)) == 2 and string.find("a.b", ".", 1, true) == 2)
assert(string.find("abc", "b", 10) == nil)
local s, e = string.find("abc", "", 4)
assert(s == 4 and e == 3)
assert(string.find("abc", "", 5) == nil)
s, e = string.find("a+b", "+", 1, 1)
assert(s == 2 and e == 2)
local k, v = string.match("key=val", "(%w+)=(%w+)")
assert(k == "key" and v == "val")
local p1, p2 = string.match("hello", "()ll()")
assert(p1 == 3 and p2 == 5 and type(p1) == "number")
assert(("hello"):match(".-l") == "hel" and ("hello"):match(".*l") == "hell")
assert(("hello"):match("^(h?)(h?)e") == "h")
assert(("  trim  "):match("^%s*(.-)%s*$") == "trim")
assert(("x = 10, y = 20"):match("y = (%d+)") == "20")
assert(("[[x]]"):match("%[(%b[])%]") == "[x]")
assert(("f(a(b)c)d"):match("%b()") == "(a(b)c)" and ("f(a(b"):match("%b()") == nil)
assert(('say "hi" ok'):match('%b""') == '"hi"')
assert(("THE (quick) fox"):find("%f[%a]%a+", 5) == 6)
assert(("hello world"):gsub("%f[%w]%w+", "<%0>") == "<hello> <world>")
assert(("end"):find("%f[%z]") == 4 and ("abc"):find("%f[%Z]") == 1)
assert(("say 'hi' or \"bye\""):match("([\"'])(.-)%1", 6) == '"')
assert(select(2, ("say 'hi' now"):match("([\"'])(.-)%1")) == "hi")
assert(("x$"):match("x$$") == "x$" and ("a^b"):match("a^b") == "a^b")
assert(("]x-"):match("[]x%-]+") == "]x-" and ("abc]"):match("[^]]+") == "abc")
assert(("2024-05-17"):match("[0-9]+%-([0-1]%d)") == "05")
assert(("\0a\0"):match("%z(.)%z") == "a")
assert(("a\0b"):find("\0", 1, true) == 2 and ("a\0b"):find("%z") == 2)
assert(("a)"):find(")") == 2 and ("abcabc"):find("c", -2) == 6)  -- no special bytes: a plain search
s, e, k, v = ("abcabc"):find("(b)(c)", 3)
assert(s == 5 and e == 6 and k == "b" and v == "c")
assert(("abc"):find("$") == 4 and ("abc"):gsub("$", "!") == "abc!")
assert(("x=1, y=22"):match("(%a)=(%d+)$") == "y" and ("x=1, y=22 "):match("(%a)=(%d+)$") == nil)
assert(("aaab"):match("a-b") == "aaab" and ("aaab"):match("a-") == "")

-- gmatch
local words = {}
for w in ("one two  three"):gmatch("%a+") do words[#words + 1] = w end
assert(#words == 3 and words[3] == "three")
local pairs_seen = ""
for key, val in ("a=1, bb=22"):gmatch("(%w+)=(%w+)") do pairs_seen = pairs_seen .. key .. ":" .. val .. ";" end
assert(pairs_seen == "a:1;bb:22;")
local n = 0
for _ in ("abc"):gmatch("") do n = n + 1 end
assert(n == 4)
local anchors = ""
for m in ("a^b^"):gmatch("^.") do anchors = anchors .. m end
assert(anchors == "^b")
local positions = ""
for a, b in ("one two"):gmatch("()%a+()") do positions = positions .. a .. "-" .. b .. " " end
assert(positions == "1-4 5-8 ")
local runs = ""
for m in ("ab12cd"):gmatch("%a*") do runs = runs .. "[" .. m .. "]" end
assert(runs == "[ab][][][cd][]")

-- gsub with every kind of replacement
local r, c = string.gsub("hello world", "o", "0", 1)
assert(r == "hell0 world" and c == 1)
r, c = ("abc"):gsub("", "-")
assert(r == "-a-b-c-" and c == 4)
r, c = string.gsub("abc", "%w", "%%")
assert(r == "%%%" and c == 3)
assert(("abc"):gsub("%w", "%0%0") == "aabbcc" and ("abc"):gsub("()b", "%1") == "a2c")
assert(("hello world"):gsub("(o)(%s?)", "[%2%1]") == "hell[ o]w[o]rld")
assert(("abc"):gsub("b", 7) == "a7c" and ("aaa"):gsub("^a", "b") == "baa")
assert(("abc"):gsub("b", "%") == "a%c" and ("abc"):gsub("b", "%%%") == "a%%c")  -- a lone "%" at the end stays
r, c = ("abc"):gsub("x*", "-", 2)
assert(r == "-a-bc" and c == 2)
r, c = ("abc"):gsub("b", "x", 0)
assert(r == "abc" and c == 0)
local map = { get = "GET", n = 5, no = false }
r, c = ("get n no x"):gsub("%a+", map)
assert(r == "GET 5 no x" and c == 4)
local seen = setmetatable({}, { __index = function(_, key) return "<" .. key .. ">" end })
assert(("a b"):gsub("%a", seen) == "<a> <b>")
r = ("one two zed"):gsub("%a+", function(w) if w ~= "zed" then return w:upper() end end)
assert(r == "ONE TWO zed")
r = ("k=v, x=y"):gsub("(%w)=(%w)", function(a, b) return b .. "=" .. a end)
assert(r == "v=k, y=x")
assert(("k=v"):gsub("(%w)=(%w)", function(...) return select('#', ...) end) == "2")
r = ("a,b"):gsub("%a", function(x) return string.format("%s%s", x, x) end)
assert(r == "aa,bb")
local big = ("ab"):rep(3000)
r, c = big:gsub("a", function() return "xyz" end)
assert(#r == 12000 and c == 3000 and r:sub(1, 8) == "xyzbxyzb")

-- Errors are positioned at the caller.
local err = fails("invalid capture index", function() local x = string.gsub("x", "x", "%2") end)
assert(err:match("^patterns%.lua:%d+: invalid capture index$"), err)
fails("invalid replacement value (a table)", function() local x = ("abc"):gsub("b", { b = {} }) end)
fails("invalid replacement value (a boolean)", function() local x = ("abc"):gsub("b", function() return true end) end)
fails("bad argument #3 to 'gsub' (string/function/table expected)", function() local x = string.gsub("abc", "b") end)
fails("malformed pattern (ends with '%')", function() local x = ("abc"):find("a%") end)
fails("malformed pattern (missing ']')", function() local x = ("abc"):find("[a") end)
fails("malformed pattern (missing ']')", function() local x = ("abc"):find("[]") end)
assert(("abc"):find("x[a") == nil)  -- a malformed part the matcher never reaches
fails("unbalanced pattern", function() local x = ("abc"):find("%b(") end)
fails("missing '[' after '%f' in pattern", function() local x = ("abc"):find("%fa") end)
fails("invalid pattern capture", function() local x = ("abc"):match("a)") end)
fails("invalid capture index", function() local x = ("abc"):find("(a%1)") end)
fails("invalid capture index", function() local x = ("abc"):find("(a)%0") end)
fails("unfinished capture", function() local x = ("abc"):match("(a") end)
fails("too many captures", function() local x = ("abc"):find(("()"):rep(33)) end)
assert(select('#', ("abc"):find(("()"):rep(32))) == 34)

-- The nesting limit: each "?" nests one level; 199 fit, 200 do not.
local subject = ("a"):rep(200)
assert(subject:match(("a?"):rep(199)) == ("a"):rep(199))
fails("pattern too complex", function() local x = subject:match(("a?"):rep(200)) end)
fails("pattern too complex", function() local x = subject:gsub(("a?"):rep(200), "") end)
-- A repetition at the limit still nests for its first try, even when the rest could not match.
fails("pattern too complex", function() local x = ("a"):rep(250):find(("a?"):rep(199) .. "x*b") end)
fails("pattern too complex", function() local x = ("a"):rep(250):find(("a?"):rep(198) .. "(x-)b") end)
-- Repetitions retried one after another do not nest.
assert(("a"):rep(3000):find("a*b") == nil and ("a"):rep(3000):find(".-$") == 1)

-- A back reference to a position capture never matches: a position has no text to compare.
assert(string.find("abc", "()%1") == nil)
assert(string.match("xx", "(x)()%2") == nil)
assert(select(2, string.gsub("abc", "()%1", "-")) == 0)
assert(string.match("aa", "(a)%1") == "a" and string.find("abab", "(ab)%1") == 1)
