-- ffi.cdef speed: parses a generated header of about 1 MB (structs with bit fields, typedefs, enums,
-- function prototypes with function-pointer parameters) and prints MB/s. arg[1]: size in KB (1024).
local ffi = require("ffi")
local kb = tonumber(arg and arg[1]) or 1024

local parts, bytes, i = {}, 0, 0
while bytes < kb * 1024 do
  i = i + 1
  local text = string.format([[
/* group %d */
typedef struct widget_record_%d {
  int identifier;
  double position_x, position_y;
  char display_name[32];
  struct widget_record_%d *next_sibling;
  unsigned int visible : 1, enabled : 1, layer : 6;
} widget_record_%d_t;
enum widget_state_%d { WIDGET_%d_IDLE, WIDGET_%d_ACTIVE = 4, WIDGET_%d_DISABLED };
int widget_record_%d_initialize(widget_record_%d_t *record, const char *name, unsigned long flags);
double widget_record_%d_measure(const widget_record_%d_t *record, int (*callback)(void *, int), void *data);
]], i, i, i, i, i, i, i, i, i, i, i, i)
  parts[#parts + 1] = text
  bytes = bytes + #text
end
local header = table.concat(parts)

local t0 = os.clock()
ffi.cdef(header)
local t = os.clock() - t0
assert(ffi.sizeof("widget_record_1_t") > 0 and ffi.C.WIDGET_1_DISABLED == 5)
print(string.format("cdef: %d bytes, %d groups, %.3f s, %.1f MB/s", #header, i, t, #header / t / 1e6))
