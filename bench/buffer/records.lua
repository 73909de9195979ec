-- Shared data for the buffer benchmarks: a table of mixed records, deterministic, of about the
-- requested size in serialized bytes.
local M = {}

local seed = 12345
local function rand(n)
  seed = (seed * 16807) % 2147483647  -- exact in doubles and in integers
  return seed % n
end

local words = {}
for i = 1, 64 do
  local w = {}
  for j = 1, 3 + i % 9 do w[j] = string.char(97 + (i * 7 + j * 3) % 26) end
  words[i] = table.concat(w)
end

local function record(i)
  return {
    id = i,
    name = words[rand(64) + 1] .. " " .. words[rand(64) + 1],
    score = rand(1000000) / 1000,
    active = rand(2) == 1,
    tags = { words[rand(64) + 1], words[rand(64) + 1], words[rand(64) + 1] },
    pos = { x = rand(10000) - 5000, y = rand(10000) - 5000, z = rand(100) / 7 },
    note = rand(4) == 0 and (words[rand(64) + 1] .. ","):rep(1 + rand(8)) or nil,
  }
end

-- About 110 serialized bytes per record.
function M.make(mbytes)
  local n = math.floor(mbytes * 1e6 / 110)
  local t = {}
  for i = 1, n do t[i] = record(i) end
  return t
end

-- A summary that any faithful round trip keeps.
function M.checksum(t)
  local s = 0
  for i = 1, #t do
    local r = t[i]
    s = (s + r.id + r.score * 1000 + #r.name + #r.tags[3] + r.pos.x + (r.active and 1 or 0) + (r.note and #r.note or 0)) % 1e12
  end
  return s
end

function M.clock() return os.clock() end

return M
