// The memory entry points: every allocation of the engine goes through them and is counted in the
// collector's byte total.
#pragma once

#include "core/value.h"

void* kx_mem_realloc(lua_State* L, void* p, size_t old_size, size_t new_size);
GcObj* kx_mem_newgco(lua_State* L, size_t size);
// Like kx_mem_realloc, but a failure returns null (the block stays as it was) instead of raising.
void* kx_mem_tryrealloc(GlobalState* g, void* p, size_t old_size, size_t new_size);
// Frees without a lua_State (used by the collector's free functions).
void kx_mem_free(GlobalState* g, void* p, size_t size);

template <typename T>
inline T* kx_mem_newobj(lua_State* L, size_t size = sizeof(T)) {
  return static_cast<T*>(kx_mem_realloc(L, nullptr, 0, size));
}
template <typename T>
inline T* kx_mem_newvec(lua_State* L, size_t n) {
  return static_cast<T*>(kx_mem_realloc(L, nullptr, 0, n * sizeof(T)));
}
template <typename T>
inline T* kx_mem_reallocvec(lua_State* L, T* p, size_t old_n, size_t new_n) {
  return static_cast<T*>(kx_mem_realloc(L, p, old_n * sizeof(T), new_n * sizeof(T)));
}
template <typename T>
inline void kx_mem_freevec(GlobalState* g, T* p, size_t n) {
  kx_mem_free(g, p, n * sizeof(T));
}
template <typename T>
inline T* kx_mem_reallocvec(lua_State* L, Ref<T> p, size_t old_n, size_t new_n) {
  return kx_mem_reallocvec(L, p.get(), old_n, new_n);
}
template <typename T>
inline void kx_mem_freevec(GlobalState* g, Ref<T> p, size_t n) {
  kx_mem_freevec(g, p.get(), n);
}
