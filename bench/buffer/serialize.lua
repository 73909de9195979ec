-- Encoding and decoding a table of mixed records with string.buffer, and the same round trip with
-- a serializer written in plain Lua (text in table-constructor form, read back with load).
-- Usage: serialize.lua [megabytes] [which]   which = buffer, lua or both (default: what is available)
local dir = arg[0]:match("^(.*)/") or "."
local R = dofile(dir .. "/records.lua")
local mbytes = tonumber(arg and arg[1]) or 10
local ok, buffer = pcall(require, "string.buffer")
local which = arg and arg[2] or (ok and "both" or "lua")

local data = R.make(mbytes)
local want = R.checksum(data)

local function report(name, bytes, secs)
  print(string.format("%-26s %8.1f MB %8.3f s %9.1f MB/s", name, bytes / 1e6, secs, bytes / 1e6 / secs))
end

local function best(n, f)
  local b = math.huge
  local r
  for _ = 1, n do
    local t0 = R.clock()
    r = f()
    local dt = R.clock() - t0
    if dt < b then b = dt end
  end
  return b, r
end

if which ~= "lua" then
  local enc_t, s = best(5, function() return buffer.encode(data) end)
  report("buffer.encode", #s, enc_t)
  local dec_t, back = best(5, function() return buffer.decode(s) end)
  assert(R.checksum(back) == want)
  report("buffer.decode", #s, dec_t)
  local dict = { "id", "name", "score", "active", "tags", "pos", "x", "y", "z", "note" }
  local b = buffer.new({ dict = dict })
  local encd_t = best(5, function() b:reset(); b:encode(data) end)
  local n = #b
  report("buf:encode (key dict)", n, encd_t)
  local decd_t = best(5, function()
    local saved = b:tostring()
    local v = b:decode()
    b:set(saved)
    return v
  end)
  report("buf:decode (key dict)", n, decd_t)
end

if which ~= "buffer" then
  -- A compact text format: "s<len>:<bytes>", "d<number>;", "T", "F", and tables as
  -- "t<narray>;<values><nhash>;<key><value>...".
  local fmt, concat, sub, byte, find = string.format, table.concat, string.sub, string.byte, string.find
  local function ser(v, out, n)
    local tv = type(v)
    if tv == "table" then
      local len = #v
      n = n + 1; out[n] = "t" .. len .. ";"
      for i = 1, len do n = ser(v[i], out, n) end
      local nh, mark = 0, n + 1
      n = n + 1
      for k, x in pairs(v) do
        if not (type(k) == "number" and k >= 1 and k <= len and k % 1 == 0) then
          nh = nh + 1
          n = ser(k, out, n)
          n = ser(x, out, n)
        end
      end
      out[mark] = nh .. ";"
    elseif tv == "string" then
      n = n + 1; out[n] = "s" .. #v .. ":" .. v
    elseif tv == "number" then
      n = n + 1; out[n] = fmt("d%.17g;", v)
    else
      n = n + 1; out[n] = v and "T" or "F"
    end
    return n
  end
  local function encode(v)
    local out = {}
    ser(v, out, 0)
    return concat(out)
  end
  local des
  local function count(s, pos)
    local e = find(s, ";", pos, true)
    return tonumber(sub(s, pos, e - 1)), e + 1
  end
  function des(s, pos)
    local c = byte(s, pos)
    if c == 115 then -- s
      local e = find(s, ":", pos, true)
      local len = tonumber(sub(s, pos + 1, e - 1))
      return sub(s, e + 1, e + len), e + len + 1
    elseif c == 100 then -- d
      local e = find(s, ";", pos, true)
      return tonumber(sub(s, pos + 1, e - 1)), e + 1
    elseif c == 116 then -- t
      local t = {}
      local na, nh
      na, pos = count(s, pos + 1)
      for i = 1, na do t[i], pos = des(s, pos) end
      nh, pos = count(s, pos)
      for _ = 1, nh do
        local k
        k, pos = des(s, pos)
        t[k], pos = des(s, pos)
      end
      return t, pos
    else
      return c == 84, pos + 1
    end
  end
  local enc_t, s = best(3, function() return encode(data) end)
  report("Lua serializer encode", #s, enc_t)
  local dec_t, back = best(3, function() return (des(s, 1)) end)
  assert(R.checksum(back) == want)
  report("Lua serializer decode", #s, dec_t)
end
