-- require and its searchers for Lua modules, package.preload, searchpath, module and seeall.

local function strip(err) return (err:gsub("^require%.lua:%d+: ", "")) end

assert(package.loaders == package.searchers)
assert(package.config == "/\n;\n?\n!\n-\n")
assert(#package.loaders == 4)
for i = 1, 4 do assert(type(package.loaders[i]) == "function") end
assert(package.loaded._G == _G)
assert(package.loaded.string == string and package.loaded.io == io and package.loaded.package == package)

-- searchpath
do
  local res, msg = package.searchpath("x.y", "?.lua;?.luac")
  assert(res == nil and msg == "\n\tno file 'x/y.lua'\n\tno file 'x/y.luac'", msg)
  assert(package.searchpath("lib.pkg.mod", ";;nothing/?;./?.lua") == "./lib/pkg/mod.lua")
  assert(package.searchpath("lib_pkg_mod", "./?.lua", "_", "/") == "./lib/pkg/mod.lua")
  res, msg = package.searchpath("a_b", "?.x", "_", "-")
  assert(res == nil and msg == "\n\tno file 'a-b.x'")
  res, msg = package.searchpath("a.b", "?.x", "")
  assert(res == nil and msg == "\n\tno file 'a.b.x'")
  assert(package.searchpath("require", "./?.lua") == "./require.lua")
  local ok, err = pcall(package.searchpath, "x")
  assert(not ok and err == "bad argument #2 to '?' (string expected, got no value)", err)
end

package.path = "./lib/?.lua;./lib/?/init.lua"

-- A module that returns nothing gives true; one that returns false is loaded again next time.
do
  assert(require("returns_nothing") == true and package.loaded.returns_nothing == true)
  assert(require("returns_nothing") == true and loaded_count == 1)
  assert(require("returns_false") == false and package.loaded.returns_false == false)
  assert(require("returns_false") == false and false_count == 2)
end

-- Names reach the module, dots become directories, ?/init.lua serves packages.
do
  local m = require("pkg.mod")
  assert(m.name == "pkg.mod" and package.loaded["pkg.mod"] == m and require("pkg.mod") == m)
  local t = require("tree")
  assert(t.name == "tree" and t.init)
end

-- The loading marker: a negative number close to -7.29e-304 while the module loads.
do
  local m = require("sees_marker")
  assert(type(m.marker) == "number" and m.marker < 0 and m.marker > -7.3e-304 and m.marker < -7.28e-304)
  assert(package.loaded.sees_marker == m)
end

-- Loops, failures and missing modules.
do
  local ok, err = pcall(require, "requires_itself")
  assert(not ok and err:match("loop or previous error loading module 'requires_itself'$"), err)
  ok, err = pcall(require, "fails")
  assert(not ok and err:match("fails%.lua:1: failing module$"), err)
  ok, err = pcall(require, "fails")
  assert(not ok and err == "loop or previous error loading module 'fails'", err)
  ok, err = pcall(require, "bad_syntax")
  assert(not ok and err:match("^error loading module 'bad_syntax' from file '%./lib/bad_syntax%.lua':\n\t"), err)
  assert(err:match("bad_syntax%.lua:1: unexpected symbol near '%+'$"), err)
  ok, err = pcall(require, "nope")
  local want = "module 'nope' not found:\n\tno field package.preload['nope']\n\tno file './lib/nope.lua'"
  assert(not ok and err:sub(1, #want) == want, err)
  assert(err:find("\n\tno file './nope.so'", 1, true))
  -- The all-in-one searcher only looks for dotted names.
  ok, err = pcall(require, "no.such")
  assert(not ok and err:find("\n\tno file './lib/no/such.lua'", 1, true) and err:find("\n\tno file './no.so'", 1, true))
  ok, err = pcall(require)
  assert(not ok and err == "bad argument #1 to '?' (string expected, got no value)", err)
end

-- package.preload comes first and receives the name.
do
  local got
  package.preload.virtual = function(name) got = name; return {virtual = true} end
  assert(require("virtual").virtual and got == "virtual")
  package.preload.returns_false = function() return "from preload" end
  assert(require("returns_false") == "from preload")
end

-- Searchers may be replaced; their messages are collected, other results ignored.
do
  local saved = package.loaders
  package.loaders = {function() return 1 end, function() return {} end, function(n) return "\n\tmine " .. n end}
  local ok, err = pcall(require, "anything")
  assert(not ok and strip(err) == "module 'anything' not found:1\n\tmine anything", err)
  assert(package.searchers ~= package.loaders)
  package.loaders = nil
  ok, err = pcall(require, "anything")
  assert(not ok and strip(err) == "'package.loaders' must be a table", err)
  package.loaders = saved

  local preload = package.preload
  package.preload = 1
  ok, err = pcall(require, "anything")
  assert(not ok and err == "'package.preload' must be a table", err)
  package.preload = preload

  local path = package.path
  package.path = {}
  ok, err = pcall(require, "anything")
  assert(not ok and err == "'package.path' must be a string", err)
  package.path = 7  -- a number serves as a string
  ok, err = pcall(require, "anything")
  assert(not ok and err:find("\n\tno file '7'", 1, true))
  package.path = path
end

-- module and package.seeall
do
  local m = require("old_style")
  assert(m == old_style and m._NAME == "old_style" and m._M == m and m._PACKAGE == "")
  assert(m.greet("you") == "hello you" and m.local_value == "1" and rawget(m, "tostring") == nil)
  assert(package.loaded.old_style == m)

  local function make() module("deep.inner.mod") end
  make()
  local d = deep.inner.mod
  assert(d._NAME == "deep.inner.mod" and d._PACKAGE == "deep.inner." and getfenv(make) == d)
  assert(package.loaded["deep.inner.mod"] == d)

  local calls = {}
  local function opt(t) calls[#calls + 1] = t end
  local function make2() module("deep.inner.mod", opt, opt) end
  make2()
  assert(#calls == 2 and calls[1] == d and calls[2] == d)

  conflict = 5
  local ok, err = pcall(function() module("conflict.sub") end)
  assert(not ok and strip(err) == "name conflict for module 'conflict.sub'", err)
  ok, err = pcall(module, "from_c")
  assert(not ok and err == "'module' not called from a Lua function", err)

  local t = {}
  assert(package.seeall(t) == nil and getmetatable(t).__index == _G and t.print == print)
  local mt = {}
  local u = setmetatable({}, mt)
  package.seeall(u)
  assert(getmetatable(u) == mt and mt.__index == _G)
  ok, err = pcall(package.seeall, 1)
  assert(not ok and err == "bad argument #1 to '?' (table expected, got number)", err)
end

-- Late modules preregistered by the libraries come through package.preload.
do
  assert(type(package.preload["table.new"]) == "function" and table.new == nil)
  local new = require("table.new")
  assert(type(new) == "function" and table.new == new and require("table.new") == new)
  assert(type(package.preload.ffi) == "function")
end
