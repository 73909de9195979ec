// Dynamic libraries through the dynamic linker.
#include "lib/dynlib.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

void* kx_dynlib_open(const char* path) { return dlopen(path, RTLD_NOW); }

void kx_dynlib_close(void* lib) { dlclose(lib); }

void* kx_dynlib_sym(void* lib, const char* name, size_t* size) {
  void* p = dlsym(lib, name);
  if (p == nullptr) return nullptr;
  Dl_info info;
  const ElfW(Sym)* sym = nullptr;
  bool sized = dladdr1(p, &info, reinterpret_cast<void**>(const_cast<ElfW(Sym)**>(&sym)), RTLD_DL_SYMENT) && sym && sym->st_size;
  *size = sized ? static_cast<size_t>(sym->st_size) : UINTPTR_MAX - reinterpret_cast<uintptr_t>(p);
  return p;
}

void* kx_dynlib_ownsym(const char* name, size_t* size) {
  void* self = dlopen(nullptr, RTLD_NOW);
  void* p = self ? kx_dynlib_sym(self, name, size) : nullptr;
  if (self) dlclose(self);
  if (p) return p;
  // The engine may live in a library of its own, loaded without exporting its symbols globally.
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&kx_dynlib_ownsym), &info) || info.dli_fname == nullptr) return nullptr;
  void* engine = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (engine == nullptr) return nullptr;
  p = kx_dynlib_sym(engine, name, size);
  dlclose(engine);
  return p;
}

void kx_dynlib_pusherror(lua_State* L) {
  const char* text = dlerror();
  if (text) lua_pushstring(L, text);
  else lua_pushfstring(L, "system error %d\n", errno);
}

bool kx_dynlib_progdir(char* buf, size_t size) {
  ssize_t n = readlink("/proc/self/exe", buf, size);
  if (n <= 0 || static_cast<size_t>(n) >= size) return false;
  buf[n] = '\0';
  char* slash = strrchr(buf, '/');
  if (slash == nullptr) return false;
  *slash = '\0';
  return true;
}
