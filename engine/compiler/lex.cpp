#include "compiler/lex.h"

#include "core/state.h"
#include "core/str.h"

static const char* const token_names[] = {
#define TKSTR1(name) #name,
#define TKSTR2(name, sym) #sym,
    KX_TOKDEF(TKSTR1, TKSTR2)
#undef TKSTR1
#undef TKSTR2
};

void kx_lex_init(lua_State* L) {
  for (uint32_t i = 0; i < KX_TK_RESERVED; i++) {
    GcString* s = kx_str_newz(L, token_names[i]);
    s->gc_marks |= KX_GC_FIXED;
    s->reserved = static_cast<uint8_t>(i + 1);
  }
}

const char* kx_lex_token2str(int32_t tok) {
  if (tok > KX_TK_OFS) return token_names[tok - KX_TK_OFS - 1];
  return nullptr;
}
