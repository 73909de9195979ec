#include "core/prng.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

// One step of generator word z with parameters (k, q, s).
template <int k, int q, int s>
static inline uint64_t tw_step(uint64_t z) {
  return (((z << q) ^ z) >> (k - s)) ^ ((z & (~0ull << (64 - k))) << s);
}

uint64_t kx_prng_u64(PrngState* rs) {
  uint64_t* z = rs->u;
  z[0] = tw_step<63, 31, 18>(z[0]);
  z[1] = tw_step<58, 19, 28>(z[1]);
  z[2] = tw_step<55, 24, 7>(z[2]);
  z[3] = tw_step<47, 21, 8>(z[3]);
  return z[0] ^ z[1] ^ z[2] ^ z[3];
}

uint64_t kx_prng_u64d(PrngState* rs) {
  return (kx_prng_u64(rs) & 0x000fffffffffffffull) | 0x3ff0000000000000ull;
}

static bool read_urandom(void* buf, size_t len) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, static_cast<char*>(buf) + got, len - got);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == len;
}

static bool secure_random(void* buf, size_t len) {
  int saved_errno = errno;
  ssize_t n;
  do {
    n = getrandom(buf, len, 0);
  } while (n < 0 && errno == EINTR);
  bool ok = (n == static_cast<ssize_t>(len)) || read_urandom(buf, len);
  errno = saved_errno;
  return ok;
}

bool kx_prng_seed_secure(PrngState* rs) {
  if (!secure_random(rs->u, sizeof(rs->u))) return false;
  // Each generator word needs some high bits set to run with full period.
  if (rs->u[0] < (1u << 1)) rs->u[0] += (1u << 1);
  if (rs->u[1] < (1u << 6)) rs->u[1] += (1u << 6);
  if (rs->u[2] < (1u << 9)) rs->u[2] += (1u << 9);
  if (rs->u[3] < (1u << 17)) rs->u[3] += (1u << 17);
  kx_prng_u64(rs);
  return true;
}
