-- Two plain-Lua libraries from Debian: inspect (lua-inspect) prints tables, dkjson (lua-dkjson)
-- encodes and decodes JSON; both round trip.
local need = require "lib.need"
local inspect = need("inspect", "lua-inspect")
local json = need("dkjson", "lua-dkjson")

-- inspect writes a table as Lua source, which loads back into an equal table.
local value = { 1, 2, "three", flag = true, nested = { x = 1.5, list = { "a", "b" } }, ["key with space"] = 0 }
local text = inspect(value)
assert(text:find('["key with space"] = 0', 1, true), text)
local back = assert(loadstring("return " .. text))()
assert(back[3] == "three" and back.flag == true and back.nested.x == 1.5 and back.nested.list[2] == "b")
assert(back["key with space"] == 0)
assert(inspect({ 1, 2, 3 }) == "{ 1, 2, 3 }")
assert(inspect("a\nb") == '"a\\nb"')
assert(inspect({ a = { b = { c = {} } } }, { depth = 2 }) == "{\n  a = {\n    b = {...}\n  }\n}")
local shared = {}
assert(inspect({ shared, shared }) == "{ <1>{}, <table 1> }")
local withmeta = setmetatable({}, { __index = {} })
assert(inspect(withmeta):find("<metatable>", 1, true))
assert(inspect({ 1, 2 }, { newline = "", indent = "", process = function(item) return item ~= 2 and item or nil end }) == "{ 1 }")

-- dkjson: encode and decode back, keeping order of keys when asked, nulls and errors.
local doc = { name = "tarnel", list = { 1, 2.5, -3, "x" }, ok = false, inner = { deep = { "y" } } }
local encoded = json.encode(doc)
local decoded, pos, err = json.decode(encoded)
assert(err == nil and pos == #encoded + 1, err)
assert(decoded.name == "tarnel" and decoded.list[2] == 2.5 and decoded.ok == false and decoded.inner.deep[1] == "y")
assert(json.encode({ 3, 2, 1 }) == "[3,2,1]")
assert(json.encode({ b = 1, a = 2 }, { keyorder = { "a", "b" } }) == '{"a":2,"b":1}')
assert(json.encode("tab\tquote\"") == '"tab\\tquote\\""')
assert(json.encode(json.null) == "null")
local withnull = json.decode('{"a":null,"b":[null,1]}', 1, json.null)
assert(withnull.a == json.null and withnull.b[1] == json.null and withnull.b[2] == 1)
assert(json.decode('"\\u00e9"') == "é")
local none, at, msg = json.decode('{"a": tru}')
assert(none == nil and type(at) == "number" and msg == "no valid JSON value at line 1, column 7", msg)
-- Indented output decodes to the same data; __jsontype marks an empty table as an object.
local pretty = json.encode(doc, { indent = true })
assert(pretty:find("\n", 1, true) and json.decode(pretty).inner.deep[1] == "y")
assert(json.encode(setmetatable({}, { __jsontype = "object" })) == "{}")
assert(json.encode({}) == "[]")
