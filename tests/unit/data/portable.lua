-- A chunk whose dump is stored beside it (portable.kxb, written by the x86-64 build): every build
-- must dump it to the same bytes and run the stored dump.
local up = {n = 3}
local function fold(t, f, acc)
  for i = 1, #t do acc = f(acc, t[i]) end
  return acc
end
local function varargs(...)
  local s = 0
  for _, v in ipairs({...}) do s = s + v end
  return s, select('#', ...)
end
local k = {1.5, -0.0, 2^53, "text\0with nul", 0x7fffffff}
local sum, n = varargs(1, 2, 3)
local words = {}
for w in ("one two three"):gmatch("%a+") do words[#words + 1] = w:upper() end
return table.concat({
  fold({1, 2, 3, 4}, function(a, b) return a * 10 + b end, 0),
  up.n + #k, sum, n, k[3] + 1, #k[4], table.concat(words, ","),
  1 / k[2], string.format("%.3f", k[1]),
}, " ")
