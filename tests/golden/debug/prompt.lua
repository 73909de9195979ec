-- debug.debug runs each line of standard input as a chunk until "cont"; errors are reported and
-- the prompt goes on. The chunks see globals, not the caller's locals.
shared = 1
local hidden = 2
debug.debug()
print("after the prompt", shared)
debug.debug()
print("at end of input")
