-- Handlers attached to the error-in-finalizer event replace the default report; a handler that
-- fails is reported as such, with "?" for a message that is not a string, and the program goes on.
local function drop(fin)
  local p = newproxy(true)
  getmetatable(p).__gc = fin
  p = nil
  collectgarbage()
end
jit.attach(function(msg) print("handler:", msg) end, "errfin")
drop(function() error("first", 0) end)
jit.attach(function() error("handler broke", 0) end, "errfin")
drop(function() error("second", 0) end)
jit.attach(function() error({}) end, "errfin")
drop(function() error("third", 0) end)
-- Once the handler is detached from every event the error is dropped.
local quiet = function() end
jit.attach(quiet, "errfin")
jit.attach(quiet)
drop(function() error("fourth", 0) end)
print("end")
