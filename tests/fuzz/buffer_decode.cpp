// string.buffer decoding of untrusted bytes, with and without dictionaries. What decodes is
// encoded again with the same options and decoded once more: the two decoded values must agree.
// Input: one option byte, then the serialized data.
#include "driver.h"

namespace {

const char kDriver[] = R"lua(
local flags, s = ...
local opts = {}
if flags % 2 == 1 then opts.dict = {"id", "name", "list", "", "key", ("k"):rep(40)} end
if flags % 4 >= 2 then opts.metatable = {{__index = {}}, {}, {__mode = "k"}} end
local function same(a, b, depth)
  if a ~= a and b ~= b then return true end
  if depth > 50 then return type(a) == type(b) end
  if type(a) ~= "table" then return a == b end
  if type(b) ~= "table" or getmetatable(a) ~= getmetatable(b) then return false end
  for k, v in next, a do
    if type(k) ~= "table" and not same(v, rawget(b, k), depth + 1) then return false end
  end
  for k in next, b do
    if type(k) ~= "table" and rawget(a, k) == nil then return false end
  end
  return true
end
local function roundtrip(v)
  local again = buffer.new(opts):encode(v):decode()
  if not same(v, again, 0) then fuzz_fail("decoding what was encoded gave another value") end
end
if flags % 8 < 4 then
  roundtrip(buffer.decode(s))
else
  local b = buffer.new(opts):set(s)
  for _ = 1, 8 do
    if #b == 0 then break end
    roundtrip(b:decode())
  end
end
)lua";

int args(lua_State* L, const uint8_t* data, size_t size) {
  if (size < 1) return -1;
  lua_pushinteger(L, data[0]);
  lua_pushlstring(L, reinterpret_cast<const char*>(data + 1), size - 1);
  return 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kx_fuzz_drive(kDriver, data, size, args);
}
