-- Debian's LuaFileSystem (a native module built for Lua 5.1) walks, makes and removes directories.
local need = require "lib.need"
local lfs = need("lfs", "lua-filesystem")

assert(lfs.attributes(".", "mode") == "directory")
assert(lfs.attributes("lfs_dirs.lua", "mode") == "file")
local attrs = lfs.attributes("lfs_dirs.lua")
assert(attrs.size > 0 and type(attrs.modification) == "number" and attrs.permissions:match("^[rwx-]+$"))
local none, msg = lfs.attributes("no/such/entry")
assert(none == nil and msg:find("No such file or directory", 1, true), msg)

-- A directory of our own: make it, fill it, list it, and remove it again.
local root = os.tmpname()
os.remove(root)
assert(lfs.mkdir(root))
local again, err = lfs.mkdir(root)
assert(again == nil and err:find("File exists", 1, true), err)
local names = { "alpha.txt", "beta.txt", "gamma" }
for _, name in ipairs(names) do
  if name == "gamma" then
    assert(lfs.mkdir(root .. "/" .. name))
  else
    local f = assert(io.open(root .. "/" .. name, "w"))
    f:write(name)
    f:close()
  end
end
local seen = {}
for entry in lfs.dir(root) do seen[#seen + 1] = entry end
table.sort(seen)
assert(table.concat(seen, " ") == ". .. alpha.txt beta.txt gamma", table.concat(seen, " "))

-- The directory object form of lfs.dir, closed early.
local iter, dir = lfs.dir(root)
assert(dir:next() ~= nil)
dir:close()

-- touch sets the times it is given; the current directory can be changed and restored.
assert(lfs.touch(root .. "/alpha.txt", 1000000, 2000000))
assert(lfs.attributes(root .. "/alpha.txt", "modification") == 2000000)
-- Times past 2038 pass through the C API as integers wider than 32 bits.
assert(lfs.touch(root .. "/alpha.txt", 2 ^ 32, 2 ^ 32 + 5))
assert(lfs.attributes(root .. "/alpha.txt", "modification") == 2 ^ 32 + 5)
local here = lfs.currentdir()
assert(lfs.chdir(root))
assert(lfs.currentdir() == root, lfs.currentdir())
assert(lfs.attributes("gamma", "mode") == "directory")
assert(lfs.chdir(here) and lfs.currentdir() == here)

-- Symbolic link attributes.
assert(lfs.link(root .. "/beta.txt", root .. "/link", true))
assert(lfs.symlinkattributes(root .. "/link", "mode") == "link")
assert(lfs.attributes(root .. "/link", "mode") == "file")

-- A directory that is not empty is refused; emptied, it goes.
local busy, why = lfs.rmdir(root)
assert(busy == nil and why:find("not empty", 1, true), why)
for _, name in ipairs({ "alpha.txt", "beta.txt", "link" }) do assert(os.remove(root .. "/" .. name)) end
assert(lfs.rmdir(root .. "/gamma"))
assert(lfs.rmdir(root))
assert(lfs.attributes(root) == nil)
