-- Reads the benchmark file line by line with io.lines.
--   lines.lua <file>
local count, bytes = 0, 0
for line in io.lines(assert(arg[1])) do
  count = count + 1
  bytes = bytes + #line
end
print("lines: " .. count .. " bytes: " .. bytes)
