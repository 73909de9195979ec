// Native calls through libffi.
//
// Each function type gets one prepared call interface, built on first use; struct types passed by
// value get a libffi description of their members, accepted only when libffi lays it out exactly as
// the type table does. Variadic calls prepare an interface per call for the arguments given.
#include "ffi/ccall.h"

#include <cerrno>

#include "core/err.h"
#include "core/gc.h"
#include "core/mem.h"
#include "ffi/cconv.h"
#include "ffi/cdata.h"

namespace {

constexpr uint32_t CACHE_BUCKETS = 64;
constexpr uint32_t MAXARGS_ONSTACK = 32;
constexpr uint32_t ARGBYTES_ONSTACK = 512;

// Engine memory is 8-byte aligned, which is all that libffi's structures need.
struct Block {
  Block* next;
  size_t size;
  uint8_t data[];
};
static_assert(offsetof(Block, data) % 8 == 0);

struct SigEntry {
  CTypeID id;
  SigEntry* next;
  bool ok;
  CallSignature sig;
};

struct StructEntry {
  CTypeID id;
  StructEntry* next;
  ffi_type* type;  // null when libffi cannot describe it
};

}  // namespace

struct CallState {
  Block* blocks;  // every allocation of the call state
  SigEntry* sigs[CACHE_BUCKETS];
  StructEntry* structs[CACHE_BUCKETS];
};

namespace {

CallState* call_state(CTypeTable* tab) {
  if (tab->calls == nullptr) {
    tab->calls = kx_mem_newobj<CallState>(tab->thread);
    memset(tab->calls, 0, sizeof(CallState));
  }
  return tab->calls;
}

void* call_alloc(CTypeTable* tab, size_t n) {
  CallState* cs = call_state(tab);
  Block* b = static_cast<Block*>(kx_mem_realloc(tab->thread, nullptr, 0, sizeof(Block) + n));
  b->next = cs->blocks;
  b->size = sizeof(Block) + n;
  cs->blocks = b;
  memset(b->data, 0, n);
  return b->data;
}

ffi_type* struct_fftype(CTypeTable* tab, CTypeID sid);

// The libffi type of a C type as a parameter or result; null when there is none.
ffi_type* fftype(CTypeTable* tab, CTypeID id, bool result) {
  CTypeEntry* ct = ctype_raw(tab, id);
  uint32_t info = ct->info;
  switch (ctype_kind(info)) {
    case CT_NUM:
      if (info & CTF_FP) return ct->size == 4 ? &ffi_type_float : ct->size == 8 ? &ffi_type_double : &ffi_type_longdouble;
      switch (ct->size) {
        case 1: return info & CTF_UNSIGNED ? &ffi_type_uint8 : &ffi_type_sint8;
        case 2: return info & CTF_UNSIGNED ? &ffi_type_uint16 : &ffi_type_sint16;
        case 4: return info & CTF_UNSIGNED ? &ffi_type_uint32 : &ffi_type_sint32;
        case 8: return info & CTF_UNSIGNED ? &ffi_type_uint64 : &ffi_type_sint64;
        default: return nullptr;
      }
    case CT_ENUM: return fftype(tab, ctype_cid(info), result);
    case CT_PTR: return &ffi_type_pointer;
    case CT_VOID: return result ? &ffi_type_void : nullptr;
    case CT_ARRAY:
      if (!(info & CTF_COMPLEX)) return nullptr;
      return ct->size == 8 ? &ffi_type_complex_float : &ffi_type_complex_double;
    case CT_STRUCT: return struct_fftype(tab, ctype_typeid(tab, ct));
    default: return nullptr;
  }
}

// The members of a struct as libffi elements (arrays as their elements); false when one cannot be
// described. elems may be null to count.
bool struct_elements(CTypeTable* tab, CTypeEntry* st, ffi_type** elems, uint32_t* n) {
  for (CTypeEntry* f = st; f->sib;) {
    f = ctype_get(tab, f->sib);
    if (ctype_isconstval(f->info)) continue;
    if (ctype_isbitfield(f->info)) return false;
    CTypeID tid = ctype_cid(f->info);
    CTypeEntry* t = ctype_raw(tab, tid);
    uint32_t count = 1;
    if (ctype_isarray(t->info) && !(t->info & (CTF_COMPLEX | CTF_VECTOR))) {
      uint32_t esize;
      kx_ctype_info(tab, ctype_cid(t->info), &esize);
      if (t->size == KX_CTSIZE_INVALID || esize == 0 || esize == KX_CTSIZE_INVALID) return false;
      count = t->size / esize;
      tid = ctype_cid(t->info);
    }
    ffi_type* ft = fftype(tab, tid, false);
    if (ft == nullptr) return false;
    for (uint32_t i = 0; i < count; i++, (*n)++)
      if (elems) elems[*n] = ft;
  }
  return true;
}

ffi_type* struct_describe(CTypeTable* tab, CTypeEntry* st) {
  uint32_t n = 0;
  if ((st->info & (CTF_UNION | CTF_VLA)) || st->size == 0 || st->size == KX_CTSIZE_INVALID) return nullptr;
  if (!struct_elements(tab, st, nullptr, &n) || n == 0) return nullptr;
  ffi_type* type = static_cast<ffi_type*>(call_alloc(tab, sizeof(ffi_type) + (n + 1) * sizeof(ffi_type*)));
  ffi_type** elems = reinterpret_cast<ffi_type**>(type + 1);
  n = 0;
  struct_elements(tab, st, elems, &n);
  type->type = FFI_TYPE_STRUCT;
  type->elements = elems;
  size_t* offsets = static_cast<size_t*>(call_alloc(tab, n * sizeof(size_t)));
  if (ffi_get_struct_offsets(FFI_DEFAULT_ABI, type, offsets) != FFI_OK) return nullptr;
  // Packed and over-aligned layouts are not libffi's.
  if (type->size != st->size || type->alignment != (1u << ctype_align(st->info))) return nullptr;
  return type;
}

ffi_type* struct_fftype(CTypeTable* tab, CTypeID sid) {
  CallState* cs = call_state(tab);
  StructEntry** bucket = &cs->structs[sid % CACHE_BUCKETS];
  for (StructEntry* e = *bucket; e; e = e->next)
    if (e->id == sid) return e->type;
  ffi_type* type = struct_describe(tab, ctype_get(tab, sid));
  StructEntry* e = static_cast<StructEntry*>(call_alloc(tab, sizeof(StructEntry)));
  e->id = sid;
  e->type = type;
  e->next = *bucket;
  *bucket = e;
  return type;
}

// The libffi calling convention of a function type; false for one libffi does not offer.
bool call_abi(uint32_t finfo, ffi_abi* abi) {
  if (((finfo >> CTSHIFT_REGPARM) & CTMASK_REGPARM) || (finfo & CTF_SSEREGPARM)) return false;
#if KX_64
  *abi = FFI_DEFAULT_ABI;
#else
  static const ffi_abi abis[4] = {FFI_SYSV, FFI_THISCALL, FFI_FASTCALL, FFI_STDCALL};
  *abi = abis[ctype_cconv(finfo)];
#endif
  return true;
}

bool signature_build(CTypeTable* tab, CTypeEntry* ft, CallSignature* sig) {
  uint32_t n = 0;
  for (CTypeEntry* p = ft; p->sib && ctype_isfield(ctype_get(tab, p->sib)->info); p = ctype_get(tab, p->sib)) n++;
  ffi_abi abi;
  if (!call_abi(ft->info, &abi)) return false;
  ffi_type* rtype = fftype(tab, ctype_cid(ft->info), true);
  if (rtype == nullptr) return false;
  sig->atypes = static_cast<ffi_type**>(call_alloc(tab, (n + 1) * sizeof(ffi_type*)));
  sig->nargs = n;
  CTypeEntry* p = ft;
  for (uint32_t i = 0; i < n; i++) {
    p = ctype_get(tab, p->sib);
    if ((sig->atypes[i] = fftype(tab, ctype_cid(p->info), false)) == nullptr) return false;
  }
  return ffi_prep_cif(&sig->cif, abi, n, rtype, sig->atypes) == FFI_OK;
}

// The type a variadic argument is passed as: C data as their own type (arrays, structs and functions
// as pointers, small integers as int, float as double), numbers as double, strings as const char *,
// booleans as int, nil and userdata as void *.
CTypeID vararg_type(CTypeTable* tab, const Value* o) {
  if (tv_isnum(o)) return CTID_DOUBLE;
  if (tv_isstr(o)) return CTID_P_CCHAR;
  if (tv_isbool(o)) return CTID_INT32;
  if (!tv_iscdata(o)) return CTID_P_VOID;
  CTypeID id = cdataV(o)->ctype_id;
  CTypeEntry* ct = ctype_raw(tab, id);
  if (ctype_isref(ct->info)) {
    id = ctype_cid(ct->info);
    ct = ctype_raw(tab, id);
  }
  uint32_t info = ct->info;
  auto ptr_to = [&](CTypeID target) {
    return kx_ctype_intern(tab, ctinfo(CT_PTR, ctype_alignflag(KX_CTALIGN_PTR) | target), KX_CTSIZE_PTR);
  };
  if (ctype_isarray(info) && !(info & (CTF_COMPLEX | CTF_VECTOR))) return ptr_to(ctype_cid(info));
  if (ctype_isstruct(info) || ctype_isfunc(info)) return ptr_to(id);
  if (ctype_isnum(info) && (info & CTF_FP) && ct->size == 4) return CTID_DOUBLE;
  if (ctype_isenum(info) || (ctype_isnum(info) && !(info & CTF_FP) && ct->size < 4)) return CTID_INT32;
  return id;
}

[[noreturn]] void call_nyi(lua_State* L) { kx_err_callerv(L, KX_ERR_FfiCannotCall); }

}  // namespace

const CallSignature* kx_ccall_signature(CTypeTable* tab, CTypeID fid) {
  CallState* cs = call_state(tab);
  SigEntry** bucket = &cs->sigs[fid % CACHE_BUCKETS];
  for (SigEntry* e = *bucket; e; e = e->next)
    if (e->id == fid) return e->ok ? &e->sig : nullptr;
  SigEntry* e = static_cast<SigEntry*>(call_alloc(tab, sizeof(SigEntry)));
  e->id = fid;
  e->ok = signature_build(tab, ctype_get(tab, fid), &e->sig);
  e->next = *bucket;
  *bucket = e;
  return e->ok ? &e->sig : nullptr;
}

int kx_ccall(lua_State* L, CTypeTable* tab, GcCdata* cd) {
  CTypeEntry* ct = ctype_raw(tab, cd->ctype_id);
  CTypeEntry* ft = ctype_isfunc(ct->info) ? ct : ctype_child(tab, ct);
  CTypeID fid = ctype_typeid(tab, ft);
  void* fn;
  memcpy(&fn, cdataptr(cd), sizeof(fn));
  const CallSignature* sig = kx_ccall_signature(tab, fid);
  if (sig == nullptr) call_nyi(L);
  uint32_t nargs = static_cast<uint32_t>(L->top - L->base) - 1;
  bool vararg = (ft->info & CTF_VARARG) != 0;
  if (nargs < sig->nargs || (nargs > sig->nargs && !vararg)) kx_err_caller(L, KX_ERR_FfiCallArgCount);

  // The argument types, then room for each argument.
  ffi_type* types_onstack[MAXARGS_ONSTACK];
  void* values_onstack[MAXARGS_ONSTACK];
  alignas(16) uint8_t bytes_onstack[ARGBYTES_ONSTACK];
  CTypeID vtypes_onstack[MAXARGS_ONSTACK];
  ffi_type** types = types_onstack;
  void** values = values_onstack;
  CTypeID* vtypes = vtypes_onstack;
  uint8_t* bytes = bytes_onstack;
  if (nargs > MAXARGS_ONSTACK) {
    size_t room = nargs * (sizeof(ffi_type*) + sizeof(void*) + sizeof(CTypeID));
    GcUdata* ud = kx_udata_new(L, static_cast<uint32_t>(room), L->env);
    setudataV(L->top, ud);
    kx_state_incr_top(L);
    types = static_cast<ffi_type**>(uddata(ud));
    values = reinterpret_cast<void**>(types + nargs);
    vtypes = reinterpret_cast<CTypeID*>(values + nargs);
  }
  size_t total = 0;
  CTypeEntry* p = ft;
  for (uint32_t i = 0; i < nargs; i++) {
    if (i < sig->nargs) {
      p = ctype_get(tab, p->sib);
      vtypes[i] = ctype_cid(p->info);
      types[i] = sig->atypes[i];
    } else {
      vtypes[i] = vararg_type(tab, L->base + 1 + i);
      if ((types[i] = fftype(tab, vtypes[i], false)) == nullptr) call_nyi(L);
    }
    total += (types[i]->size + 15) & ~size_t(15);
  }
  if (total > ARGBYTES_ONSTACK) {
    GcUdata* ud = kx_udata_new(L, static_cast<uint32_t>(total + 16), L->env);
    setudataV(L->top, ud);
    kx_state_incr_top(L);
    bytes = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(uddata(ud)) + 15) & ~uintptr_t(15));
  }
  for (uint32_t i = 0, ofs = 0; i < nargs; i++) {
    values[i] = bytes + ofs;
    kx_cconv_ct_tv(tab, ctype_raw(tab, vtypes[i]), bytes + ofs, L->base + 1 + i, ccf_arg(i + 1));
    ofs += static_cast<uint32_t>((types[i]->size + 15) & ~size_t(15));
  }

  ffi_cif varcif;
  const ffi_cif* cif = &sig->cif;
  if (nargs > sig->nargs) {
    if (ffi_prep_cif_var(&varcif, sig->cif.abi, sig->nargs, nargs, sig->cif.rtype, types) != FFI_OK) call_nyi(L);
    cif = &varcif;
  }
  CTypeID rid = ctype_cid(ft->info);
  CTypeEntry* rt = ctype_raw(tab, rid);
  // Results in registers may be stored in whole registers: small structs go through rbuf.
  alignas(16) uint8_t rbuf[32];
  void* rvalue = rbuf;
  GcCdata* res = nullptr;
  if (cif->rtype->type == FFI_TYPE_STRUCT) {
    res = kx_cdata_newx(tab, rid, rt->size, rt->info);
    setcdataV(L->top, res);
    kx_state_incr_top(L);
    if (rt->size > sizeof(rbuf)) rvalue = cdataptr(res);
  }
  errno = tab->saved_errno;
  ffi_call(const_cast<ffi_cif*>(cif), FFI_FN(fn), rvalue, values);
  tab->saved_errno = errno;
  if (res) {
    if (rvalue == rbuf) memcpy(cdataptr(res), rbuf, rt->size);
    return 1;
  }
  if (cif->rtype->type == FFI_TYPE_VOID) return 0;
  Value v;
  bool created = kx_cconv_tv_ct(tab, rt, rid, &v, rbuf);
  copyV(L->top, &v);
  kx_state_incr_top(L);
  if (created) kx_gc_check(L);
  return 1;
}

void kx_ccall_freestate(GlobalState* g, CTypeTable* tab) {
  CallState* cs = tab->calls;
  if (cs == nullptr) return;
  for (Block* b = cs->blocks; b;) {
    Block* next = b->next;
    kx_mem_free(g, b, b->size);
    b = next;
  }
  kx_mem_free(g, cs, sizeof(CallState));
  tab->calls = nullptr;
}
