-- os.date, os.time and os.difftime; the time zone comes from the environment the test sets.

assert(os.date("!%Y-%m-%d %H:%M:%S", 0) == "1970-01-01 00:00:00")
assert(os.date("!%H:%M:%S", "3661.9") == "01:01:01")
assert(os.date("") == "" and os.date("!") == "")
assert(type(os.date()) == "string" and #os.date() > 0)
local long = ""
for _ = 1, 500 do long = long .. "x" end
assert(os.date("!" .. long .. "%Y", 0) == long .. "1970")

local t = os.date("!*t", 86400 * 365)
assert(t.year == 1971 and t.month == 1 and t.day == 1 and t.hour == 0 and t.min == 0 and t.sec == 0)
assert(t.wday == 6 and t.yday == 1 and t.isdst == false)
local lt = os.date("*t", 0)
assert(lt.year == 1970 or lt.year == 1969)

-- A date table round-trips through the local time conversion.
local now = os.time()
assert(type(now) == "number" and now == math.floor(now))
assert(os.time(os.date("*t", now)) == now)
assert(os.time(nil) >= now)

local noon = os.time({year = 2000, month = 1, day = 1})
assert(noon == os.time({year = 2000, month = 1, day = 1, hour = 12, min = 0, sec = 0}))
assert(os.date("%H:%M:%S", noon) == "12:00:00")
assert(os.time({year = 2000, month = 1, day = "5"}) == noon + 4 * 86400)
assert(os.time({year = 2000, month = 14, day = 1}) == os.time({year = 2001, month = 2, day = 1}))
local proxied = setmetatable({}, {__index = {year = 2000, month = 1, day = 1}})
assert(os.time(proxied) == noon)

local ok, msg = pcall(os.time, {year = 2000, month = 1})
assert(not ok and msg == "field 'day' missing in date table", msg)
ok, msg = pcall(os.time, {year = 2000, day = 1})
assert(not ok and msg == "field 'month' missing in date table", msg)
ok, msg = pcall(os.time, 5)
assert(not ok and msg == "bad argument #1 to '?' (table expected, got number)", msg)

assert(os.difftime(10) == 10 and os.difftime(10, 4) == 6 and os.difftime("10", "4") == 6)
assert(os.clock() >= 0)
