-- Penlight (Debian lua-penlight, some 14,000 lines of plain Lua written for Lua 5.1) runs unchanged:
-- every one of its modules loads, and the commonly used ones are exercised.
local need = require "lib.need"
need("pl.utils", "lua-penlight")

-- Every module, loaded together; their sources add up to far more than 2,000 lines.
local modules = {
  "Date", "List", "Map", "MultiMap", "OrderedMap", "Set", "app", "array2d", "class", "compat",
  "comprehension", "config", "data", "dir", "file", "func", "import_into", "input", "lapp",
  "lexer", "luabalanced", "operator", "path", "permute", "pretty", "seq", "sip", "stringio",
  "stringx", "tablex", "template", "test", "text", "types", "url", "utils", "xml",
}
local lines = 0
for _, name in ipairs(modules) do
  local file = assert(package.searchpath("pl." .. name, package.path))
  for _ in io.lines(file) do lines = lines + 1 end
  assert(require("pl." .. name), name)
end
assert(lines > 2000, lines)
local pl = require "pl.import_into"()
assert(pl.List == require "pl.List" and pl.stringx == require "pl.stringx")

-- pl.pretty: writing and reading back a nested table.
local pretty = pl.pretty
local value = { 1, 2, name = "x", nested = { true, "q\"uote" } }
local text = pretty.write(value)
local back = assert(pretty.read(text))
assert(pl.tablex.deepcompare(back, value), text)
assert(pretty.write({ 1, 2, 3 }, "") == "{1,2,3}")
assert(pretty.number(123456789, "M") == "117.7MiB" and pretty.number(123456789, "N") == "123.5M")

-- pl.stringx
local stringx = pl.stringx
assert(stringx.strip("  padded\t ") == "padded")
assert(pl.tablex.deepcompare(stringx.split("a,b,,c", ","), { "a", "b", "", "c" }, true))
assert(stringx.startswith("kestrix", "kes") and stringx.endswith("kestrix", "rix"))
assert(stringx.replace("a-b-c", "-", "+") == "a+b+c")
assert(stringx.count("banana", "an") == 2)
assert(stringx.shorten("abcdefghij", 6) == "abc...")
assert(stringx.title("hello world") == "Hello World")
assert(pl.tablex.deepcompare(stringx.splitlines("one\ntwo\n"), { "one", "two" }, true))

-- pl.List
local List = pl.List
local ls = List { 10, 20, 30 }
ls:append(40)
assert(#ls == 4 and ls:len() == 4 and ls[4] == 40)
assert(ls:map(function(x) return x / 10 end) == List { 1, 2, 3, 4 })
assert(ls:filter(function(x) return x > 15 end):reduce("+") == 90)
assert(tostring(ls:slice(2, 3)) == "{20,30}")
assert(ls:index(30) == 3 and ls:contains(20) and not ls:contains(25))
assert(List.range(1, 5):reverse() == List { 5, 4, 3, 2, 1 })
assert(List { 3, 1, 2 }:sort() == List { 1, 2, 3 })
assert((List { 1 } .. List { 2 }) == List { 1, 2 })

-- pl.tablex
local tablex = pl.tablex
assert(tablex.size({ a = 1, b = 2, 3 }) == 3)
assert(tablex.deepcompare(tablex.keys({ a = 1 }), { "a" }, true))
assert(tablex.deepcompare(tablex.map(function(v) return v * 2 end, { 1, 2, 3 }), { 2, 4, 6 }))
assert(tablex.reduce("+", { 1, 2, 3, 4 }) == 10)
assert(tablex.find({ "x", "y", "z" }, "z") == 3)
assert(tablex.deepcompare(tablex.merge({ a = 1, b = 2 }, { b = 3, c = 4 }, true), { a = 1, b = 3, c = 4 }, true))
assert(tablex.deepcompare(tablex.zip({ 1, 2 }, { "a", "b" }), { { 1, "a" }, { 2, "b" } }))
local sorted = {}
for k, v in tablex.sort({ c = 3, a = 1, b = 2 }) do sorted[#sorted + 1] = k .. v end
assert(table.concat(sorted, " ") == "a1 b2 c3")

-- pl.path
local path = pl.path
assert(path.join("a", "b", "c.txt") == "a/b/c.txt")
assert(path.basename("/x/y/z.lua") == "z.lua" and path.dirname("/x/y/z.lua") == "/x/y")
assert(path.extension("archive.tar.gz") == ".gz")
assert(path.splitext("name.ext") == "name")
assert(path.normpath("/a/./b/../c") == "/a/c")
assert(path.isdir(".") and path.isfile("penlight_all.lua") and not path.exists("no-such-file"))
assert(path.abspath("x"):sub(1, 1) == "/")
assert(path.relpath("/a/b/c", "/a") == "b/c")

-- pl.utils
local utils = pl.utils
assert(utils.quote_arg("a b") == "'a b'")
assert(pl.tablex.deepcompare(utils.split("1 2  3"), { "1", "2", "3" }))
assert(utils.string_lambda("_ + 1")(41) == 42)
assert(select("#", utils.unpack({ 1, nil, 3 }, 1, 3)) == 3)
local memo_calls = 0
local square = utils.memoize(function(x) memo_calls = memo_calls + 1; return x * x end)
assert(square(9) == 81 and square(9) == 81 and memo_calls == 1)
local ok, err = pcall(utils.assert_arg, 1, 42, "string")
assert(not ok and err:find("argument 1 expected a 'string', got a 'number'", 1, true), err)
local content = assert(utils.readfile("penlight_all.lua"))
assert(content:find("Penlight", 1, true))
assert(utils.executeex("echo penlight") ~= nil)

-- Classes, sets, ordered maps, sequences, templates, text and string I/O.
local Animal = pl.class()
function Animal:_init(name) self.name = name end
function Animal:speak() return self.name .. " makes a sound" end
local Dog = pl.class(Animal)
function Dog:speak() return self.name .. " barks" end
local rex = Dog("Rex")
assert(rex:speak() == "Rex barks" and rex:is_a(Animal) and Dog:class_of(rex))
local Set = pl.Set
local s = Set { 1, 2, 3 } * Set { 2, 3, 4 }
assert(Set.len(s) == 2 and s[2] and s[3])
local om = pl.OrderedMap()
om:set("z", 1); om:set("a", 2)
assert(table.concat(om:keys(), "") == "za")
assert(pl.seq.sum(pl.seq.range(1, 100)) == 5050)
assert(pl.seq.copy(pl.seq.filter(pl.seq.list { 1, 2, 3, 4 }, function(x) return x % 2 == 0 end))[2] == 4)
assert(pl.template.substitute("$(who) has $(n) items", { who = "Ann", n = 3 }) == "Ann has 3 items")
local tpl = pl.template.substitute("# for i = 1, 3 do\n$(i)\n# end\n", { _parent = _G })
assert(tpl == "1\n2\n3\n", tpl)
assert(pl.text.dedent("  a\n  b\n") == "a\nb\n")
assert(pl.text.wrap("one two three four", 9)[1] == "one two")
local out = pl.stringio.create()
out:write("a", 1, "b")
assert(out:value() == "a1b")
local inp = pl.stringio.open("10 20\n30")
assert(inp:read("*n") == 10 and inp:read("*n") == 20)

-- Data, comprehensions, operators, lexing, array2d, sip patterns, dates and Lua-syntax config files.
local d = pl.data.read(pl.stringio.open("x,y\n1,2\n3,4\n"), { delim = "," })
assert(#d == 2 and d[2][2] == 4)
assert(pl.comprehension.new()("x*x for x=1,4")()[4] == 16)
assert(pl.operator.add(2, 3) == 5)
local toks = {}
for t, v in pl.lexer.lua("local x = 42 -- c\n") do toks[#toks + 1] = t .. ":" .. v end
assert(table.concat(toks, " ") == "keyword:local iden:x =:= number:42", table.concat(toks, " "))
local grid = pl.array2d.new(2, 3, 0)
grid[2][3] = 7
assert(pl.array2d.reduce_rows("+", grid)[2] == 7)
local res = {}
assert(pl.sip.match("$v=$d", "width=42", res) and res[1] == "width" and res[2] == 42)
local date = pl.Date { year = 2024, month = 2, day = 29, hour = 12 }
assert(date:year() == 2024 and date:month() == 2 and date:day() == 29)
assert(pl.Date.Format("yyyy-mm-dd"):tostring(date) == "2024-02-29")
local conf = pl.config.read(pl.stringio.open("alpha = 1\nbeta = two\n"))
assert(conf.alpha == 1 and conf.beta == "two")
local doc = pl.xml.parse("<root><item id='1'>one</item></root>", false)
assert(doc.tag == "root" and doc[1].attr.id == "1" and doc[1][1] == "one")
