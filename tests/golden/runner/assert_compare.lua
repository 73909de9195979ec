-- A failing assert whose argument list contains branches is still named in the traceback.
local t = {}
assert(#t == 1 and t.x ~= nil, "empty")
