-- Debian's lpeg (a native module built for Lua 5.1) loads with a plain require and matches.
local need = require "lib.need"
local lpeg = need("lpeg", "lua-lpeg")
local P, R, S, C, Ct, V, Cs = lpeg.P, lpeg.R, lpeg.S, lpeg.C, lpeg.Ct, lpeg.V, lpeg.Cs

assert(lpeg.match(C(R"az" ^ 1), "hello world") == "hello")
assert(lpeg.match(P"x", "hello") == nil)
assert(type(lpeg.version()) == "string")

-- Balanced parentheses: the grammar matches a whole balanced text and captures each group.
local balanced = P{ "group", group = C(P"(" * ((1 - S"()") + V"group") ^ 0 * P")") }
assert(lpeg.match(balanced, "(a(b)(c(d)))rest") == "(a(b)(c(d)))")
assert(lpeg.match(balanced, "(a(b)") == nil)
local whole = P{ "s", s = (P"(" * V"s" * P")" + (1 - S"()")) ^ 0 } * -1
assert(lpeg.match(whole, "x(y(z)w)(v)") and not lpeg.match(whole, "x(y))("))
local nested = Ct(P{ "g", g = Ct(P"(" * (C(R"az" ^ 1) + V"g") ^ 0 * P")") })
local tree = lpeg.match(nested, "(a(bc)(d))")
assert(tree and tree[1][1] == "a" and tree[1][2][1] == "bc" and tree[1][3][1] == "d")

-- A CSV line splitter with quoted fields and doubled quotes inside them.
local field = '"' * Cs(((P(1) - '"') + P'""' / '"') ^ 0) * '"' + C((1 - S',\n"') ^ 0)
local record = Ct(field * (',' * field) ^ 0) * (P"\n" + -1)
local row = lpeg.match(record, 'plain,"with, comma","say ""hi""",,last')
assert(#row == 5, #row)
assert(row[1] == "plain" and row[2] == "with, comma" and row[3] == 'say "hi"')
assert(row[4] == "" and row[5] == "last")

-- Substitution captures, folding and position captures go through the C API's buffers.
local digits = Cs((R"09" ^ 1 / function(d) return "<" .. d .. ">" end + 1) ^ 0)
assert(lpeg.match(digits, "a1b22c333") == "a<1>b<22>c<333>")
local sum = lpeg.Cf(Ct"" * (C(R"09" ^ 1) / tonumber * P","^-1) ^ 0, function(acc, n) acc[#acc + 1] = n; return acc end)
local nums = lpeg.match(sum, "4,5,6")
assert(nums[1] + nums[2] + nums[3] == 15)
assert(lpeg.match(lpeg.Cp() * P"ab" * lpeg.Cp(), "abc") == 1)
local long = string.rep("xy", 100000)
assert(#lpeg.match(Cs((P"x" / "z" + 1) ^ 0), long) == #long)

-- Errors raised by lpeg itself reach the script.
local ok, err = pcall(lpeg.P, {})
assert(not ok and type(err) == "string")

-- The re module (plain Lua on top of lpeg) compiles its own grammar syntax.
local re = need("re", "lua-lpeg")
assert(re.find("the number 42 and 7", "{%d+}") == 12)
assert(re.match("42 and 7", "{%d+}") == "42")
assert(re.gsub("hello world", "'o'", "0") == "hell0 w0rld")
