local o = ...
o:m(1)
print(o)
for k, v in pairs(o) do end
local f = function(a) return a end
