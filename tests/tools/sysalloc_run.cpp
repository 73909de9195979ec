// A benchmark tool, not part of tarnel: runs a script like tarnel does, but on an instance that uses
// the C library's allocator instead of the engine's arena, so the two can be compared.
#include <cstdlib>

#include "lualib.h"
#include "runner/run.h"

static void* system_alloc(void*, void* ptr, size_t, size_t nsize) {
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  return realloc(ptr, nsize);
}

static lua_State* system_alloc_state() { return lua_newstate(system_alloc, nullptr); }

int main(int argc, char** argv) { return tarnel_run(argc, argv, system_alloc_state); }
