-- Unbounded recursion: the message names the recursing line, and the traceback shows both ends.
local function descend(n)
  return 1 + descend(n + 1)
end
descend(1)
