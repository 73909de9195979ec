-- Debian's cjson (a native module built for Lua 5.1) encodes and decodes through the C API.
local need = require "lib.need"
local cjson = need("cjson", "lua-cjson")

local function same(a, b)
  if type(a) ~= type(b) then return false end
  if type(a) ~= "table" then return a == b end
  for k, v in pairs(a) do if not same(v, b[k]) then return false end end
  for k in pairs(b) do if a[k] == nil then return false end end
  return true
end

local doc = { a = { 1, 2, 3 }, b = "x" }
local text = cjson.encode(doc)
assert(same(cjson.decode(text), doc), text)
assert(text == '{"a":[1,2,3],"b":"x"}' or text == '{"b":"x","a":[1,2,3]}', text)

local t = cjson.decode('[1,2,{"k":null}]')
assert(t[1] == 1 and t[2] == 2 and t[3].k == cjson.null)
assert(cjson.encode(cjson.null) == "null")

-- A sparse array is refused with cjson's own message.
local ok, err = pcall(cjson.encode, { [1] = 1, [20] = 2 })
assert(not ok and err:find("Cannot serialise table: excessively sparse array", 1, true), err)
ok, err = pcall(cjson.encode, { f = print })
assert(not ok and err:find("Cannot serialise function: type not supported", 1, true), err)
ok, err = pcall(cjson.decode, '{"a":}')
assert(not ok and err:find("Expected value but found T_OBJ_END at character 6", 1, true), err)

-- Strings with escapes and UTF-8, numbers, booleans and nesting survive the round trip.
local rich = {
  s = 'quote " backslash \\ tab \t nl \n ctrl \1 é 漢',
  n = { 0, -1, 0.5, 1e300, -2.25e-10, 2 ^ 40 },
  flags = { true, false },
  deep = { { { { { "five" } } } } },
  empty = {},
}
local back = cjson.decode(cjson.encode(rich))
assert(same(back.s, rich.s) and same(back.n, rich.n) and same(back.flags, rich.flags))
assert(back.deep[1][1][1][1][1] == "five")
assert(cjson.decode('"\\u00e9\\ud83d\\ude00"') == "é\240\159\152\128")

-- Options of an independent instance and number formatting through the C API's number paths.
local other = cjson.new()
other.encode_sparse_array(true)
assert(other.encode({ [1] = 1, [20] = 2 }):find('"20":2', 1, true))
assert(cjson.encode(1 / 3) == "0.33333333333333")
ok, err = pcall(cjson.encode, 0 / 0)
assert(not ok and err:find("Cannot serialise number: must not be NaN or Inf", 1, true), err)

-- A large document: the buffers grow well past their first block.
local big = {}
for i = 1, 20000 do big[i] = { id = i, name = "item" .. i, tags = { "a", "b" } } end
local bigtext = cjson.encode(big)
assert(#bigtext > 500000)
local bigback = cjson.decode(bigtext)
assert(#bigback == 20000 and bigback[12345].name == "item12345" and bigback[20000].tags[2] == "b")
