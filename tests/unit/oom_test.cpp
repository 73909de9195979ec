// Running out of memory anywhere: an allocator that refuses the k-th allocation, for every k that a
// script reaches. Each run must end in success or in the memory error, leave an instance that still
// works, and free every byte when it is closed.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "core/state.h"
#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Script {
  const char* name;
  const char* source;
};

// Every script checks its own results. A memory error that a script catches itself (pcall, resume,
// load) is raised again with the bare message, so that it ends the run like an uncaught one; one
// that a wrapped coroutine passed on carries its caller's position in front.
#define KX_OOM_PRELUDE                                                                    \
  "local function mem(ok, e, ...)\n"                                                      \
  "  if not ok and type(e) == 'string' and e:find('not enough memory$') then\n"           \
  "    error('not enough memory', 0)\n"                                                   \
  "  end\n"                                                                               \
  "  return ok, e, ...\n"                                                                 \
  "end\n"                                                                                 \
  "local function loaded(f, msg)\n"                                                       \
  "  if not f then error(msg, 0) end\n"                                                   \
  "  return f\n"                                                                          \
  "end\n"

const Script kScripts[] = {
    {"closures", KX_OOM_PRELUDE R"lua(
local function counter()
  local n = 0
  return function() n = n + 1 return n end, function() return n end
end
local inc, get = counter()
for _ = 1, 20 do inc() end
assert(get() == 20)
local fs = {}
for i = 1, 12 do fs[i] = function() return i * 2 end end
local s = 0
for i = 1, 12 do s = s + fs[i]() end
assert(s == 156)
local function outer(a) return function(b) return function(c) return a + b + c end end end
assert(outer(1)(2)(3) == 6)
local function varargs(...) local t = {...} return select('#', ...), #t end
local n1, n2 = varargs(1, nil, 3)
assert(n1 == 3 and n2 >= 1)
)lua"},
    {"tables", KX_OOM_PRELUDE R"lua(
local t = {}
for i = 1, 150 do t[i] = i end
for i = 1, 80 do t["k" .. i] = i end
for i = 1, 40 do t[i + 0.5] = i end
local n = 0
for _ in pairs(t) do n = n + 1 end
assert(n == 270)
for i = 1, 150, 2 do t[i] = nil end
t.k1 = nil
n = 0
for _ in pairs(t) do n = n + 1 end
assert(n == 194)
local m = {x = 1, y = {z = {1, 2, 3}}, [true] = "yes"}
table.insert(m.y.z, 4)
table.remove(m.y.z, 1)
assert(table.concat(m.y.z, ",") == "2,3,4" and m[true] == "yes")
local p = table.pack(1, nil, 3)
assert(p.n == 3 and select(3, table.unpack(p, 1, p.n)) == 3)
local nested = {}
for i = 1, 30 do nested[i] = {i, {i}} end
assert(nested[30][2][1] == 30)
-- A fill that runs out of memory part way leaves a table that holds exactly what was stored,
-- and keys made again afterwards find their entries.
local grown = {}
local okg, eg = pcall(function()
  for i = 1, 200 do
    grown[i] = i
    grown["s" .. i] = i
  end
end)
local ints, strs = 0, 0
for k, v in pairs(grown) do
  if type(k) == "number" then
    assert(v == k)
    ints = ints + 1
  else
    assert(k == "s" .. v)
    strs = strs + 1
  end
end
assert(ints == #grown and (strs == ints or strs == ints - 1))
for i = 1, strs do assert(grown["s" .. i] == i) end
mem(okg, eg)
assert(okg and ints == 200)
)lua"},
    {"strings", KX_OOM_PRELUDE R"lua(
local parts = {}
for i = 1, 40 do parts[#parts + 1] = string.format("%d:%5.2f:%s:%x", i, i / 3, ("x"):rep(i % 7), i * 255) end
local s = table.concat(parts, ";")
local marked, count = s:gsub("%d+", function(d) return "<" .. d .. ">" end)
assert(count > 80 and marked:sub(1, 3) == "<1>")
assert(select(2, s:gsub(";", ";")) == 39)
assert(s:upper():lower() == s:lower())
local acc = ""
for i = 1, 40 do acc = acc .. tostring(i) .. "," end
assert(acc:sub(1, 4) == "1,2," and #acc == 111)
for w in ("alpha beta gamma"):gmatch("%a+") do acc = acc .. w:reverse() end
assert(acc:find("ammag", 1, true))
assert(string.format("%q", "a\nb\0") == '"a\\\nb\\0"')
assert(("key=val, k2=v2"):gsub("(%w+)=(%w+)", "%2=%1") == "val=key, v2=k2")
assert(("abc"):gsub("%w", {a = "1", b = false}) == "1bc")
assert(string.format("%s|%5s|%-5s|%.3s", 1.5, "ab", "cd", "efghij") == "1.5|   ab|cd   |efg")
assert(tostring(12345.678) == "12345.678" and tonumber("0x1p4") == 16)
)lua"},
    {"coroutines", KX_OOM_PRELUDE R"lua(
local function gen(n)
  return coroutine.wrap(function() for i = 1, n do coroutine.yield(i) end end)
end
local s = 0
local g = gen(25)
while true do
  local _, v = mem(pcall(g))
  if v == nil then break end
  s = s + v
end
assert(s == 325)
local co = coroutine.create(function(a, b)
  local c = coroutine.yield(a + b)
  error("boom" .. c, 0)
end)
local ok, v = mem(coroutine.resume(co, 1, 2))
assert(ok and v == 3)
ok, v = mem(coroutine.resume(co, 7))
assert(not ok and v == "boom7" and coroutine.status(co) == "dead")
local nested = coroutine.wrap(function()
  local inner = coroutine.wrap(function() coroutine.yield("in") return "done" end)
  coroutine.yield(inner())
  coroutine.yield(inner())
end)
local _, r1 = mem(pcall(nested))
local _, r2 = mem(pcall(nested))
assert(r1 == "in" and r2 == "done")
local cos = {}
for i = 1, 10 do cos[i] = coroutine.create(function(x) return x * i end) end
for i = 1, 10 do
  local ok2, r = mem(coroutine.resume(cos[i], 2))
  assert(ok2 and r == 2 * i)
end
local getters = {}
for i = 1, 8 do
  local c = coroutine.create(function()
    local v = i
    getters[i] = function() return v end
    coroutine.yield()
    v = -1
  end)
  mem(coroutine.resume(c))
end
collectgarbage("collect")
for i = 1, 8 do assert(getters[i]() == i) end
local okp, vp = mem(coroutine.resume(coroutine.create(function()
  local okq, vq = pcall(function() coroutine.yield(1) error("after", 0) end)
  return vq
end)))
assert(okp and vp == 1)
)lua"},
    {"errors", KX_OOM_PRELUDE R"lua(
local ok, e = mem(pcall(error, {code = 7}))
assert(not ok and e.code == 7)
ok, e = mem(pcall(function() local x = nil return x.y end))
assert(not ok and e:find("attempt to index"))
ok, e = mem(pcall(error, "plain", 0))
assert(not ok and e == "plain")
local function rec(n) if n == 0 then error("deep") end return 1 + rec(n - 1) end
ok, e = mem(pcall(rec, 60))
assert(not ok and e:find("deep"))
local ok1, ok2, e2 = mem(pcall(pcall, error, "x"))
assert(ok1 and not ok2 and e2 == "x")
ok, e = mem(pcall(function() return 1 + {} end))
assert(not ok and e:find("arithmetic"))
ok, e = mem(pcall(string.rep))
assert(not ok and e:find("bad argument"))
-- A memory error skips the message handler; one inside the handler is an error in error handling.
local okx, ex = xpcall(function() error("inner") end, function(m) return "handled: " .. m end)
if not okx and ex == "error in error handling" then error("not enough memory", 0) end
mem(okx, ex)
assert(not okx and ex:find("^handled: .*inner$"))
okx, ex = xpcall(function() return ("x"):rep(100) .. "y" end, function(m) return "handled" end)
mem(okx, ex)
assert(okx and #ex == 101)
local results = {}
for i = 1, 10 do
  local okc, ec = mem(pcall(function() if i % 2 == 0 then error(i) end return i end))
  results[#results + 1] = okc and "ok" or tostring(ec)
end
assert(#results == 10)
)lua"},
    {"metamethods", KX_OOM_PRELUDE R"lua(
local V = {}
V.__index = V
V.__add = function(a, b) return setmetatable({x = a.x + b.x}, V) end
V.__eq = function(a, b) return a.x == b.x end
V.__lt = function(a, b) return a.x < b.x end
V.__tostring = function(a) return "V(" .. a.x .. ")" end
V.__call = function(self, d) return self.x + d end
V.__len = function(a) return a.x end
V.__concat = function(a, b) return tostring(a) .. tostring(b) end
V.__newindex = function(t, k, v) rawset(t, k, v * 2) end
function V.get(self) return self.x end
local a = setmetatable({x = 1}, V)
local b = a + a + a
assert(b.x == 3 and tostring(b) == "V(3)" and b(4) == 7 and #b == 3 and b:get() == 3)
assert(b == setmetatable({x = 3}, V) and a < b)
assert(a .. b == "V(1)V(3)")
b.y = 5
assert(rawget(b, "y") == 10)
local proxy = setmetatable({}, {__index = function(_, k) return k .. "!" end})
assert(proxy.foo == "foo!")
local chain = setmetatable({}, {__index = setmetatable({}, {__index = {deep = 42}})})
assert(chain.deep == 42)
local ud = newproxy(true)
getmetatable(ud).__index = function(_, k) return k * 2 end
assert(ud[21] == 42)
)lua"},
    {"sort", KX_OOM_PRELUDE R"lua(
local t = {}
local seed = 7
for i = 1, 120 do seed = (seed * 31 + 11) % 1000 t[i] = seed end
table.sort(t)
for i = 2, #t do assert(t[i - 1] <= t[i]) end
local names = {}
for i = 1, 40 do names[i] = "n" .. ((i * 17) % 40) end
table.sort(names, function(x, y) return x > y end)
for i = 2, #names do assert(names[i - 1] >= names[i]) end
local recs = {}
for i = 1, 30 do recs[i] = {key = (i * 7) % 30, i} end
table.sort(recs, function(x, y) return x.key < y.key end)
assert(recs[1].key == 0 and recs[30].key == 29)
)lua"},
    {"load", KX_OOM_PRELUDE R"lua(
local f = loaded(load("local a, b = ... return a * b + 1", "=chunk"))
assert(f(6, 7) == 43)
local function tmpl(x)
  local y = x * 2
  return function(z) return y + z, "const", {1, 2} end
end
local g = loaded(load(string.dump(tmpl), "dumped", "b"))
assert(g(5)(1) == 11)
local src = {}
for i = 1, 30 do src[#src + 1] = "local v" .. i .. " = " .. i .. " .. 'x'" end
src[#src + 1] = "return function() return v1 .. v30 end"
assert(loaded(load(table.concat(src, "\n")))()() == "1x30x")
local pieces = {"return ", "1 ", "+ 2"}
local i = 0
assert(loaded(load(function() i = i + 1 return pieces[i] end))() == 3)
local bad, msg = load("x = = 1", "=bad")
if msg == "not enough memory" then error(msg, 0) end
assert(not bad and msg:find("unexpected symbol"))
local env = {y = 4}
assert(loaded(load("y = y + 1 return y", "=env", "t", env))() == 5 and env.y == 5)
local big = loaded(load([[
  local t = {a = 1, b = "two", [3] = 3.5, nested = {1, 2, 3, n = {}}}
  local function f(...) return select('#', ...), ... end
  local s = 0
  for k = 1, 10 do if k % 2 == 0 then s = s + k elseif k == 5 then s = s - 1 else s = s + 0.5 end end
  while s > 100 do s = s - 1 end
  repeat s = s + 1 until s > 30
  return s, f(t.a, t.b, t.nested.n)
]]))
local s1, cnt = big()
assert(s1 == 32 and cnt == 3)
)lua"},
    {"stack", KX_OOM_PRELUDE R"lua(
local function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
assert(depth(400) == 400)
local big = {}
for i = 1, 300 do big[i] = i end
local function count(...) return select('#', ...) end
assert(count(unpack(big)) == 300)
local function sum(...) local s = 0 for _, v in ipairs({...}) do s = s + v end return s end
assert(sum(unpack(big, 1, 200)) == 20100)
local function forever(n) return 1 + forever(n + 1) end
local ok, e = mem(pcall(forever, 1))
assert(not ok and e:find("stack overflow"))
assert(depth(100) == 100)
local co = coroutine.create(function() return depth(300) end)
local okc, r = mem(coroutine.resume(co))
assert(okc and r == 300)
)lua"},
    {"dialect", KX_OOM_PRELUDE R"lua(
local t = {a = {b = {c = 9}}}
assert(t?.a?.b?.c == 9 and t?.x?.y == nil)
local none = nil
assert((none ?? "dflt") == "dflt" and (t.a ? 1 : 2) == 1)
local dbl = x -> x * 2
local add = |a, b| -> a + b
assert(dbl(add(2, 3)) == 10)
local s = "a"
for i = 1, 10 do
  if i % 3 == 0 then continue end
  s ..= i
end
assert(s == "a12457810")
local n = 0
for i = 1, 20 do
  n += i
  if n > 50 then goto done end
end
::done::
assert(n == 55)
const K = 0xff_ff
assert(K & 0xff == 255 and (K >> 4) == 0xfff and ~0 == -1)
local obj = {v = 3, get = function(self, k) return self.v + k end}
assert(obj?.:get(2) == 5 and obj:get?.(3) == 6)
local str = "\u{48}\u{49}"
assert(str == "HI")
)lua"},
    {"library", KX_OOM_PRELUDE R"lua(
assert(string.rep("ab", 5, "-") == "ab-ab-ab-ab-ab")
assert(#string.rep("x", 3000) == 3000)
local bytes = {}
for i = 1, 100 do bytes[i] = string.char(32 + i % 90) end
local joined = table.concat(bytes)
assert(#joined == 100 and joined:byte(1) == 33)
local nums = {}
for i = 1, 60 do nums[i] = tostring(i * 1.25e10) .. tostring(-i / 7) end
assert(#table.concat(nums, " ") > 1000)
assert(string.format("%g %e %o %c %5.1f %-3d|", 1e20, 12.5, 8, 65, 3.14159, 7) == "1e+20 1.250000e+01 10 A   3.1 7  |")
assert(bit.tohex(255) == "000000ff" and bit.band(0xff, 0x0f) == 15)
assert(os.date("!%Y-%m-%d", 0) == "1970-01-01")
local d = os.date("!*t", 86400)
assert(d.day == 2 and d.year == 1970)
assert(math.floor(-3.5) == -4 and math.max(1, 5, 3) == 5)
assert(("%b()"):len() == 4 and ("(a(b)c)"):match("%b()") == "(a(b)c)")
assert(("THE (quick) fox"):find("%f[%a]%a+", 5) == 6)
assert(("x=1, y=2"):gsub("(%w+)=(%w+)", "%0!") == "x=1!, y=2!")
local keys = {}
for k, v in pairs({one = 1, two = 2, three = 3}) do keys[#keys + 1] = k .. v end
table.sort(keys)
assert(table.concat(keys, ",") == "one1,three3,two2")
local m = table.move({1, 2, 3, 4, 5}, 2, 4, 1, {})
assert(#m == 3 and m[3] == 4)
assert(select(-1, 1, 2, 3) == 3 and tonumber("  0x10  ") == 16 and tonumber("1e2") == 100)
)lua"},
    {"collector", KX_OOM_PRELUDE R"lua(
local weak = setmetatable({}, {__mode = "k"})
local keep = {}
for i = 1, 40 do
  local k = {}
  weak[k] = i
  if i % 4 == 0 then keep[#keep + 1] = k end
end
collectgarbage("collect")
local n = 0
for _ in pairs(weak) do n = n + 1 end
assert(n == 10)
local finalized = 0
for _ = 1, 5 do
  local p = newproxy(true)
  getmetatable(p).__gc = function() finalized = finalized + 1 end
end
collectgarbage("collect")
collectgarbage("collect")
assert(finalized == 5)
local junk = {}
for i = 1, 200 do junk[i % 20] = {i, tostring(i)} collectgarbage("step") end
assert(#junk[1] == 2)
)lua"},
    {"buffers", KX_OOM_PRELUDE R"lua(
-- The loader itself: require would remember a load cut short by the memory error as failed.
local buffer = package.preload["string.buffer"]("string.buffer")
local b = buffer.new(8, {dict = {"id", "name"}, metatable = {{__index = {}}}})
for i = 1, 30 do b:put(i, ",", ("x"):rep(i)) end
b:putf("%d|%s", 7, "end")
assert(#b:get(10) == 10 and b:get():sub(-5) == "7|end")
local data = {}
for i = 1, 20 do data[i] = {id = i, name = "n" .. i, list = {i, i * 2, tostring(i)}, [0] = i % 2 == 0} end
local s = buffer.encode(data)
local back = buffer.decode(s)
assert(back[20].list[3] == "20" and back[4][0] == true)
b:encode(data):encode("tail")
assert(b:decode()[7].name == "n7" and b:decode() == "tail")
local c = buffer.new():set(s)
c:skip(3):put("grow")
assert(c:tostring():sub(-4) == "grow")
local ok, e = mem(pcall(buffer.decode, s:sub(1, -2)))
assert(not ok and e:find("unexpected end of buffer"))
)lua"},
};

int open_libs(lua_State* L) {
  luaL_openlibs(L);
  return 0;
}

// The memory error's own text, or what went wrong instead.
std::string memory_error_problem(lua_State* L, int status) {
  const char* msg = lua_tostring(L, -1);
  std::string text = msg ? msg : "<not a string>";
  if (status == LUA_ERRMEM && text == "not enough memory") return "";
  if (status == LUA_ERRRUN && text == "not enough memory") return "";  // raised again by the script
  return "status " + std::to_string(status) + ": " + text;
}

int full_collection(lua_State* L) {
  *static_cast<bool*>(lua_touserdata(L, 1)) = true;
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}

// A full collection needs no memory of its own, so it never fails. The protected call around it
// does allocate: when that allocation is the one that fails, the call is made again.
std::string full_collection_problem(lua_State* L) {
  for (int attempt = 0; attempt < 2; attempt++) {
    bool entered = false;
    if (lua_cpcall(L, full_collection, &entered) == LUA_OK) return "";
    const char* msg = lua_tostring(L, -1);
    if (entered) return std::string("full collection failed: ") + (msg ? msg : "?");
    lua_pop(L, 1);
  }
  return "the protected call failed twice";
}

struct RunResult {
  std::string problem;  // empty when the run behaved
  bool failure_injected = false;
};

int load_and_run(lua_State* L, const Script& s) {
  int status = luaL_loadbuffer(L, s.source, strlen(s.source), s.name);
  if (status == LUA_OK) status = lua_pcall(L, 0, 0, 0);
  return status;
}

// How the collector is paced while the script runs.
enum class Pacing { Default, Eager };

// The counting allocator, which can fail one chosen allocation, and a limit on the live bytes
// beyond which every growth is refused for as long as the limit stands.
struct ShortAlloc {
  CountingAlloc counter;
  size_t limit = ~size_t(0);
  size_t refused = 0;
};

void* short_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* a = static_cast<ShortAlloc*>(ud);
  if (nsize > osize && a->counter.live_bytes - (ptr ? osize : 0) + nsize > a->limit) {
    a->refused++;
    return nullptr;
  }
  return kx_test_counting_alloc(&a->counter, ptr, osize, nsize);
}

// What runs short after the libraries are open: the k-th allocation alone, or every allocation
// beyond n more live bytes.
struct Shortage {
  size_t fail_at = 0;
  size_t extra_bytes = ~size_t(0) / 2;
};

RunResult run_short(const Script& s, Pacing pacing, Shortage shortage) {
  RunResult r;
  ShortAlloc a;
  lua_State* L = lua_newstate(short_alloc, &a);
  if (!L) return {"no instance", false};
  if (lua_cpcall(L, open_libs, nullptr) != LUA_OK) return {"opening the libraries failed", false};
  if (pacing == Pacing::Eager) {
    // A new cycle starts as soon as one ends, so allocations fail inside collector steps and
    // half-built objects meet the collector.
    lua_gc(L, LUA_GCSETPAUSE, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
  }
  if (shortage.fail_at) a.counter.fail_at = a.counter.allocations + shortage.fail_at;
  a.limit = a.counter.live_bytes + shortage.extra_bytes;
  int status = load_and_run(L, s);
  r.failure_injected = a.refused > 0 || (a.counter.fail_at && a.counter.allocations >= a.counter.fail_at);
  if (status != LUA_OK) r.problem = memory_error_problem(L, status);
  lua_settop(L, 0);
  a.limit = ~size_t(0);
  // Everything reachable is traversed, and the instance is still whole: the script runs again.
  if (r.problem.empty()) r.problem = full_collection_problem(L);
  if (r.problem.empty() && status != LUA_OK && load_and_run(L, s) != LUA_OK) {
    const char* msg = lua_tostring(L, -1);
    r.problem = std::string("second run failed: ") + (msg ? msg : "?");
  }
  lua_close(L);
  if (r.problem.empty() && a.counter.mismatch) r.problem = "freed with a wrong size";
  if (r.problem.empty() && a.counter.live_bytes != 0)
    r.problem = "leaked " + std::to_string(a.counter.live_bytes) + " bytes";
  return r;
}

class Oom : public ::testing::TestWithParam<std::tuple<Script, Pacing>> {
 protected:
  // A hang ends the test program instead of stalling the suite.
  void SetUp() override { alarm(120); }
  void TearDown() override { alarm(0); }
};

TEST_P(Oom, EveryAllocationMayFail) {
  const Script& s = std::get<0>(GetParam());
  Pacing pacing = std::get<1>(GetParam());
  RunResult clean = run_short(s, pacing, Shortage{});
  ASSERT_EQ(clean.problem, "") << "the script fails without any memory error";
  size_t k = 1;
  for (;; k++) {
    RunResult r = run_short(s, pacing, Shortage{k});
    ASSERT_EQ(r.problem, "") << s.name << ": allocation " << k << " fails";
    if (!r.failure_injected) break;
  }
  EXPECT_GT(k, 50u) << "the script allocates suspiciously little";
}

// Memory that stays short: the error must be reported, and recovered from, without any memory
// to spare. The limit rises in steps until the script has all it needs.
TEST_P(Oom, LastingShortage) {
  const Script& s = std::get<0>(GetParam());
  Pacing pacing = std::get<1>(GetParam());
  constexpr size_t kStep = 64;
  size_t extra = 0;
  for (; extra < 4 << 20; extra += kStep + extra / 64) {
    RunResult r = run_short(s, pacing, Shortage{0, extra});
    ASSERT_EQ(r.problem, "") << s.name << ": " << extra << " bytes to spare";
    if (!r.failure_injected) break;
  }
  EXPECT_LT(extra, size_t(4) << 20) << "the script never had enough";
}

INSTANTIATE_TEST_SUITE_P(Scripts, Oom, ::testing::Combine(::testing::ValuesIn(kScripts),
                                                           ::testing::Values(Pacing::Default, Pacing::Eager)),
                         [](const ::testing::TestParamInfo<std::tuple<Script, Pacing>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == Pacing::Eager ? "_eager" : "");
                         });

int collect(lua_State* L) {
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}

// The collector halves an interning table that has become mostly empty; without memory for the
// smaller array the table keeps its size, and the collection still succeeds.
TEST(OomCollector, InterningTableShrinkWithoutMemory) {
  CountingAlloc counter;
  lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
  ASSERT_NE(L, nullptr);
  lua_createtable(L, 4000, 0);
  for (int i = 1; i <= 4000; i++) {
    lua_pushfstring(L, "string number %d", i);
    lua_rawseti(L, -2, i);
  }
  lua_pop(L, 1);
  GlobalState* g = G(L);
  uint32_t mask = g->intern.mask;
  ASSERT_GE(mask, 4095u);
  lua_pushcfunction(L, collect);
  counter.fail_at = counter.allocations + 1;
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK);
  EXPECT_GE(counter.allocations, counter.fail_at) << "the collection asked for no memory";
  EXPECT_EQ(g->intern.mask, mask);
  lua_gc(L, LUA_GCCOLLECT, 0);
  EXPECT_LT(g->intern.mask, mask);
  lua_close(L);
  EXPECT_EQ(counter.live_bytes, 0u);
  EXPECT_FALSE(counter.mismatch);
}

// string.dump that runs out of memory raises the memory error, not a refusal to dump.
TEST(OomLibraries, DumpReportsTheMemoryError) {
  const char* src = "local f = function(a) return a, 'k', {1, 2} end return string.dump(f)";
  size_t k = 1;
  for (;; k++) {
    CountingAlloc counter;
    lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
    ASSERT_NE(L, nullptr);
    ASSERT_EQ(lua_cpcall(L, open_libs, nullptr), LUA_OK);
    ASSERT_EQ(luaL_loadbuffer(L, src, strlen(src), "=dump"), LUA_OK);
    counter.fail_at = counter.allocations + k;
    int status = lua_pcall(L, 0, 1, 0);
    std::string msg = lua_tostring(L, -1);
    lua_close(L);
    if (status == LUA_OK) break;
    ASSERT_EQ(status, LUA_ERRMEM) << msg;
    ASSERT_EQ(msg, "not enough memory");
  }
  EXPECT_GT(k, 2u);
}

// ffi.load with each of its allocations failing in turn: a library it opened is closed with the
// instance whichever allocation failed (else the process keeps it, and its variables keep their
// values into the next instance).
TEST(OomLibraries, FfiLoadLeavesNoLibraryOpen) {
  const char* src = "return require('ffi').load(...) ~= nil";
  for (size_t k = 1;; k++) {
    CountingAlloc counter;
    lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
    ASSERT_NE(L, nullptr);
    ASSERT_EQ(lua_cpcall(L, open_libs, nullptr), LUA_OK);
    ASSERT_EQ(luaL_loadbuffer(L, src, strlen(src), "=load"), LUA_OK);
    lua_pushstring(L, KX_TEST_FFILIB);
    counter.fail_at = counter.allocations + k;
    int status = lua_pcall(L, 1, 1, 0);
    bool injected = counter.allocations >= counter.fail_at;
    if (status != LUA_OK) {
      ASSERT_EQ(memory_error_problem(L, status), "") << "allocation " << k;
    }
    lua_close(L);
    void* still_open = dlopen(KX_TEST_FFILIB, RTLD_NOW | RTLD_NOLOAD);
    if (still_open) dlclose(still_open);
    ASSERT_EQ(still_open, nullptr) << "allocation " << k << " fails";
    if (!injected) {
      EXPECT_GT(k, 3u);
      break;
    }
  }
}

// Creating an instance and opening the libraries, with each of their allocations failing in turn:
// either no instance, or the libraries report the memory error; nothing leaks either way.
TEST(OomOpening, CreationAndLibraries) {
  alarm(120);
  for (size_t k = 1;; k++) {
    CountingAlloc counter;
    counter.fail_at = k;
    lua_State* L = lua_newstate(kx_test_counting_alloc, &counter);
    bool injected = true;
    if (L) {
      int status = lua_cpcall(L, open_libs, nullptr);
      injected = counter.allocations >= counter.fail_at;
      if (status != LUA_OK) {
        ASSERT_EQ(memory_error_problem(L, status), "") << "allocation " << k;
      }
      lua_settop(L, 0);
      ASSERT_EQ(full_collection_problem(L), "") << "allocation " << k;
      lua_close(L);
    }
    ASSERT_EQ(counter.live_bytes, 0u) << "allocation " << k;
    ASSERT_FALSE(counter.mismatch) << "allocation " << k;
    if (!injected) break;
  }
  alarm(0);
}

}  // namespace
