-- cjson.encode and cjson.decode of a document of about 20 MB, timed with os.clock (best of a few
-- runs). Plain Lua that runs on any interpreter for which Debian builds lua-cjson.
--   speed.lua [records] [runs]
local cjson = require "cjson"
local records = tonumber(arg and arg[1]) or 83000
local runs = tonumber(arg and arg[2]) or 3

local function make_document(n)
  local items = {}
  for i = 1, n do
    items[i] = {
      id = i,
      name = "item number " .. i,
      price = i * 0.25 + 0.125,
      ratio = 1 / (i + 1),
      active = i % 3 == 0,
      tags = { "red", "green", "blue", "tag" .. i % 17 },
      dims = { w = i % 100, h = i % 37, d = i % 11 },
      note = "a \"quoted\" note\twith escapes\n and some text to fill the record",
    }
  end
  return { version = 1, generator = "speed.lua", items = items }
end

local function best(f)
  local fastest, result = math.huge, nil
  for _ = 1, runs do
    collectgarbage()
    local t0 = os.clock()
    result = f()
    local t = os.clock() - t0
    if t < fastest then fastest = t end
  end
  return fastest, result
end

local doc = make_document(records)
local encode_time, text = best(function() return cjson.encode(doc) end)
local decode_time, back = best(function() return cjson.decode(text) end)
assert(#back.items == records and back.items[records].id == records)
assert(back.items[7].note == doc.items[7].note and back.items[records].dims.h == records % 37)

local mb = #text / 1e6
print(("%s: document %.1f MB, encode %.3f s (%.0f MB/s), decode %.3f s (%.0f MB/s)")
  :format(_VERSION, mb, encode_time, mb / encode_time, decode_time, mb / decode_time))
