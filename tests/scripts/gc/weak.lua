-- Weak tables: which entries a full collection removes.
local function count(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end

local strong = {}
local wk = setmetatable({}, {__mode = "k"})
local wv = setmetatable({}, {__mode = "v"})
local wkv = setmetatable({}, {__mode = "kv"})
for _, t in ipairs({wk, wv, wkv}) do
  t[{}] = 1                 -- unreachable key
  t[2] = {}                 -- unreachable value
  t[strong] = strong        -- reachable key and value
  t["name"] = {}            -- a string key is never collected, the value only when weak
  t[3] = "text" .. 3        -- a string value is never collected
end
collectgarbage()
assert(count(wk) == 4 and wk[2] and wk.name and wk[strong] == strong and wk[3] == "text3")
assert(count(wv) == 3 and wv[2] == nil and wv.name == nil and wv[3] == "text3")
assert(count(wkv) == 2 and wkv[strong] == strong and wkv[3] == "text3")

-- "__mode" is read when the table is traversed: the mode can change between cycles.
local mt = {}
local t = setmetatable({{}, {}}, mt)
collectgarbage()
assert(#t == 2)
mt.__mode = "v"
collectgarbage()
assert(t[1] == nil and t[2] == nil)

-- A userdata queued for finalization leaves weak values in the same cycle; as a weak key it stays
-- until it is freed in a later cycle.
local seen = 0
local p = newproxy(true)
getmetatable(p).__gc = function(u)
  seen = seen + 1
  assert(wk[u] == "key")   -- still there while the finalizer runs
end
wk, wv = setmetatable({}, {__mode = "k"}), setmetatable({}, {__mode = "v"})
wk[p], wv[1] = "key", p
p = nil
collectgarbage()
assert(seen == 1 and wv[1] == nil and count(wk) == 1)
collectgarbage()
assert(seen == 1 and count(wk) == 0)

-- Entries whose keys die go even when the table is busy with other stores during the cycle.
collectgarbage("setstepmul", 1)
local cache = setmetatable({}, {__mode = "k"})
local keep = {}
for i = 1, 20000 do
  local k = {i}
  cache[k] = i
  if i % 100 == 0 then keep[#keep + 1] = k end
  collectgarbage("step")
end
collectgarbage("setstepmul", 200)
collectgarbage()
assert(count(cache) == #keep)
for _, k in ipairs(keep) do assert(cache[k] == k[1]) end
