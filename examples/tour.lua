-- A tour of the tarnel dialect: Lua 5.1 with a few well-chosen additions.
-- Run it with:  tarnel examples/tour.lua

local function section(title) print(("\n== %s =="):format(title)) end

section("Safe navigation and nil coalescing")
local config = { server = { host = "example.org", port = 8080 } }
print("host:   ", config?.server?.host)
print("backup: ", config?.backup?.host ?? "(none)")
local tls = config.server?.tls ?? false
print("tls:    ", tls)
local logger = nil
logger?.write("this call is skipped: logger is nil")
print("port+1: ", (config?.server?.port ?? 0) + 1)

section("Conditional expressions and the new spellings of logic")
for _, n in ipairs({ 3, 10, 0 }) do
  local kind = n == 0 ? "zero" : n % 2 == 0 ? "even" : "odd"
  print(n, kind, n != 0 && !(n > 5) || false)
end

section("Compound assignment and constants")
const LIMIT = 5
local total, text = 0, "ticks:"
for i = 1, LIMIT do
  total += i
  text ..= " " .. i
end
total *= 2
print(text, "total", total)

section("Short function literals")
local function map(list, f)
  local out = {}
  for i, v in ipairs(list) do out[i] = f(v) end
  return out
end
local squares = map({ 1, 2, 3, 4 }, x -> x * x)
print("squares:", table.concat(squares, " "))
local add = |a, b| -> a + b
local hello = || -> "hello from a lambda"
print("add:", add(20, 22), hello())
table.sort(squares, |a, b| -> a > b)
print("sorted: ", table.concat(squares, " "))

section("continue and goto")
local odds = {}
for i = 1, 9 do
  if i % 2 == 0 then continue end
  odds[#odds + 1] = i
end
print("odds:", table.concat(odds, ","))
local attempts = 0
::retry::
attempts += 1
if attempts < 3 then goto retry end
print("attempts:", attempts)

section("Bitwise operators on 32-bit integers")
local flags = 0x0f
print("and", flags & 0x3c, "or", flags | 0x30, "xor", flags ~ 0xff)
print("not", ~0, "shl", 1 << 31, "shr", -1 >> 28, "sar", -1 ~>> 28)
local rgb = (0x12 << 16) | (0x34 << 8) | 0x56
print(("packed colour: #%06x  green: %d"):format(rgb, (rgb >> 8) & 0xff))

section("Line directives")
local ok, err = pcall(load([[
local x = 1
# 100 "generated.tpl"
error("raised from a generated file")
]]))
print(err)

section("Coroutines and string patterns")
local words = coroutine.wrap(function()
  for word in ("the quick brown fox"):gmatch("%a+") do coroutine.yield(word:upper()) end
end)
local shouted = {}
for w in words do shouted[#shouted + 1] = w end
print(table.concat(shouted, "-"))
print(("%d items, %.2f each, %q"):format(3, 1 / 3, "tab\there"))
