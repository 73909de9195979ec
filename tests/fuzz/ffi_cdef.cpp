// C declarations through ffi.cdef, then ffi.typeof, sizeof, alignof and offsetof on what they
// declared: every identifier of the text is tried as a type name, behind each tag, as a pointer and
// as an array, and as a field of each struct or union found. Nothing declared is ever called or read (ffi.C
// is not touched). Input: the declarations, then NUL and a type to look up the same way.
#include "driver.h"
#include "fuzz_support.h"
#include "lualib.h"

namespace {

const char kDriver[] = R"lua(
local ffi, decls, extra = ...
pcall(ffi.cdef, decls)
local names, seen = {}, {}
for id in (decls .. " " .. extra):gmatch("[%a_][%w_]*") do
  if not seen[id] and #names < 16 then
    seen[id] = true
    names[#names + 1] = id
  end
end
local function probe(ct, fields)
  local ok, size = pcall(ffi.sizeof, ct)
  if ok and size ~= nil and (type(size) ~= "number" or size < 0) then
    fuzz_fail("a size that is not a count of bytes")
  end
  local ok_a, align = pcall(ffi.alignof, ct)
  if ok_a and (type(align) ~= "number" or align < 1) then fuzz_fail("an alignment below one") end
  pcall(ffi.sizeof, ct, 3)
  pcall(tostring, ct)
  for _, field in ipairs(fields and names or {}) do
    local ok_o, offset = pcall(ffi.offsetof, ct, field)
    if ok_o and offset ~= nil and ok and size and not (offset >= 0 and offset <= size) then
      fuzz_fail("a field outside its type")
    end
  end
end
local forms = {"%s", "struct %s", "union %s", "enum %s", "%s *", "%s[4]", "%s[?]"}
for _, id in ipairs(names) do
  for i, form in ipairs(forms) do
    local ok, ct = pcall(ffi.typeof, form:format(id))
    if ok then probe(ct, i <= 3) end
  end
end
if extra ~= "" then
  local ok, ct = pcall(ffi.typeof, extra)
  if ok then probe(ct, true) end
end
)lua";

int args(lua_State* L, const uint8_t* data, size_t size) {
  FuzzSplit s = kx_fuzz_split(data, size, 0);
  lua_pushcfunction(L, luaopen_ffi);
  lua_call(L, 0, 1);
  lua_pushlstring(L, reinterpret_cast<const char*>(s.head), s.head_len);
  lua_pushlstring(L, reinterpret_cast<const char*>(s.tail), s.tail_len);
  return 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kx_fuzz_drive(kDriver, data, size, args);
}
