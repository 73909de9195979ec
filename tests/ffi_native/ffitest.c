/* Functions that the ffi tests call from scripts: every scalar type, structs by value (the x86-64
 * classification cases), variadic functions, callbacks, variables and, on i386, the four calling
 * conventions. Each direct_<name> function calls <name> from C with fixed arguments, so a script can
 * compare its own call with the C compiler's. */
#include <complex.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

/* ---- Scalars ---------------------------------------------------------------------------------- */

EXPORT int8_t ft_i8(int8_t a, int8_t b) { return (int8_t)(a * b); }
EXPORT uint8_t ft_u8(uint8_t a, uint8_t b) { return (uint8_t)(a + b); }
EXPORT int16_t ft_i16(int16_t a, int16_t b) { return (int16_t)(a - b); }
EXPORT uint16_t ft_u16(uint16_t a, uint16_t b) { return (uint16_t)(a * b); }
EXPORT int32_t ft_i32(int32_t a, int32_t b) { return (int32_t)((uint32_t)a * (uint32_t)b - 1u); }
EXPORT uint32_t ft_u32(uint32_t a, uint32_t b) { return a - b; }
EXPORT int64_t ft_i64(int64_t a, int64_t b) { return a * b; }
EXPORT uint64_t ft_u64(uint64_t a, uint64_t b) { return a + b; }
EXPORT float ft_f(float a, float b) { return a / b; }
EXPORT double ft_d(double a, double b) { return a / b; }
EXPORT long double ft_ld(long double a, long double b) { return a / b; }
EXPORT bool ft_bool(bool a, int b) { return a && b > 0; }
EXPORT long ft_long(long a, unsigned long b) { return a - (long)b; }
EXPORT size_t ft_size(const char *s) { return strlen(s) * 2; }
EXPORT char *ft_ptr(char *p, int n) { return p + n; }
EXPORT float complex ft_cf(float complex a) { return a * 2.0f; }
EXPORT double complex ft_cd(double complex a, double complex b) { return a * b; }
EXPORT void ft_void(int *out, int v) { *out = v; }
/* More arguments than registers, integers and floating values interleaved. */
EXPORT double ft_many(int a, double b, int c, float d, long long e, double f, char g, double h, int i,
                      double j, double k, double l, short m, double n, unsigned char o, double p) {
  return a + b * 2 + c * 3 + d * 4 + (double)e * 5 + f * 6 + g * 7 + h * 8 + i * 9 + j * 10 + k * 11 + l * 12 +
         m * 13 + n * 14 + o * 15 + p * 16;
}

EXPORT void direct_i8(int8_t *r) { *r = ft_i8(-7, 9); }
EXPORT void direct_u8(uint8_t *r) { *r = ft_u8(200, 100); }
EXPORT void direct_i16(int16_t *r) { *r = ft_i16(-30000, 10000); }
EXPORT void direct_u16(uint16_t *r) { *r = ft_u16(300, 300); }
EXPORT void direct_i32(int32_t *r) { *r = ft_i32(-46341, 46341); }
EXPORT void direct_u32(uint32_t *r) { *r = ft_u32(1, 2); }
EXPORT void direct_i64(int64_t *r) { *r = ft_i64(-4294967296LL, 3); }
EXPORT void direct_u64(uint64_t *r) { *r = ft_u64(18446744073709551615ULL, 2); }
EXPORT void direct_f(float *r) { *r = ft_f(1.0f, 3.0f); }
EXPORT void direct_d(double *r) { *r = ft_d(1.0, 3.0); }
EXPORT void direct_ld(long double *r) { *r = ft_ld(1.0L, 3.0L); }
EXPORT void direct_many(double *r) {
  *r = ft_many(1, 2.5, -3, 4.25f, 5000000000LL, 6.5, 'A', 8.125, -9, 10.5, 11.75, 12.5, -13, 14.5, 250, 16.25);
}

/* ---- Structs by value ------------------------------------------------------------------------- */

struct s_int { int a; };                       /* INTEGER */
struct s_intflt { int a; float b; };           /* INTEGER: both in one eightbyte */
struct s_dbl { double a; };                    /* SSE */
struct s_flt2 { float a, b; };                 /* SSE: two floats in one eightbyte */
struct s_dblint { double a; int b; };          /* SSE, INTEGER */
struct s_intdbl { int a; double b; };          /* INTEGER, SSE */
struct s_flt3 { float a, b, c; };              /* SSE, SSE */
struct s_chr3 { char c[3]; };                  /* a small INTEGER */
struct s_ll2 { long long a, b; };              /* INTEGER, INTEGER */
struct s_dbl2 { double a, b; };                /* SSE, SSE */
struct s_big { int a[5]; double d; };          /* MEMORY */
struct s_nest { struct s_flt2 f; int i; };     /* a nested struct: SSE, INTEGER */

#define STRUCT_FUNCS(T, ARG, BODY)                                \
  EXPORT struct T ft_##T(struct T x, int k) { BODY return x; }    \
  EXPORT void direct_##T(struct T *r) {                           \
    struct T x = ARG;                                             \
    *r = ft_##T(x, 3);                                            \
  }

STRUCT_FUNCS(s_int, {7}, x.a += k;)
STRUCT_FUNCS(s_intflt, ((struct s_intflt){7, 1.5f}), x.a += k; x.b *= (float)k;)
STRUCT_FUNCS(s_dbl, {2.25}, x.a *= k;)
STRUCT_FUNCS(s_flt2, ((struct s_flt2){1.5f, -2.5f}), x.a += (float)k; x.b -= (float)k;)
STRUCT_FUNCS(s_dblint, ((struct s_dblint){0.5, 40}), x.a /= k; x.b += k;)
STRUCT_FUNCS(s_intdbl, ((struct s_intdbl){40, 0.5}), x.a -= k; x.b += k;)
STRUCT_FUNCS(s_flt3, ((struct s_flt3){1, 2, 3}), x.a *= (float)k; x.b *= (float)k; x.c *= (float)k;)
STRUCT_FUNCS(s_chr3, ((struct s_chr3){{'a', 'b', 'c'}}), x.c[0] += k; x.c[2] -= k;)
STRUCT_FUNCS(s_ll2, ((struct s_ll2){1LL << 40, -5}), x.a += k; x.b *= k;)
STRUCT_FUNCS(s_dbl2, ((struct s_dbl2){1.25, 2.5}), x.a += k; x.b *= k;)
STRUCT_FUNCS(s_big, ((struct s_big){{1, 2, 3, 4, 5}, 6.5}), x.a[0] += k; x.a[4] *= k; x.d -= k;)
STRUCT_FUNCS(s_nest, ((struct s_nest){{1.5f, 2.5f}, 9}), x.f.b += (float)k; x.i *= k;)

/* A struct with a pointer to fill, and one of many members. */
EXPORT int ft_sum_big(const struct s_big *p) { return p->a[0] + p->a[1] + p->a[2] + p->a[3] + p->a[4] + (int)p->d; }

/* ---- Variadic functions ------------------------------------------------------------------------- */

EXPORT int ft_isum(int n, ...) {
  va_list ap;
  va_start(ap, n);
  int s = 0;
  for (int i = 0; i < n; i++) s += va_arg(ap, int);
  va_end(ap);
  return s;
}

/* Arguments described by a format: i int, l long long, d double, s string, p pointer (its first int). */
EXPORT double ft_vmix(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  double s = 0;
  for (const char *f = fmt; *f; f++) {
    switch (*f) {
      case 'i': s += va_arg(ap, int); break;
      case 'l': s += (double)va_arg(ap, long long); break;
      case 'd': s += va_arg(ap, double); break;
      case 's': s += (double)strlen(va_arg(ap, const char *)); break;
      case 'p': s += *va_arg(ap, int *); break;
    }
  }
  va_end(ap);
  return s;
}

EXPORT void direct_vmix(double *r) {
  int v = 100;
  *r = ft_vmix("idlsp", 3, 2.5, 1LL << 33, "four", &v);
}

/* ---- Callbacks ---------------------------------------------------------------------------------- */

EXPORT int ft_apply(int (*f)(int, int), int a, int b) { return f(a, b) + f(b, a); }
EXPORT double ft_apply_mixed(double (*f)(double, float, int64_t, uint8_t), double a) {
  return f(a, 1.5f, 1LL << 40, 255) * 2;
}
EXPORT struct s_dblint ft_apply_struct(struct s_dblint (*f)(struct s_dblint), double a, int b) {
  struct s_dblint x = {a, b};
  return f(x);
}
EXPORT int ft_repeat(void (*f)(int), int n) {
  for (int i = 0; i < n; i++) f(i);
  return n;
}
EXPORT const char *ft_apply_str(const char *(*f)(const char *)) { return f("from C"); }
EXPORT bool ft_apply_bool(bool (*f)(bool)) { return f(true) && !f(false); }

/* ---- Variables ---------------------------------------------------------------------------------- */

EXPORT int ft_counter = 5;
EXPORT double ft_scale = 0.5;
EXPORT const char *ft_name = "ffitest";
EXPORT struct s_dbl2 ft_pair = {3.5, 4.5};
EXPORT int ft_read_counter(void) { return ft_counter; }

/* ---- Calling conventions (i386) --------------------------------------------------------------------- */

#if defined(__i386__)
EXPORT int __attribute__((stdcall)) ft_stdcall(int a, double b, long long c) { return a + (int)b + (int)c; }
EXPORT int __attribute__((fastcall)) ft_fastcall(int a, int b, int c) { return a * 100 + b * 10 + c; }
EXPORT int __attribute__((thiscall)) ft_thiscall(int self, int a, double b) { return self - a + (int)b; }
EXPORT long long __attribute__((stdcall)) ft_stdcall64(long long a, int b) { return a * b; }
EXPORT int __attribute__((cdecl)) ft_cdecl(int a, int b) { return a - b; }
EXPORT void direct_conventions(int *r) {
  r[0] = ft_stdcall(1, 2.5, 3);
  r[1] = ft_fastcall(4, 5, 6);
  r[2] = ft_thiscall(10, 3, 7.5);
  r[3] = ft_cdecl(9, 4);
}
#endif
