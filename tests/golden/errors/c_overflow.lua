-- C functions calling back into Lua without end: the error handler still reports it.
local loud = setmetatable({}, {__tostring = function(self)
  print(self)
  return "never"
end})
print(loud)
