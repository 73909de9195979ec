-- Building a 100 MB string from small pieces: string.buffer's put against collecting the pieces in
-- a table for table.concat.
-- Usage: build.lua [megabytes] [which]   which = buffer, concat or both (default: what is available)
local mbytes = tonumber(arg and arg[1]) or 100
local ok, buffer = pcall(require, "string.buffer")
local which = arg and arg[2] or (ok and "both" or "concat")
local pieces = {"alpha", "be", "gamma-delta", "x", "0123456789", "  ", "epsilon,zeta;"}
local npieces = #pieces
local target = mbytes * 1e6

local function report(name, bytes, secs)
  print(string.format("%-26s %8.1f MB %8.3f s %9.1f MB/s", name, bytes / 1e6, secs, bytes / 1e6 / secs))
end

-- One round of pieces is 48 bytes; a number is added every round as well.
local rounds = math.floor(target / 52)

if which ~= "concat" then
  collectgarbage()
  local t0 = os.clock()
  local b = buffer.new()
  for i = 1, rounds do
    for j = 1, npieces do b:put(pieces[j]) end
    b:put(i % 10000)
  end
  local s = b:tostring()
  local dt = os.clock() - t0
  report("buf:put + tostring", #s, dt)
  b:free()
end

if which ~= "buffer" then
  collectgarbage()
  local t0 = os.clock()
  local t, n = {}, 0
  for i = 1, rounds do
    for j = 1, npieces do n = n + 1; t[n] = pieces[j] end
    n = n + 1; t[n] = i % 10000
  end
  local s = table.concat(t)
  local dt = os.clock() - t0
  report("table.concat", #s, dt)
end
