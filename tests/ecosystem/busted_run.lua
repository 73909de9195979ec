-- The test framework busted (Debian lua-busted) runs under tarnel: `tarnel /usr/bin/busted <dir>`
-- runs a spec suite and reports busted's own summary and exit status.
local need = require "lib.need"
need("busted.runner", "lua-busted")
local busted = "/usr/bin/busted"
assert(io.open(busted), "needs the Debian package lua-busted: " .. busted .. " is missing (make test installs it)")

local tarnel = arg[-1]

-- Runs busted on a directory of specs; gives its standard output, its standard error and its status.
local function run(dir)
  local errfile = os.tmpname()
  local pipe = assert(io.popen(("%q %q %q 2>%q"):format(tarnel, busted, dir, errfile)))
  local out = pipe:read("*a")
  local _, _, status = pipe:close()
  local f = assert(io.open(errfile))
  local err = f:read("*a")
  f:close()
  os.remove(errfile)
  return out, err, status
end

local function summary(out)
  local s, f, e, p = out:match("(%d+) successe?s? / (%d+) failures? / (%d+) errors? / (%d+) pending")
  assert(s, "no summary line in busted's output:\n" .. out)
  return tonumber(s), tonumber(f), tonumber(e), tonumber(p)
end

-- A suite with passing, failing, erroring and pending specs.
local out, err, status = run("busted/mixed")
local s, f, e, p = summary(out)
assert(s == 6 and f == 1 and e == 1 and p == 2, out)
assert(status == 1, ("busted exit status %s\n%s%s"):format(tostring(status), out, err))
assert(out:find("Failure -> busted/mixed/numbers_spec.lua @ 20", 1, true), out)
assert(out:find("numbers reports a wrong expectation", 1, true), out)
assert(out:find("Expected objects to be the same.", 1, true), out)
assert(out:find("strings_spec.lua:15: attempt to index local 'missing' (a nil value)", 1, true), out)
assert(out:find("Pending -> busted/mixed/numbers_spec.lua @ 30", 1, true), out)

-- A suite that passes ends with status 0.
out, err, status = run("busted/passing")
s, f, e, p = summary(out)
assert(s == 2 and f == 0 and e == 0 and p == 0, out)
assert(status == 0 and err == "", err)
