-- Writes the compiled chunk of a Lua file as C data exported under a symbol name:
--   tarnel bc2c.lua <source.lua> <symbol> <output.c>
local source, symbol, output = arg[1], arg[2], arg[3]
local bytes = string.dump(assert(loadfile(source)), true)
local out = assert(io.open(output, "w"))
out:write("/* The compiled chunk of ", source:match("[^/]*$"), ". */\n")
out:write("const unsigned char ", symbol, "[", #bytes, "] = {\n")
for i = 1, #bytes, 16 do
  out:write(" ", table.concat({bytes:byte(i, math.min(i + 15, #bytes))}, ","), ",\n")
end
out:write("};\n")
assert(out:close())
