// string.format with a fuzzed format and arguments. Input: format NUL arguments, each argument a
// tag byte followed by its bytes: a double (8 bytes), a small integer (1), a string (length byte and
// bytes), or one of the driver's prepared values (index byte).
#include <cstring>

#include "driver.h"
#include "fuzz_support.h"

namespace {

const char kDriver[] = R"lua(
local fmt, spec = ...
local special = {
  true, false, {}, print, coroutine.create(print), 0/0, 1/0, -1/0, -0.0, 2^53, 2^63, -2^31, 2^31,
  1e308, 5e-324, "a\0b", "%d", ("x"):rep(300),
  setmetatable({}, {__tostring = function() return "meta" end}),
  setmetatable({}, {__tostring = function() return 42 end}),
  setmetatable({}, {__tostring = function() error("in tostring") end}),
}
local args, n = {}, 0
for i = 1, #spec do
  local kind, v = spec[i][1], spec[i][2]
  n = n + 1
  if kind == "special" then args[n] = special[v % #special + 1] else args[n] = v end
end
string.format(fmt, unpack(args, 1, n))
)lua";

int args(lua_State* L, const uint8_t* data, size_t size) {
  FuzzSplit fmt = kx_fuzz_split(data, size, 0);
  lua_pushlstring(L, reinterpret_cast<const char*>(fmt.head), fmt.head_len);
  lua_newtable(L);
  const uint8_t* p = fmt.tail;
  const uint8_t* end = p + fmt.tail_len;
  for (int n = 1; p < end && n <= 32; n++) {
    uint8_t tag = *p++ % 5;
    lua_createtable(L, 2, 0);
    if (tag == 0 && end - p >= 8) {
      double d;
      memcpy(&d, p, 8);
      p += 8;
      lua_pushliteral(L, "number");
      lua_pushnumber(L, d);
    } else if (tag == 1 && p < end) {
      lua_pushliteral(L, "number");
      lua_pushinteger(L, static_cast<int8_t>(*p++));
    } else if (tag == 2 && p < end) {
      size_t len = *p++;
      if (len > static_cast<size_t>(end - p)) len = end - p;
      lua_pushliteral(L, "string");
      lua_pushlstring(L, reinterpret_cast<const char*>(p), len);
      p += len;
    } else if (tag == 3) {
      lua_pushliteral(L, "nil");
      lua_pushnil(L);
    } else {
      lua_pushliteral(L, "special");
      lua_pushinteger(L, p < end ? *p++ : 0);
    }
    lua_rawseti(L, -3, 2);
    lua_rawseti(L, -2, 1);
    lua_rawseti(L, -2, n);
  }
  return 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kx_fuzz_drive(kDriver, data, size, args);
}
