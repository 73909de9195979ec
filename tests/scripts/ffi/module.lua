-- The ffi module's functions: new, cast, istype, sizeof on objects, string, copy, fill, errno,
-- metatype with every metamethod, gc and finalizers.
local ffi = require("ffi")

local function err(f, ...)
  local ok, msg = pcall(f, ...)
  assert(not ok, "expected an error")
  return msg
end

-- ffi.new and ctype objects.
local int_t = ffi.typeof("int")
assert(int_t(5) + 0 == 5 and ffi.new(int_t) == 0 and ffi.typeof("int") == int_t)
local vla = ffi.new("double[?]", 5)
assert(ffi.sizeof(vla) == 40 and vla[4] == 0)
ffi.cdef("struct vs { int n; double d[?]; };")
local vs = ffi.new("struct vs", 3)
assert(ffi.sizeof(vs) == ffi.offsetof("struct vs", "d") + 24 and ffi.sizeof("struct vs", 3) == ffi.sizeof(vs))
vs.d[2] = 1.5
assert(vs.d[2] == 1.5)
local aligned = ffi.new("struct { char c; } __attribute__((aligned(64)))")
assert(tonumber(ffi.cast("uintptr_t", ffi.cast("void *", aligned))) % 64 == 0)
assert(err(ffi.new, "struct opaque_n") ~= nil)
ffi.cdef("struct opaque_n;")
assert(err(ffi.new, "struct opaque_n") == "bad argument #1 to '?' (size of C type is unknown or too large)")
assert(err(ffi.new, "void") == "bad argument #1 to '?' (size of C type is unknown or too large)")
assert(err(ffi.new, "int[?]") == "bad argument #2 to '?' (number expected, got no value)")

-- ffi.cast.
local c = ffi.cast("int", 3.9)
assert(c == 3 and ffi.cast("int", c) == c)
assert(rawequal(ffi.cast("int", c), c))
assert(ffi.cast("uint8_t", 0x1ff) == 255 and ffi.cast("int32_t", 0xffffffff) == -1)
assert(ffi.cast("int *", 16) == ffi.cast("int *", 16) and ffi.cast("intptr_t", ffi.cast("void *", 99)) == 99)
assert(err(ffi.cast, "struct vs", 1) == "bad argument #1 to '?' (invalid C type)")
assert(err(ffi.cast, "int") == "bad argument #2 to '?' (value expected)")

-- ffi.istype.
ffi.cdef("struct node { int v; };")
local node = ffi.new("struct node")
assert(ffi.istype("struct node", node) and ffi.istype("struct node", ffi.new("struct node *", node)))
assert(ffi.istype("int", ffi.new("const int", 1)) and ffi.istype("long", ffi.new("long", 1)))
assert(not ffi.istype("int", ffi.new("unsigned int", 1)) and not ffi.istype("int", 1))
assert(ffi.istype("int *", ffi.new("int *")) and not ffi.istype("int *", ffi.new("const int *")))
assert(ffi.istype("struct node", ffi.typeof("struct node")) and not ffi.istype("struct node", "x"))

-- ffi.string, ffi.copy, ffi.fill, ffi.errno.
local buf = ffi.new("char[16]")
ffi.copy(buf, "hello")
assert(ffi.string(buf) == "hello" and buf[5] == 0)
ffi.copy(buf + 5, " world", 3)
assert(ffi.string(buf, 8) == "hello wo")
ffi.fill(buf, 4, 65)
assert(ffi.string(buf, 6) == "AAAAo ")
ffi.fill(buf, 16)
assert(ffi.string(buf) == "")
assert(ffi.string(buf, 0) == "" and ffi.string("lua string", 3) == "lua")
assert(err(ffi.string, 42):match("bad argument #1 to .*cannot convert 'number' to 'const char %*'"))
assert(err(ffi.copy, buf, 1, 1):match("bad argument #2 to .*cannot convert 'number' to 'const void %*'"))
local e0 = ffi.errno()
assert(ffi.errno(7) == e0 and ffi.errno() == 7)

-- ffi.metatype: methods, operators, text, finalizers.
local log = {}
ffi.cdef("struct vec { double x, y; }; struct counter { int n; };")
local vec
vec = ffi.metatype("struct vec", {
  __index = {len2 = function(v) return v.x * v.x + v.y * v.y end, kind = "vec"},
  __add = function(a, b) return vec(a.x + b.x, a.y + b.y) end,
  __sub = function(a, b) return vec(a.x - b.x, a.y - b.y) end,
  __eq = function(a, b) return a.x == b.x and a.y == b.y end,
  __lt = function(a, b) return a:len2() < b:len2() end,
  __le = function(a, b) return a:len2() <= b:len2() end,
  __unm = function(a) return vec(-a.x, -a.y) end,
  __len = function(a) return 2 end,
  __concat = function(a, b) return "concat" end,
  __call = function(self, k) return self.x * k end,
  __tostring = function(v) return "vec(" .. v.x .. "," .. v.y .. ")" end,
  __pairs = function(v) return next, {x = v.x}, nil end,
  __gc = function(v) log[#log + 1] = v.x end,
})
local a, b = vec(1, 2), vec(3, 4)
assert(a:len2() == 5 and a.kind == "vec" and (a + b).x == 4 and (b - a).y == 2)
assert(a == vec(1, 2) and a ~= b and a < b and a <= b and not (b < a) and (-a).x == -1)
assert(#a == 2 and (a .. "x") == "concat" and ("x" .. a) == "concat" and a(10) == 10)
assert(tostring(a) == "vec(1,2)" and tostring(ffi.new("struct vec *", a)) == "vec(1,2)")
for k, v in pairs(a) do assert(k == "x" and v == 1) end
assert(err(ffi.metatype, "struct vec", {}) == "cannot change a protected metatable")
assert(err(ffi.metatype, "int", {}) == "bad argument #1 to '?' (invalid C type)")
assert(err(ffi.metatype, "struct counter", 1) == "bad argument #2 to '?' (table expected, got number)")
local counter = ffi.metatype("struct counter", {__index = function(self, k) return k .. "!" end,
  __newindex = function(self, k, v) self.n = self.n + v end, __new = function(ct, n) return ffi.new(ct, n * 2) end})
local cnt = counter(21)
assert(cnt.n == 42 and cnt.foo == "foo!")
cnt.bar = 8
assert(cnt.n == 50)

-- Finalizers: ffi.gc, the bound __gc of ffi.new, removal with nil.
do
  local keep = vec(100, 0)
  vec(200, 0)
  local p = ffi.gc(ffi.new("int[1]", 7), function(o) log[#log + 1] = o[0] end)
  local q = ffi.gc(ffi.new("int[1]", 8), function(o) log[#log + 1] = o[0] end)
  assert(ffi.gc(q, nil) == q)
  p, q = nil, nil
  collectgarbage()
  collectgarbage()
  local seen = {}
  for _, v in ipairs(log) do seen[v] = true end
  assert(seen[200] and seen[7] and not seen[8] and not seen[100], #log)
  assert(keep.x == 100)
end
assert(err(ffi.gc, 1, print) == "bad argument #1 to '?' (cdata expected, got number)")
assert(err(ffi.gc, ffi.new("int"), print) == "bad argument #1 to '?' (invalid C type)")
assert(err(ffi.gc, ffi.new("int[1]")) == "bad argument #2 to '?' (value expected)")

-- Function pointers have the callback methods; the callback metatable is not a bound one.
local cb = ffi.cast("int (*)(int)", function(x) return x * 2 end)
assert(cb(21) == 42 and type(cb.free) == "function" and type(cb.set) == "function")
cb:set(function(x) return x + 1 end)
assert(cb(1) == 2)
cb:free()

-- Userdata convert to pointers: an io file to its C stream.
ffi.cdef("int fileno(void *stream);")
assert(ffi.C.fileno(io.stdout) == 1 and ffi.C.fileno(io.stderr) == 2)
