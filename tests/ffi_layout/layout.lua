-- Struct layouts of the ffi against the C compiler. The same fixed generator makes about 60 struct,
-- union and bit-field declarations in every mode:
--
--   tarnel layout.lua decls <x64|x86>   prints them as a C header (decls.h)
--   tarnel layout.lua probe <x64|x86>   prints a C program that includes decls.h and prints what the
--                                       C compiler lays out
--   tarnel layout.lua check <x64|x86>   declares them with ffi.cdef and prints the same lines
--
-- Lines: "S size <n> align <n>", "S.f <offset>", and for bit fields "S.f bits <first bit> <width>".

local mode, arch = arg[1], arg[2]

-- A fixed linear congruential generator: the same declarations on every build.
local seed = 20240611
local function rnd(n)
  seed = (seed * 1103515245 + 12345) % 2147483648
  return seed % n + 1
end
local function pick(t) return t[rnd(#t)] end

local scalars = {
  "char", "signed char", "unsigned char", "short", "unsigned short", "int", "unsigned int", "long",
  "unsigned long", "long long", "unsigned long long", "float", "double", "long double", "_Bool",
  "void *", "int *", "int8_t", "uint16_t", "int32_t", "uint64_t", "size_t", "double _Complex",
  "float _Complex",
}
if arch == "x64" then scalars[#scalars + 1] = "__int128" end
local bftypes = {
  {"char", 8}, {"signed char", 8}, {"unsigned char", 8}, {"short", 16}, {"unsigned short", 16},
  {"int", 32}, {"unsigned int", 32}, {"_Bool", 1}, {"uint16_t", 16}, {"int32_t", 32},
}

local decls, structs = {}, {}  -- C text; {name, fields = {{name, bitfield}}}
local defined = {}              -- names of earlier structs and unions usable as members

local function member_type()
  local r = rnd(10)
  if r <= 6 or #defined == 0 then return pick(scalars) end
  if r <= 8 then return pick(defined) end
  return pick(scalars)
end

-- A member line; fields receives the names that offsetof can ask for.
local function plain_member(fields, fname, attr)
  local t, suffix = member_type(), ""
  if rnd(4) == 1 then suffix = "[" .. rnd(5) .. "]" end
  if rnd(4) == 1 and rnd(2) == 1 then suffix = suffix .. "[" .. rnd(3) .. "]" end
  fields[#fields + 1] = {fname}
  return string.format("  %s %s%s%s;", t, fname, suffix, attr or "")
end

local function bitfield_member(fields, fname)
  local bt = pick(bftypes)
  local r = rnd(10)
  if r == 1 then return string.format("  %s :0;", bt[1]) end
  local w = rnd(bt[2])
  if r == 2 then return string.format("  %s :%d;", bt[1], w) end
  fields[#fields + 1] = {fname, w}
  return string.format("  %s %s:%d;", bt[1], fname, w)
end

local function struct(kind, name, body, attr, fields)
  decls[#decls + 1] = string.format("%s %s {\n%s\n}%s;", kind, name, table.concat(body, "\n"), attr or "")
  structs[#structs + 1] = {kind .. " " .. name, fields}
  defined[#defined + 1] = kind .. " " .. name
end

local function gen_plain(i, kind, attr, member_attr)
  local body, fields = {}, {}
  for j = 1, rnd(6) do body[#body + 1] = plain_member(fields, "f" .. j, member_attr and rnd(3) == 1 and member_attr) end
  struct(kind, "S" .. i, body, attr, fields)
end

local function gen_bits(i, attr)
  local body, fields = {}, {}
  for j = 1, 2 + rnd(7) do
    if rnd(5) == 1 then body[#body + 1] = plain_member(fields, "f" .. j)
    else body[#body + 1] = bitfield_member(fields, "f" .. j) end
  end
  if #fields == 0 then body[#body + 1] = plain_member(fields, "last") end
  struct("struct", "S" .. i, body, attr, fields)
end

local function gen_flexible(i)
  local body, fields = {}, {}
  for j = 1, rnd(3) do body[#body + 1] = plain_member(fields, "f" .. j) end
  body[#body + 1] = string.format("  %s tail[];", pick({"char", "int", "double", "short"}))
  fields[#fields + 1] = {"tail"}
  struct("struct", "S" .. i, body, nil, fields)
end

local function gen_anonymous(i)
  local body, fields = {}, {}
  body[#body + 1] = plain_member(fields, "a")
  local inner, ifields = {}, {}
  for j = 1, 1 + rnd(3) do inner[#inner + 1] = "  " .. plain_member(ifields, "u" .. j) end
  body[#body + 1] = string.format("  %s {\n%s\n  };", pick({"struct", "union"}), table.concat(inner, "\n"))
  for _, f in ipairs(ifields) do fields[#fields + 1] = f end
  body[#body + 1] = plain_member(fields, "z")
  struct("struct", "S" .. i, body, nil, fields)
end

local function generate()
  for i = 1, 60 do
    local k = i % 10
    if k == 0 then gen_plain(i, "union")
    elseif k == 1 or k == 2 then gen_bits(i)
    elseif k == 3 then gen_plain(i, "struct", " __attribute__((packed))")
    elseif k == 4 then
      local n = pick({1, 2, 4, 8})
      decls[#decls + 1] = string.format("#pragma pack(push, %d)", n)
      if rnd(2) == 1 then gen_bits(i) else gen_plain(i, "struct") end
      decls[#decls + 1] = "#pragma pack(pop)"
    elseif k == 5 then gen_plain(i, "struct", string.format(" __attribute__((aligned(%d)))", pick({8, 16, 32})))
    elseif k == 6 then gen_plain(i, "struct", nil, string.format(" __attribute__((aligned(%d)))", pick({2, 8, 16})))
    elseif k == 7 then gen_flexible(i)
    elseif k == 8 then gen_anonymous(i)
    else gen_plain(i, "struct") end
  end
end

local function probe()
  local out = {
    "#include <stddef.h>", "#include <stdint.h>", "#include <stdio.h>", "#include <string.h>",
    '#include "decls.h"',
    "static void bits(const char* name, const unsigned char* p, size_t n) {",
    "  int first = -1, count = 0;",
    "  for (size_t i = 0; i < 8 * n; i++)",
    "    if (p[i / 8] >> (i % 8) & 1) { if (first < 0) first = (int)i; count++; }",
    '  printf("%s bits %d %d\\n", name, first, count);',
    "}",
    "int main(void) {",
  }
  for _, s in ipairs(structs) do
    local t, label = s[1], s[1]:gsub(" ", "_")
    out[#out + 1] = string.format('  printf("%s size %%u align %%u\\n", (unsigned)sizeof(%s), (unsigned)_Alignof(%s));',
      label, t, t)
    for _, f in ipairs(s[2]) do
      if f[2] then
        out[#out + 1] = string.format(
          '  { %s v; memset(&v, 0, sizeof v); v.%s = -1; bits("%s.%s", (const unsigned char*)&v, sizeof v); }',
          t, f[1], label, f[1])
      else
        out[#out + 1] = string.format('  printf("%s.%s %%u\\n", (unsigned)offsetof(%s, %s));', label, f[1], t, f[1])
      end
    end
  end
  out[#out + 1] = "  return 0;\n}"
  print(table.concat(out, "\n"))
end

-- A bit field that fills its whole container is a plain field: offsetof gives only its offset.
local function check()
  local ffi = require("ffi")
  ffi.cdef(table.concat(decls, "\n"))
  for _, s in ipairs(structs) do
    local t, label = s[1], s[1]:gsub(" ", "_")
    print(string.format("%s size %d align %d", label, ffi.sizeof(t), ffi.alignof(t)))
    for _, f in ipairs(s[2]) do
      local ofs, pos, width = ffi.offsetof(t, f[1])
      if not f[2] then print(string.format("%s.%s %d", label, f[1], ofs))
      else print(string.format("%s.%s bits %d %d", label, f[1], ofs * 8 + (pos or 0), width or f[2])) end
    end
  end
end

generate()
if mode == "decls" then print(table.concat(decls, "\n"))
elseif mode == "probe" then probe()
else check() end
