// Pattern matching with a fuzzed pattern, subject and replacement: find, match, gmatch and gsub
// with each kind of replacement. Input: one selector byte, then pattern NUL subject NUL replacement.
#include "driver.h"
#include "fuzz_support.h"

namespace {

const char kDriver[] = R"lua(
local op, init, pat, s, repl = ...
if op == 0 then string.find(s, pat, init)
elseif op == 1 then string.find(s, pat, init, true)
elseif op == 2 then string.match(s, pat, init)
elseif op == 3 then for a, b, c in string.gmatch(s, pat) do local _ = #tostring(a) end
elseif op == 4 then string.gsub(s, pat, repl)
elseif op == 5 then string.gsub(s, pat, repl, init)
elseif op == 6 then string.gsub(s, pat, {[s:sub(1, 1)] = repl, a = 1, b = false})
else string.gsub(s, pat, function(a, b) if a == b then return repl end return b end)
end
)lua";

// Backtracking over several quantifiers is polynomial in the subject's length by nature; beyond
// three of them a short input can take minutes, which is no fault.
bool too_slow(const uint8_t* pat, size_t n) {
  int quantifiers = 0;
  for (size_t i = 0; i < n; i++) quantifiers += pat[i] == '*' || pat[i] == '+' || pat[i] == '-' || pat[i] == '?';
  return quantifiers > 3;
}

int args(lua_State* L, const uint8_t* data, size_t size) {
  if (size < 1) return -1;
  FuzzSplit pat = kx_fuzz_split(data + 1, size - 1, 0);
  FuzzSplit subj = kx_fuzz_split(pat.tail, pat.tail_len, 0);
  if (too_slow(pat.head, pat.head_len)) return -1;
  lua_pushinteger(L, data[0] & 7);
  lua_pushinteger(L, (data[0] >> 3) - 16);
  lua_pushlstring(L, reinterpret_cast<const char*>(pat.head), pat.head_len);
  lua_pushlstring(L, reinterpret_cast<const char*>(subj.head), subj.head_len);
  lua_pushlstring(L, reinterpret_cast<const char*>(subj.tail), subj.tail_len);
  return 5;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kx_fuzz_drive(kDriver, data, size, args);
}
