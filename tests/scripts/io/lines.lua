-- Line iterators with formats, the default input and output, and pipes.

local function strip(err) return (err:gsub("^lines%.lua:%d+: ", "")) end

local name = os.tmpname()
do
  local f = assert(io.open(name, "w"))
  f:write("one\n", "2 3\n", "\n", "last")
  f:close()
end

-- io.lines with a file name closes the file at the end.
do
  local got = {}
  for l in io.lines(name) do got[#got + 1] = l end
  assert(#got == 4 and got[1] == "one" and got[2] == "2 3" and got[3] == "" and got[4] == "last")
  local it = io.lines(name, "L")
  assert(it() == "one\n" and it() == "2 3\n" and it() == "\n" and it() == "last")
  assert(it() == nil)  -- the end: the file is now closed
  local ok, err = pcall(it)
  assert(not ok and strip(err) == "attempt to use a closed file", err)
  -- Several formats per step.
  local n = 0
  for a, b in io.lines(name, 3, "l") do
    n = n + 1
    if n == 1 then assert(a == "one" and b == "") end
    if n == 2 then assert(a == "2 3" and b == "") end
  end
  for word, x in io.lines(name, "l", "n") do
    assert(word == "one" and x == 2)
    break
  end
end

-- file:lines leaves the file open.
do
  local f = assert(io.open(name))
  local count = 0
  for l in f:lines() do count = count + 1 end
  assert(count == 4 and io.type(f) == "file")
  assert(f:read("a") == "")
  f:seek("set")
  local it = f:lines("n")
  assert(it() == nil)  -- "one" is no number: the iterator reports the end
  assert(io.type(f) == "file")
  f:close()
end

-- Errors of io.lines.
do
  local ok, err = pcall(function() io.lines("missing.txt") end)
  assert(not ok and strip(err) == "bad argument #1 to 'lines' (missing.txt: No such file or directory)", err)
  local many = {}
  for i = 1, 60 do many[i] = "l" end
  ok, err = pcall(io.lines, name, table.unpack(many))
  assert(not ok and err == "too many results to unpack", err)
  assert(pcall(io.lines, name, table.unpack(many, 1, 59)))
  -- Reading a directory sets the stream's error indicator.
  local f = assert(io.open("."))
  local res, msg, errno = f:read("l")
  assert(res == nil and msg == "Is a directory" and errno == 21, msg)
  local it = f:lines()
  ok, err = pcall(it)
  assert(not ok and strip(err) == "Is a directory", err)
  f:close()
  ok, err = pcall(function() for l in io.lines(".") do end end)
  assert(not ok and err:match("Is a directory$"), err)
end

-- The default input and output.
do
  local stdin, stdout = io.input(), io.output()
  assert(stdin == io.stdin and stdout == io.stdout)
  assert(io.input(name) ~= stdin and io.read() == "one" and io.read("n", "n") == 2)
  assert(io.read("L") == "\n")
  local it = io.lines()
  assert(it() == "" and it() == "last" and it() == nil)
  assert(io.type(io.input()) == "file")  -- the default input stays open
  io.input():close()
  local ok, err = pcall(io.read)
  assert(not ok and strip(err) == "standard file is closed", err)
  ok, err = pcall(io.lines)
  assert(not ok and strip(err) == "standard file is closed", err)
  io.input(stdin)
  ok, err = pcall(function() io.input("missing.txt") end)
  assert(not ok and strip(err) == "bad argument #1 to 'input' (missing.txt: No such file or directory)", err)
  assert(io.input() == stdin)

  local out = os.tmpname()
  local f = io.output(out)
  assert(f ~= stdout and io.output() == f)
  assert(io.write("a", 1, "\n") == f and io.flush() == true)
  assert(io.close() == true)  -- closes the default output
  ok, err = pcall(io.write, "x")
  assert(not ok and strip(err) == "standard file is closed", err)
  ok, err = pcall(io.close)
  assert(not ok and strip(err) == "standard file is closed", err)
  assert(io.output(stdout) == stdout)
  ok, err = pcall(function() io.output({}) end)
  assert(not ok and strip(err) == "bad argument #1 to 'output' (string expected, got table)", err)
  ok, err = pcall(function() io.output("/nonexistent/dir/file") end)
  assert(not ok and strip(err) == "bad argument #1 to 'output' (/nonexistent/dir/file: No such file or directory)", err)
  f = assert(io.open(out))
  assert(f:read("a") == "a1\n")
  f:close()
  os.remove(out)
end
os.remove(name)

-- Pipes: reading, writing, and the child's status when closed.
do
  local p = assert(io.popen("echo hello; echo world"))
  assert(p:read("l") == "hello" and p:read("a") == "world\n")
  local ok, what, code = p:close()
  assert(ok == true and what == "exit" and code == 0)
  assert(tostring(p) == "file (closed)")

  ok, what, code = io.popen("exit 3"):close()
  assert(ok == nil and what == "exit" and code == 3)
  ok, what, code = io.popen("kill -9 $$"):close()
  assert(ok == nil and what == "signal" and code == 9)

  local out = os.tmpname()
  p = assert(io.popen("cat > " .. out, "w"))
  assert(p:write("through ", "the pipe") == p)
  assert(p:close() == true)
  local f = assert(io.open(out))
  assert(f:read("a") == "through the pipe")
  f:close()
  os.remove(out)

  for l in io.popen("printf 'a\\nb\\n'"):lines() do assert(l == "a" or l == "b") end
  local res, msg = io.popen("true", "x")
  assert(res == nil and msg == "true: Invalid argument", msg)
end
