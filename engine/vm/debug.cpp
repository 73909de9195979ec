// Debug information.
#include "vm/debug.h"

#include <cstring>

#include "core/str.h"

void kx_debug_shortname(char* out, const GcString* chunk_name, int32_t first_line) {
  const char* src = strdata(chunk_name);
  uint32_t len = chunk_name->len;
  if (src[0] == '=') {
    uint32_t n = len - 1 < KX_SHORTNAME_SIZE - 1 ? len - 1 : KX_SHORTNAME_SIZE - 1;
    memcpy(out, src + 1, n);
    out[n] = '\0';
    return;
  }
  if (src[0] == '@') {
    uint32_t n = len - 1;
    if (n < KX_SHORTNAME_SIZE) {
      memcpy(out, src + 1, n);
      out[n] = '\0';
    } else {
      // Keep the end of a long path: it names the file.
      memcpy(out, "...", 3);
      memcpy(out + 3, src + len - 56, 56);
      out[59] = '\0';
    }
    return;
  }
  // Source text: its first line, cut to fit.
  uint32_t n = 0;
  while (n < len && n < 48 && static_cast<uint8_t>(src[n]) >= 32) n++;
  bool builtin = first_line == -1;
  const char* open = builtin ? "[builtin:" : "[string \"";
  memcpy(out, open, 9);
  char* p = out + 9;
  if (n < len) {
    if (n > 45) n = 45;
    memcpy(p, src, n);
    memcpy(p + n, "...", 3);
    p += n + 3;
  } else {
    memcpy(p, src, n);
    p += n;
  }
  if (!builtin) *p++ = '"';
  *p++ = ']';
  *p = '\0';
}
