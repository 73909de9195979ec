-- Writes the fuzz targets' seed corpora from the test scripts:
--   tarnel make_corpus.lua <repository root> <corpus directory>
-- Source chunks are the scripts themselves, binary chunks their dumps, patterns and formats the
-- literal calls found in them, serialized data the encodings of values like those the buffer
-- tests use.
local root, out = arg[1], arg[2]
assert(root and out, "usage: make_corpus.lua <repository root> <corpus directory>")
local buffer = require("string.buffer")

local function lines(cmd)
  local p = assert(io.popen(cmd))
  local t = {}
  for l in p:lines() do t[#t + 1] = l end
  p:close()
  return t
end

local function slurp(path)
  local f = assert(io.open(path, "rb"))
  local s = f:read("*a")
  f:close()
  return s
end

local counts = {}
local function put(target, name, data)
  os.execute("mkdir -p '" .. out .. "/" .. target .. "'")
  counts[target] = (counts[target] or 0) + 1
  local f = assert(io.open(out .. "/" .. target .. "/" .. name, "wb"))
  f:write(data)
  f:close()
end

local scripts = lines("cd '" .. root .. "' && find tests/scripts tests/golden tests/listing examples -name '*.lua' -size -40k | sort")
local sources = {}
for _, path in ipairs(scripts) do
  local name = path:gsub("^tests/", ""):gsub("[/.]", "_")
  local src = slurp(root .. "/" .. path)
  sources[#sources + 1] = src
  put("load_source", name, src)
  if #src <= 4096 then put("run_chunk", name, src) end
  local f = load(src, "=" .. name)
  if f then
    put("load_binary", name, string.dump(f))
    put("load_binary", name .. "_stripped", string.dump(f, true))
  end
end
put("load_binary", "portable_kxb", slurp(root .. "/tests/unit/data/portable.kxb"))
local all = table.concat(sources, "\n")

-- Pattern inputs: selector byte, pattern NUL subject NUL replacement.
local seen, n = {}, 0
local function pattern(subject, pat, repl)
  local key = subject .. "\0" .. pat
  if seen[key] or #key > 200 then return end
  seen[key] = true
  n = n + 1
  put("pattern", ("p%03d"):format(n), string.char((n * 37) % 256) .. pat .. "\0" .. subject .. "\0" .. (repl or "%0"))
end
for subject, pat in all:gmatch('%("([^"]*)"%):%a+%("([^"]*)"') do pattern(subject, pat) end
for subject, pat in all:gmatch('string%.%a+%("([^"]*)", "([^"]*)"') do pattern(subject, pat) end
for subject, pat, repl in all:gmatch('%("([^"]*)"%):gsub%("([^"]*)", "([^"]*)"') do pattern(subject, pat, repl) end

-- Format inputs: format NUL arguments (tag 0 a double, 1 a small integer, 2 a string, 4 a
-- prepared value), several argument mixes per format.
local mixes = {
  "\1\42\2\3abc\1\255\4\5",
  "\2\5hello\1\7\4\9",
  "\0" .. "\0\0\0\0\0\0\240\63" .. "\4\6\4\7",
}
n = 0
seen = {}
for fmt in all:gmatch('format%("([^"]*)"') do
  if not seen[fmt] and #fmt < 120 then
    seen[fmt] = true
    n = n + 1
    put("format", ("f%03d"):format(n), fmt .. "\0" .. mixes[n % #mixes + 1])
  end
end

-- Serialized values: option byte (1 string dictionary, 2 metatable dictionary, 4 a buffer's own
-- decoder), then the encoding.
local dict = {"id", "name", "list", "", "key", ("k"):rep(40)}
local mts = {{__index = {}}, {}, {__mode = "k"}}
local values = {
  0, -0.0, 1 / 0, 0 / 0, 2 ^ 53, -123.5, "", "text", ("long"):rep(40), true, false,
  {}, {1, 2, 3}, {1, nil, 3}, {[0] = "zero", "one"}, {id = 1, name = "n", list = {1, 2}},
  {key = {key = {key = {}}}}, {[1.5] = 1, [true] = false, x = "y"},
  setmetatable({a = 1}, mts[1]), setmetatable({list = {}}, mts[2]),
}
n = 0
for _, v in ipairs(values) do
  for flags = 0, 7 do
    local opts = {}
    if flags % 2 == 1 then opts.dict = dict end
    if flags % 4 >= 2 then opts.metatable = mts end
    local ok, s = pcall(function() return buffer.new(opts):encode(v):encode(v):tostring() end)
    if ok and (flags < 4 or flags % 4 ~= 0) then
      n = n + 1
      put("buffer_decode", ("b%03d"):format(n), string.char(flags) .. s)
    end
  end
end

-- C declarations: every ffi.cdef text of the scripts alone, and every type string they look up
-- after a NUL, once with no declarations and once with each declaration text of the same script
-- that names something the type string names.
local c_words = {}
for w in ("struct union enum const volatile unsigned signed char short int long float double void bool"):gmatch("%a+") do
  c_words[w] = true
end
local function literal(q) local f = load("return " .. q) return f and f() end
n = 0
seen = {}
local function cdecl(decls, ty)
  local key = decls .. "\0" .. (ty or "")
  if seen[key] or #key > 4096 then return end
  seen[key] = true
  n = n + 1
  put("ffi_cdef", ("c%03d"):format(n), ty and key or decls)
end
for _, src in ipairs(sources) do
  if src:find("ffi", 1, true) then
    local decls = {}
    for text in src:gmatch("cdef%(%[%[(.-)%]%]%)") do decls[#decls + 1] = text end
    for q in src:gmatch('cdef%(("[^"\n]*")%)') do decls[#decls + 1] = literal(q) end
    for q in src:gmatch('cdef_err%(("[^"\n]*")%)') do decls[#decls + 1] = literal(q) end
    for _, d in ipairs(decls) do cdecl(d) end
    for q in src:gmatch('ffi%.%a+%(("[^"\n]*")') do
      local ty = literal(q)
      if ty then
        cdecl("", ty)
        for _, d in ipairs(decls) do
          for id in ty:gmatch("[%a_][%w_]*") do
            if not c_words[id] and d:find("%f[%w_]" .. id .. "%f[^%w_]") then cdecl(d, ty) break end
          end
        end
      end
    end
  end
end

local names = {}
for k, c in pairs(counts) do names[#names + 1] = k .. " " .. c end
table.sort(names)
print(table.concat(names, ", "))
