-- Writes the large text file of the io benchmarks: 1 million lines of 0 to 98 printable bytes plus
-- a newline, 50 MB in all, the same on every run.
--   gen.lua <file>
local path = assert(arg[1], "usage: gen.lua <file>")
local out = assert(io.open(path, "wb"))
local alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ,.;:-_+*/()"
local pool = string.rep(alphabet, 4)
local seed = 12345
local lines = {}
for i = 1, 1000000 do
  seed = (seed * 16807) % 2147483647
  local len = seed % 99
  local start = seed % #alphabet + 1
  lines[#lines + 1] = pool:sub(start, start + len - 1)
  if #lines == 10000 then
    out:write(table.concat(lines, "\n"), "\n")
    lines = {}
  end
end
assert(out:close())
