-- collectgarbage and gcinfo.
local kb = collectgarbage("count")
assert(type(kb) == "number" and kb > 0 and kb % 1 ~= 0)
assert(gcinfo() == math.floor(kb))
assert(collectgarbage() == 0 and collectgarbage("collect") == 0)
assert(collectgarbage(nil) == 0)

local before = collectgarbage("count")
local t = {}
for i = 1, 10000 do t[i] = {i} end
assert(collectgarbage("count") > before + 100)
t = nil
collectgarbage()
assert(collectgarbage("count") < before + 16)
local bytes = collectgarbage("\255")
assert(bytes == math.floor(collectgarbage("count") * 1024) % 1024)

assert(collectgarbage("isrunning") == true)
assert(collectgarbage("stop") == 0)
assert(collectgarbage("isrunning") == false)
local stopped = collectgarbage("count")
for i = 1, 20000 do local x = {i} end
assert(collectgarbage("count") > stopped + 200)  -- nothing is collected while stopped
assert(collectgarbage("restart") == 0)
assert(collectgarbage("isrunning") == true)

local s = collectgarbage("step")
assert(type(s) == "boolean")
local steps = 0
repeat steps = steps + 1 until collectgarbage("step") or steps > 100000
assert(steps <= 100000)
assert(collectgarbage("step", 100000) == true)  -- a large step finishes a cycle

assert(collectgarbage("setpause", 150) == 200)
assert(collectgarbage("setpause", 200) == 150)
assert(collectgarbage("setstepmul", 400) == 200)
assert(collectgarbage("setstepmul", 200.9) == 400)  -- the argument is truncated
assert(collectgarbage("setstepmul", 200) == 200)

local ok, err = pcall(collectgarbage, "sweep")
assert(not ok and err:find("invalid option 'sweep'"))
ok = pcall(collectgarbage, "\255\255")
assert(not ok)
