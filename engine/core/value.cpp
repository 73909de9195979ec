// Type names and raw equality of values.
#include "core/value.h"

const char* const kx_obj_typename[12] = {
    "no value", "nil", "boolean", "userdata", "number", "string",
    "table", "function", "userdata", "thread", "proto", "cdata",
};

const char* const kx_obj_itypename[14] = {
    "nil", "boolean", "boolean", "userdata", "string", "upval", "thread",
    "proto", "function", "trace", "cdata", "table", "userdata", "number",
};

const int8_t kx_obj_publictype[14] = {0, 1, 1, 2, 4, 0, 8, 9, 6, 0, 10, 5, 7, 3};

bool kx_obj_equal(const Value* a, const Value* b) {
  uint32_t ta = kx_tag(a), tb = kx_tag(b);
  if (ta == tb && ta > KX_TLIGHTUD) return true;                // nil, false, true compare by tag
  if (ta == tb && ta >= KX_TLUDHI) return a->w.lo == b->w.lo;    // same object or pointer
  if (tv_isnum(a) && tv_isnum(b)) return a->n == b->n;           // NaN != NaN, +0 == -0
  return false;
}
