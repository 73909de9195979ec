-- error with level 2 blames the caller's line; the traceback still starts where it was raised.
local function check(v)
  if type(v) ~= "number" then
    error("number wanted, got " .. type(v), 2)
  end
end
local function use()
  check(1)
  check("one")
end
use()
