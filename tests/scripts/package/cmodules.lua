-- Native modules built by the tests (KX_TEST_CMODULES names their directory): entry points, the
-- "-" and "." rules of their names, submodules in one library, precompiled bytecode, loadlib.

local dir = assert(os.getenv("KX_TEST_CMODULES"), "KX_TEST_CMODULES is not set")
package.path = ""
package.cpath = dir .. "/?.so"

local function strip(err) return (err:gsub("^cmodules%.lua:%d+: ", "")) end

-- A module along package.cpath, opened with its name.
do
  local m = require("cmod")
  assert(m.name == "cmod" and package.loaded.cmod == m)
  assert(m.add(2, 3) == 5)
  assert(m.join("ab", 3, ", ") == "ab, ab, ab")
  local big = m.join("0123456789", 2000)  -- longer than the buffer's inline room
  assert(#big == 20000 and big:sub(-10) == "0123456789")
  local ok, err = pcall(m.add, 1)
  assert(not ok and err == "bad argument #2 to '?' (number expected, got no value)", err)
end

-- a.b is a/b.so with luaopen_a_b; v2-mod.so opens luaopen_mod.
do
  local ab = require("a.b")
  assert(ab.name == "a.b" and ab.file == "a/b.so")
  local v = require("v2-mod")
  assert(v.name == "v2-mod" and v.version == 2)
end

-- Submodules of one library through the all-in-one searcher.
do
  local what, name = require("multi.x")
  assert(what == "x" and package.loaded["multi.x"] == "x")
  assert(require("multi.y.z") == "y.z")
  local ok, err = pcall(require, "multi.w")
  assert(not ok and err:find("\n\tno module 'multi.w' in file '" .. dir .. "/multi.so'", 1, true), err)
  -- Without its own entry point the library itself is no module.
  ok, err = pcall(require, "multi")
  local want = "error loading module 'multi' from file '" .. dir .. "/multi.so':\n\t"
  assert(not ok and strip(err):sub(1, #want) == want and err:find("luaopen_multi", 1, true), err)
end

-- A library that only exports precompiled bytecode.
do
  local m = require("bconly")
  assert(m.name == "bconly" and m.answer == 42)
end

-- Files that are no libraries.
do
  local bad = os.tmpname()
  local f = assert(io.open(bad, "w"))
  f:write("not a library")
  f:close()
  package.cpath = bad
  local ok, err = pcall(require, "broken")
  local want = "error loading module 'broken' from file '" .. bad .. "':\n\t"
  assert(not ok and strip(err):sub(1, #want) == want, err)
  os.remove(bad)
  package.cpath = dir .. "/?.so"
end

-- package.loadlib
do
  local add = assert(package.loadlib(dir .. "/cmod.so", "luaopen_cmod"))
  assert(type(add) == "function")
  local m = add("direct")
  assert(m.name == "direct" and m.add(1, 1) == 2)
  assert(package.loadlib(dir .. "/cmod.so", "*") == true)
  local res, msg, where = package.loadlib(dir .. "/cmod.so", "no_such_symbol")
  assert(res == nil and where == "init" and msg:find("no_such_symbol", 1, true), msg)
  res, msg, where = package.loadlib(dir .. "/missing.so", "*")
  assert(res == nil and where == "open" and msg:find("missing.so", 1, true), msg)
  res, msg, where = package.loadlib(string.rep("x", 4096), "f")
  assert(res == nil and msg == "path too long" and where == "open")
end
