// The metatable of C data objects.
#include "ffi/cmeta.h"

#include "core/buf.h"
#include "core/str.h"
#include "core/strfmt.h"
#include "ffi/cdata.h"
#include "lib/lib.h"
#include "lib/libdef.h"
#include "vm/err.h"

namespace {

GcCdata* meta_checkcdata(lua_State* L, int narg) {
  const Value* o = L->base + narg - 1;
  if (o >= L->top || !tv_iscdata(o)) kx_err_argtype(L, narg, "cdata");
  return cdataV(o);
}

// An address as "0x" and at least eight hexadecimal digits.
void put_address(StrBuf* sb, uint64_t a) {
  char buf[18];
  int n = 0;
  do buf[n++] = "0123456789abcdef"[a & 15];
  while ((a >>= 4) != 0 || n < 8);
  kx_buf_putmem(sb, "0x", 2);
  while (n) kx_buf_putchar(sb, buf[--n]);
}

int kx_cf_ffi_meta___tostring(lua_State* L) {
  GcCdata* cd = meta_checkcdata(L, 1);
  CTypeTable* tab = kx_ctype_cts(L);
  CTypeID id = cd->ctype_id;
  if (id == CTID_CTYPEID) {
    GcString* s = kx_ctype_repr(L, *static_cast<uint32_t*>(cdataptr(cd)), nullptr);
    kx_strfmt_pushf(L, "ctype<%s>", strdata(s));
    return 1;
  }
  GcString* s = kx_ctype_repr(L, id, nullptr);
  StrBuf* sb = kx_buf_tmp(L);
  kx_buf_putcstr(sb, "cdata<");
  kx_buf_putstr(sb, s);
  kx_buf_putcstr(sb, ">: ");
  void* p = cdataptr(cd);
  if (ctype_isptr(ctype_raw(tab, id)->info)) memcpy(&p, p, sizeof(p));
  put_address(sb, reinterpret_cast<uintptr_t>(p));
  setstrV(L->top, kx_buf_tostr(sb));
  kx_state_incr_top(L);
  return 1;
}

KX_LIBDEF(kx_lib_init_ffi_meta, R"(168 57 19
  C __index C __newindex C __eq C __len C __lt C __le C __concat C __call C __add C __sub C __mul C __div
  C __mod C __pow C __unm C __tostring C __pairs C __ipairs str ffi str __metatable set
)");

const lua_CFunction kx_lib_cf_ffi_meta[] = {
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt,
    kx_lib_notbuilt, kx_lib_notbuilt, kx_lib_notbuilt, kx_cf_ffi_meta___tostring, kx_lib_notbuilt,
    kx_lib_notbuilt,
};

}  // namespace

void kx_cmeta_register(lua_State* L) { kx_lib_register(L, nullptr, kx_lib_init_ffi_meta.data(), kx_lib_cf_ffi_meta); }
