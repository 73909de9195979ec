-- Memory stays bounded while a loop allocates two million small tables.
local limit = 4 * 1024
local peak = 0
for i = 1, 2000000 do
  local t = {i, i + 1, x = i}
  if i % 4096 == 0 then
    local kb = collectgarbage("count")
    if kb > peak then peak = kb end
  end
end
assert(peak < limit, peak)

-- Strings too: the interning table is swept and shrinks again.
peak = 0
for i = 1, 300000 do
  local s = "string number " .. i
  if i % 4096 == 0 then
    local kb = collectgarbage("count")
    if kb > peak then peak = kb end
  end
end
assert(peak < limit, peak)
collectgarbage()
collectgarbage()
assert(collectgarbage("count") < 1024)
