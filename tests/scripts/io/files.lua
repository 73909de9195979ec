-- File objects: opening, reading in every format, writing, seeking, closing, and their messages.

local function tmpfile_with(content)
  local name = os.tmpname()
  local f = assert(io.open(name, "wb"))
  assert(f:write(content) == f)
  assert(f:close() == true)
  return name
end

local function check_error(expected, f, ...)
  local ok, err = pcall(f, ...)
  assert(not ok, "no error")
  err = err:gsub("^files%.lua:%d+: ", "")  -- raised on behalf of the caller, with its position
  assert(err == expected, err)
end

-- Opening failures give the triple.
do
  local f, msg, errno = io.open("missing.txt")
  assert(f == nil and msg == "missing.txt: No such file or directory" and errno == 2, msg)
  f, msg, errno = io.open(".", "w")
  assert(f == nil and msg == ".: Is a directory" and errno == 21, msg)
  check_error("bad argument #1 to 'open' (string expected, got no value)", function() io.open() end)
end

-- Lines and numbers.
do
  local name = tmpfile_with("abc\nxyz")
  local f = assert(io.open(name))
  local a, b = f:read("*l", "*n")
  assert(a == "abc" and b == nil)
  -- A failed format ends the list: nothing after it is read.
  f:seek("set", 0)
  local r = table.pack(f:read("n", "l"))
  assert(r.n == 1 and r[1] == nil)
  assert(f:read("l") == "abc")
  assert(f:read("L") == "xyz" and f:read("l") == nil and f:read("L") == nil)
  assert(f:read("a") == "" and f:read("*a") == "" and f:read(0) == nil and f:read(5) == nil)
  f:close()
  os.remove(name)
end

do
  local name = tmpfile_with("  12  -3.5e2\n0x1F .5 +7 1e 0x nan\n\n")
  local f = assert(io.open(name))
  local x, y, z, w, v = f:read("n", "*n", "n", "n", "n")
  assert(x == 12 and y == -350 and z == 31 and w == 0.5 and v == 7)
  assert(f:read("n") == nil)     -- "1e" is no complete number
  assert(f:read("L") == " 0x nan\n")
  assert(f:read("L") == "\n")
  assert(f:read("n") == nil)     -- end of file
  f:close()
  os.remove(name)
end

-- Every byte is kept, NUL bytes included, whatever the line length.
do
  local long = string.rep("0123456789", 1000)
  local name = tmpfile_with("a\0b\n\0\n" .. long .. "\0" .. long .. "\nend")
  local f = assert(io.open(name, "rb"))
  local l = f:read("*l")
  assert(#l == 3 and l == "a\0b")
  assert(f:read("L") == "\0\n")
  assert(f:read("l") == long .. "\0" .. long)
  assert(f:read("l") == "end" and f:read("l") == nil)
  f:close()
  f = assert(io.open(name, "rb"))
  assert(f:read(2) == "a\0" and f:read(0) == "" and f:read(2) == "b\n")
  local rest = f:read("a")
  assert(#rest == 2 + 2 * #long + 1 + 1 + 3)
  assert(f:read(1) == nil and f:read("a") == "")
  f:close()
  os.remove(name)
end

-- A byte count larger than the file reads what is there.
do
  local name = tmpfile_with(string.rep("x", 3000))
  local f = assert(io.open(name))
  assert(#f:read(2147483647) == 3000)
  f:close()
  os.remove(name)
end

-- Formats that are not formats.
do
  local name = tmpfile_with("abc")
  local f = assert(io.open(name))
  check_error("bad argument #1 to 'read' (invalid format)", function() f:read("x") end)
  check_error("bad argument #2 to 'read' (invalid format)", function() f:read("l", "*") end)
  check_error("bad argument #1 to 'read' (invalid option)", function() f:read({}) end)
  check_error("bad argument #1 to 'read' (FILE* expected, got nil)", function() f.read(nil) end)
  check_error("bad argument #1 to 'read' (invalid format)", function() io.read("x") end)
  local formats = {}
  for i = 1, 7990 do formats[i] = "l" end
  check_error("stack overflow (too many arguments)", function() f:read(table.unpack(formats)) end)
  f:close()
  os.remove(name)
end

-- Writing: strings, numbers in the engine's format, and nothing else.
do
  local name = os.tmpname()
  local f = assert(io.open(name, "w"))
  assert(f:write("a", 1, " ", 0.1, " ", -0.0, " ", 1e100, " ", 2^53, "\n") == f)
  check_error("bad argument #2 to 'write' (string expected, got table)", function() f:write("x", {}) end)
  check_error("bad argument #1 to 'write' (string expected, got nil)", function() f:write(nil) end)
  assert(f:close())
  f = assert(io.open(name))
  assert(f:read("a") == "a1 0.1 -0 1e+100 9.007199254741e+15\nx")  -- "x" went out before the error
  f:close()
  -- Writing to a file opened for reading fails after checking every argument.
  f = assert(io.open(name, "r"))
  local res, msg, errno = f:write("x", 2)
  assert(res == nil and msg == "Bad file descriptor" and errno == 9, msg)
  check_error("bad argument #2 to 'write' (string expected, got boolean)", function() f:write("x", true) end)
  f:close()
  os.remove(name)
end

-- Seeking and buffering.
do
  local name = tmpfile_with("0123456789")
  local f = assert(io.open(name, "r+"))
  assert(f:seek("end") == 10)
  assert(f:seek() == 10 and f:seek("cur", -4) == 6 and f:read(2) == "67")
  assert(f:seek("set") == 0 and f:seek("set", "3") == 3 and f:read(1) == "3")
  assert(f:seek("cur", nil) == 4)
  local res, msg, errno = f:seek("set", -1)
  assert(res == nil and msg == "Invalid argument" and errno == 22)
  check_error("bad argument #1 to 'seek' (invalid option 'bogus')", function() f:seek("bogus") end)
  check_error("bad argument #2 to 'seek' (number expected, got table)", function() f:seek("set", {}) end)
  assert(f:setvbuf("no") == true and f:setvbuf("full", 4096) == true and f:setvbuf("line") == true)
  check_error("bad argument #1 to 'setvbuf' (invalid option 'some')", function() f:setvbuf("some") end)
  check_error("bad argument #1 to 'setvbuf' (string expected, got no value)", function() f:setvbuf() end)
  assert(f:seek("set", 2) == 2 and f:write("ab") == f and f:flush() == true)
  assert(f:seek("set") == 0 and f:read("a") == "01ab456789")
  f:close()
  os.remove(name)
end

-- Closed files.
do
  local name = tmpfile_with("x")
  local f = assert(io.open(name))
  assert(io.type(f) == "file" and tostring(f):match("^file %(0x%x+%)$"))
  assert(f:close() == true)
  assert(tostring(f) == "file (closed)" and io.type(f) == "closed file")
  check_error("attempt to use a closed file", function() f:write("x") end)
  check_error("attempt to use a closed file", function() f:read() end)
  check_error("attempt to use a closed file", function() f:close() end)
  check_error("attempt to use a closed file", function() f:lines() end)
  check_error("attempt to use a closed file", function() io.close(f) end)
  check_error("attempt to use a closed file", function() io.input(f) end)
  assert(io.type(42) == nil and io.type(nil) == nil and io.type(io.stdout) == "file")
  check_error("bad argument #1 to 'type' (value expected)", function() io.type() end)
  os.remove(name)
end

-- Standard streams are never closed.
do
  local res, msg = io.stdout:close()
  assert(res == nil and msg == "cannot close standard file")
  assert(io.type(io.stdout) == "file" and io.type(io.stderr) == "file" and io.type(io.stdin) == "file")
  res, msg = io.stderr:close()
  assert(res == nil and msg == "cannot close standard file")
  assert(getmetatable(io.stdout).__index == getmetatable(io.stdout))
  assert(getmetatable(io.stdin) == getmetatable(io.stderr))
end

-- Temporary files and collection: an unreachable file is closed by its finalizer.
do
  local f = assert(io.tmpfile())
  assert(f:write("temp") == f and f:seek("set") == 0 and f:read("a") == "temp")
  f:close()
  local name = os.tmpname()
  do
    local g = assert(io.open(name, "w"))
    g:write("written before collection")
  end
  collectgarbage()
  collectgarbage()
  local g = assert(io.open(name))
  assert(g:read("a") == "written before collection")
  g:close()
  os.remove(name)
end
