-- Hooks set through debug.sethook: which events arrive, with which lines, and what a hook may do.

-- A count hook runs once per that many instructions; a one-instruction loop body counts once a turn.
do
  local n = 0
  debug.sethook(function() n = n + 1 end, "", 1000)
  for i = 1, 100000 do end
  debug.sethook()
  assert(n >= 99 and n <= 101, n)
end

-- The hook, its mask and its count read back; removing the hook clears all three.
do
  local f = function() end
  debug.sethook(f, "l")
  local h, mask, count = debug.gethook()
  debug.sethook()
  assert(h == f and mask == "l" and count == 0)
  debug.sethook(f, "rcl", 7)
  h, mask, count = debug.gethook()
  debug.sethook()
  assert(h == f and mask == "crl" and count == 7)
  assert(select("#", debug.gethook()) == 3)
  h, mask, count = debug.gethook()
  assert(h == nil and mask == "" and count == 0)
  -- A mask without events and no count sets no hook at all.
  debug.sethook(f, "")
  assert(debug.gethook() == nil)
end

-- Line events: every new line, a loop on one line on every turn, the line of a called function.
local function record_lines(fn)
  local lines = {}
  debug.sethook(function(event, line)
    assert(event == "line")
    lines[#lines + 1] = line
  end, "l")
  fn()
  debug.sethook()
  return table.concat(lines, " ")
end
do
  local function body()
    local s = 0
    for i = 1, 3 do s = s + i end
    return s
  end
  local first = debug.getinfo(body, "S").linedefined
  local got = record_lines(body)
  local want = {}
  for _, d in ipairs {1, 2, 2, 2, 3} do want[#want + 1] = first + d end
  -- Around them: the line of the call, and the caller's next line once body has returned.
  assert(got:find(" " .. table.concat(want, " ") .. " ", 1, true), got)
end
do
  -- A function on one line still reports its line when entered.
  local function one() return 1 end
  local line = debug.getinfo(one, "S").linedefined
  local got = record_lines(function() one() end)
  assert((" " .. got .. " "):find(" " .. line .. " "), got)
end

-- Call and return events, and what a call hook sees of the callee.
do
  local function g(a, b) return a end
  local seen
  debug.sethook(function(event)
    if event == "call" and not seen then
      local info = debug.getinfo(2, "nS")
      local a, av = debug.getlocal(2, 1)
      seen = {info.name, info.linedefined, a, av, debug.getlocal(2, 2)}
      seen.n = select("#", debug.getlocal(2, 2))
    end
  end, "c")
  g(1)
  debug.sethook()
  assert(seen[1] == "g" and seen[2] == debug.getinfo(g, "S").linedefined)
  -- a and its value, then b as nil although the caller passed no second argument
  assert(seen[3] == "a" and seen[4] == 1 and seen[5] == "b" and seen.n == 2 and seen[6] == nil)
end
do
  local events = {}
  local function leaf() return 1 end
  debug.sethook(function(event)
    local info = debug.getinfo(2, "n")
    if info.name == "leaf" then events[#events + 1] = event end
  end, "cr")
  leaf()
  leaf()
  debug.sethook()
  assert(table.concat(events, " ") == "call return call return")
end
do
  -- C functions and built-ins report calls too; the hook sees their names.
  local names = {}
  debug.sethook(function()
    local info = debug.getinfo(2, "nS")
    if info.what == "C" then names[#names + 1] = info.name end
  end, "c")
  local _ = type(1), tostring(2), string.rep("x", 2)
  debug.sethook()
  local all = table.concat(names, ",")
  assert(all:find("type", 1, true) and all:find("tostring", 1, true) and all:find("rep", 1, true), all)
end

-- A hook never runs inside itself: functions and lines of the hook report nothing.
do
  local depth, max = 0, 0
  local function helper() return 1 end
  debug.sethook(function()
    depth = depth + 1
    if depth > max then max = depth end
    helper()
    depth = depth - 1
  end, "crl", 1)
  helper()
  debug.sethook()
  assert(max == 1)
end

-- Nor inside a finalizer: the collector's calls report no lines.
do
  local finalized, lines = false, {}
  local p = newproxy(true)
  getmetatable(p).__gc = function()
    finalized = true
  end
  local gc_line = debug.getinfo(getmetatable(p).__gc, "S").linedefined + 1
  p = nil
  debug.sethook(function(_, line) lines[#lines + 1] = line end, "l")
  collectgarbage()
  debug.sethook()
  assert(finalized and #lines > 0)
  for _, line in ipairs(lines) do assert(line ~= gc_line, line) end
end

-- A hook that raises an error: the error comes out of the hooked code and pcall catches it.
do
  local ok, err = pcall(function()
    debug.sethook(function()
      debug.sethook()
      error("from the hook")
    end, "l")
    local x = 1
    return x
  end)
  assert(not ok and err:find("from the hook", 1, true), err)
  -- Hooks work again afterwards: the failed hook left no hook-running mark behind.
  local n = 0
  debug.sethook(function() n = n + 1 end, "l")
  local y = 2
  debug.sethook()
  assert(n > 0)
end

-- A hook may inspect and change the locals of the running function.
do
  local function counter()
    local v = 10
    v = v + 1
    return v
  end
  local line = debug.getinfo(counter, "S").linedefined + 3
  debug.sethook(function(_, l)
    if l == line then
      local name, value = debug.getlocal(2, 1)
      assert(name == "v" and value == 11)
      debug.setlocal(2, 1, 100)
    end
  end, "l")
  local r = counter()
  debug.sethook()
  assert(r == 100, r)
end

-- Hooks are global: the thread argument only shifts the arguments, and coroutines are hooked too.
do
  local co = coroutine.create(function()
    for i = 1, 5000 do end
    coroutine.yield()
  end)
  local n = 0
  debug.sethook(co, function() n = n + 1 end, "", 100)
  local h, mask, count = debug.gethook()
  assert(h and mask == "" and count == 100)
  coroutine.resume(co)
  debug.sethook(co)
  assert(n >= 45, n)
  assert(debug.gethook() == nil)
end

-- Values that open-ended calls leave for the next instruction survive a hook on that instruction.
do
  local function many() return 1, 2, 3, 4, 5 end
  debug.sethook(function() local t = {} for i = 1, 30 do t[i] = i end end, "", 1)
  local t = {many()}
  local s = select("#", many())
  local r = {math.max(many())}
  debug.sethook()
  assert(#t == 5 and t[5] == 5 and s == 5 and r[1] == 5)
end

-- Bad arguments.
do
  local ok, err = pcall(function() debug.sethook(print) end)
  assert(not ok and err:find("bad argument #2 to 'sethook' (string expected, got no value)", 1, true), err)
  ok, err = pcall(function() debug.sethook(42, "l") end)
  assert(not ok and err:find("bad argument #1 to 'sethook' (function expected, got number)", 1, true), err)
end
