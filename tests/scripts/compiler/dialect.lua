-- The dialect compiled and run: operators, safe navigation, conditionals, short functions, table
-- constructors, compound assignment, continue, const, goto and generic loops.
-- operators and precedence
assert(1 + 2 << 1 == 6)
assert((1 | 2 == 3) == true)
assert(2 ^ 3 ^ 2 == 512)
assert(-2 ^ 2 == -4)
assert(~0 == -1)
local x = 12
assert(~x == -13 and x ~ 5 == 9)
assert(-1 >> 28 == 15 and -16 ~>> 2 == -4 and 1 << 33 == 2)
assert(0x10 | 3 == 19)
local z = 0
assert(0/0 ~= 0/0)
assert(1/(0*-1) < 0)
assert(1/0 > 1e308)
-- coalesce
assert((false ?? 1) == false)
assert((nil ?? false ?? 3) == false)
local calls = 0
local function g() calls = calls + 1; return 7 end
local function f() return nil end
assert((f() ?? g()) == 7 and calls == 1)
assert((1 ?? g()) == 1 and calls == 1)
-- safe nav
local t = nil
assert(t?.a == nil)
local t2 = {}
assert(not pcall(function() return t2?.a.b end))
t?.m()
local r1 = t?.f()
assert(r1 == nil)
local a1, b1 = t?.f()
assert(a1 == nil and b1 == nil)
local obj = {v = 3, get = function(self, k) return self.v + k end}
assert(obj?.get(obj, 1) == 4)
assert(obj?.:get(2) == 5)
assert(obj:get?.(3) == 6)
local nom = {}
assert(nom:nope?.() == nil)
local tt = {a = {b = {c = 9}}}
assert(tt?.a?.b?.c == 9)
assert(tt?.["a"].b.c == 9)
assert(tt?.x?.y == nil)
t?.x.y = 5
local up = {}
up?.k = 4
assert(up.k == 4)
-- conditional
local c = true
assert((c ? 1 : 2) == 1)
assert((false ? 1 : 2) == 2)
assert((nil ? 1 : c ? 3 : 4) == 3)
local y = 5
assert((c ? y : 0) == 5)
assert((c ? false ? 1 : 2 : 3) == 2)
-- short functions
local dbl = x -> x * 2
assert(dbl(4) == 8)
local add = |a, b| -> a + b
assert(add(2, 3) == 5)
local k42 = || -> 42
assert(k42() == 42)
local cnt = |...| -> select("#", ...)
assert(cnt(1, nil, 3) == 3)
local setn = |t| -> do t.n = 0 end
local q = {}; setn(q); assert(q.n == 0)
assert((x -> x)(3) == 3)
-- table constructors
local function three() return 1, 2, 3 end
local tc = {three()}
assert(#tc == 3)
local tc2 = {three(), 10}
assert(#tc2 == 2 and tc2[1] == 1)
local tc3 = {(three())}
assert(#tc3 == 1)
local tc4 = {x = y, [1] = "one", "first"}
assert(tc4.x == 5 and tc4[1] == "first")
-- compound
local s = "a"; s ..= "b" .. "c"; assert(s == "abc")
local n = 3; n <<= 2; assert(n == 12)
local tk = {k = -8}; tk.k ~>>= 1; assert(tk.k == -4)
local cx = 6; cx ~= 3; assert(cx == 5)
local m = 10; m -= 3; m *= 2; m /= 7; m %= 3; assert(m == 2)
-- continue
local out = {}
for i = 1, 5 do if i % 2 == 0 then continue end out[#out+1] = i end
assert(#out == 3)
local w = 0; local it = 0
while it < 5 do it += 1; if it == 2 then continue end w += it end
assert(w == 13)
local rr = 0
repeat local v = rr; rr += 1; if v == 1 then continue end until rr >= 3
assert(rr == 3)
-- closures in loops with continue
local fs = {}
for i = 1, 3 do local x = i; fs[i] = function() return x end; continue end
assert(fs[1]() == 1 and fs[3]() == 3)
-- const
const K = 10
assert(K == 10)
const = 5
assert(const == 5)
continue = 1
assert(continue == 1)
local continue = 3
assert(continue == 3)
-- goto
do
  local i = 1
  ::top::
  if i < 3 then i += 1; goto top end
  assert(i == 3)
end
-- generic for
local sum = 0
for k, v in pairs({1, 2, 3}) do sum += v end
assert(sum == 6)
for _, v in next, {4} do sum += v end
assert(sum == 10)
-- varargs
local function va(...) local a, b = ... return a, b, select("#", ...) end
local p1, p2, p3 = va(1, 2, 3)
assert(p1 == 1 and p2 == 2 and p3 == 3)
local function tail(...) return ... end
assert(select("#", tail(1, 2)) == 2)
-- multiple assignment hazards
local ha = {1, 2}
local hi = 1
hi, ha[hi] = 2, 10
assert(ha[1] == 10 and hi == 2)
-- numbers
assert(1_000_000 == 1000000 and 0x_1F == 31 and 0_x1F == 31 and 0x1p4 == 16 and 1e_+5 == 100000)
assert("\u{48}\u{49}" == "HI")
assert(#"\u{10FFFF}" == 4)
-- nested functions and upvalues
local function counter() local c = 0; return function() c += 1; return c end end
local cc = counter(); cc(); assert(cc() == 2)
-- method definitions
local M = {}
function M.new(v) return setmetatable({v = v}, {__index = M}) end
function M:get() return self.v end
assert(M.new(8):get() == 8)
-- comparisons
assert(nil == nil and not (1 == nil))
local nn = nil
assert(nil == nn and nn == nil)
assert(("a" < "b") and (2 > 1) and (2 >= 2) and (1 <= 1))
-- not
assert(not nil == true and (not 1) == false and !false)
assert((1 && 2) == 2 and (nil || 3) == 3)
assert(1 != 2)
local function rep(s, n) local r = "" for i = 1, n do r = r .. s end return r end
local function g2() return "a", "b" end
local src = "local g = ...; return {" .. rep("0,", 255) .. "g()}"
local big = load(src)(g2)
assert(big[256] == "a" and big[257] == "b", tostring(big[256]))
local src2 = "local g = ...; return {" .. rep("0,", 300) .. "g()}"
local big2 = load(src2)(g2)
assert(big2[301] == "a" and big2[302] == "b")
local src3 = "local g = ...; return {" .. rep("0,", 254) .. "g()}"
local big3 = load(src3)(g2)
assert(big3[255] == "a" and big3[256] == "b")
