-- string.format: conversions with flags, width and precision, argument conversion and checking,
-- %q text that reads back as the same string, and "__tostring" for %s.

local function fails(msg, f, ...)
  local ok, err = pcall(f, ...)
  assert(not ok, "no error, expected " .. msg)
  assert(err:find(msg, 1, true), err)
end

assert(string.format("%5.1f|%-5d|%05d|%+d|%x|%#o|%e", 3.14159, 42, 42, 42, 255, 8, 0)
       == "  3.1|42   |00042|+42|ff|010|0.000000e+00")
assert(string.format("%d", "10") == "10" and string.format("%i", -3.9) == "-3")
assert(string.format("%x %X %#x %o", 255, 255, 255, 8) == "ff FF 0xff 10")
assert(string.format("%u", -1) == "18446744073709551615")
assert(string.format("%.3g|%g|%a|%.0f|%.0f", 0.0001234, 1e-5, 1, 0.5, 1.5) == "0.000123|1e-05|0x1p+0|0|2")
assert(string.format("%c%c%c", 76, 117, 97) == "Lua" and string.format("%3c|%-3c|", 65, 66) == "  A|B  |")
assert(string.format("[%5s|%-5s|%.2s|%5.1s]", "ab", "ab", "abc", "xyz") == "[   ab|ab   |ab|    x]")
assert(string.format("%s %s %s %s", nil, true, 1.5, 1e15) == "nil true 1.5 1e+15")
assert(string.format("%s", print):match("^function: builtin#%d+$"))
assert(string.format("%s", {}):match("^table: 0x%x%x%x%x%x%x%x%x$"))
assert(string.format("%p", {}):match("^0x%x%x%x%x%x%x%x%x$") and string.format("%p %p", 1, nil) == "NULL NULL")
assert(string.format("100%%") == "100%" and string.format("%%%d%%", 5) == "%5%")
assert(string.format(12) == "12" and ("%d items"):format(3) == "3 items")
assert(string.format("%s", "a\0b") == "a\0b" and #string.format("%-3s|", "\0") == 4)

-- Errors
fails("bad argument #2 to 'format' (value expected)", function() local s = string.format("%s") end)
fails("bad argument #3 to 'format' (value expected)", function() local s = string.format("%d %d", 1) end)
fails("invalid option '%y' to 'format'", function() local s = string.format("%y", 1) end)
fails("invalid option '%123' to 'format'", function() local s = string.format("%123d", 1) end)
fails("invalid option '%-+ 05.3y' to 'format'", function() local s = string.format("%-+ 05.3y", 1) end)
fails("invalid option '%' to 'format'", function() local s = string.format("abc%", 1) end)
fails("bad argument #2 to 'format' (number expected, got string)", function() local s = string.format("%d", "x") end)
fails("bad argument #2 to 'format' (number expected, got table)", function() local s = string.format("%c", {}) end)

-- %q: escapes as documented, and the text reads back as the same bytes.
assert(string.format("%q", "a\0b\n") == '"a\\0b\\\n"')
assert(string.format("%q", "\0" .. "1") == '"\\0001"' and string.format("%q", "\r9\127") == '"\\0139\\127"')
assert(string.format("%q", 'say "hi" \\ bye') == '"say \\"hi\\" \\\\ bye"')
assert(string.format("%q", "\200\255") == '"\200\255"' and string.format("%q", 12) == '"12"')
local codes = {}
for c = 0, 255 do codes[#codes + 1] = c end
local all = string.char(unpack(codes))
assert(loadstring("return " .. string.format("%q", all))() == all)
local seed = 7
for _ = 1, 200 do
  local t = {}
  for i = 1, seed % 13 do
    seed = seed * 16807 % 2147483647
    t[i] = seed % 256
  end
  local s = string.char(unpack(t))
  assert(loadstring("return " .. string.format("%q", s))() == s)
end

-- __tostring is called once per argument, even when it formats with the same buffer itself.
local calls = 0
local mt = { __tostring = function(o) calls = calls + 1; return string.format("<%s>", o.name) end }
local a, b = setmetatable({ name = "first" }, mt), setmetatable({ name = "second" }, mt)
assert(string.format("%d [%s] %5.3s [%s]", 7, a, b, "plain") == "7 [<first>]   <se [plain]")
assert(calls == 2)
local weird = setmetatable({}, { __tostring = function() return 42 end })
assert(string.format("%s|%q", weird, weird) == "42|\"42\"")
