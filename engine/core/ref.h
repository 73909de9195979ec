// References to engine memory. All engine memory (every collectable object, stack and block that a
// value or another object points into) lies below 4 GiB, so a reference is 32 bits on every build.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#define KX_64 1
#elif defined(__i386__)
#define KX_64 0
#else
#error "the engine is built for x86-64 or i386"
#endif

// Whether an address fits a reference: all engine memory lies below 4 GiB.
inline bool kx_ref_fits(const void* p) { return (reinterpret_cast<uintptr_t>(p) >> 31 >> 1) == 0; }

// A reference to engine memory, 32 bits on every build: the address itself, zero-extended on use.
// It converts to and from the plain pointer, and steps like one where it names a stack slot.
// It has no constructors, so it may sit in the anonymous structures of object layouts.
template <typename T>
struct Ref {
  uint32_t bits;

  T* get() const { return reinterpret_cast<T*>(static_cast<uintptr_t>(bits)); }
  operator T*() const { return get(); }
  T* operator->() const { return get(); }
  Ref& operator=(T* p) {
#if defined(KX_SANITIZE)
    if (!kx_ref_fits(p)) __builtin_trap();  // a checking build stops at a truncated reference
#endif
    bits = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
    return *this;
  }
  Ref& operator=(std::nullptr_t) {
    bits = 0;
    return *this;
  }

  Ref& operator+=(ptrdiff_t n) { return *this = get() + n; }
  Ref& operator-=(ptrdiff_t n) { return *this = get() - n; }
  Ref& operator++() { return *this += 1; }
  Ref& operator--() { return *this -= 1; }
  T* operator++(int) {
    T* old = get();
    *this += 1;
    return old;
  }
  T* operator--(int) {
    T* old = get();
    *this -= 1;
    return old;
  }
};
static_assert(sizeof(Ref<int>) == 4);

// The reference bits of an address in engine memory.
inline uint32_t kx_ref_bits(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
