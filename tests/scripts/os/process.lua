-- os.execute, os.getenv, files, temporary names and locales.

assert(os.execute() == true)
local ok, what, code = os.execute("exit 3")
assert(ok == nil and what == "exit" and code == 3)
ok, what, code = os.execute("true")
assert(ok == true and what == "exit" and code == 0)
ok, what, code = os.execute("kill -9 $$")
assert(ok == nil and what == "signal" and code == 9)

assert(type(os.getenv("PATH")) == "string")
assert(os.getenv("KX_SURELY_NOT_SET_ANYWHERE") == nil)

local name = os.tmpname()
assert(type(name) == "string")
assert(os.rename(name, name .. ".moved") == true)  -- the name belongs to a file that now exists
assert(os.remove(name .. ".moved") == true)
local res, msg, errno = os.remove(name .. ".moved")
assert(res == nil and msg == name .. ".moved: No such file or directory" and errno == 2, msg)
res, msg = os.rename(name, name .. ".x")
assert(res == nil and msg == name .. ": No such file or directory", msg)

assert(os.setlocale() == "C" and os.setlocale("C", "numeric") == "C")
assert(os.setlocale("no_such_locale.UTF-99") == nil)
local okc, err = pcall(os.setlocale, nil, "bogus")
assert(not okc and err == "bad argument #2 to '?' (invalid option 'bogus')", err)
