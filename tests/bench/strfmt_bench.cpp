// Per-call cost of the default number text (%.14g) and of decimal scanning, next to the C library's
// snprintf and strtod. Not a test: run it by hand from the build directory (tests/strfmt_bench).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/strfmt.h"
#include "core/strscan.h"

namespace {

constexpr int kCount = 200000;
constexpr int kRounds = 5;

// Three kinds of numbers a program prints: integers, short decimals and full-precision doubles.
std::vector<double> sample_numbers(int kind) {
  std::mt19937_64 rng(42 + kind);
  std::vector<double> v(kCount);
  for (double& x : v) {
    if (kind == 0) {
      x = double(int64_t(rng() % 2000000) - 1000000);
    } else if (kind == 1) {
      x = double(int64_t(rng() % 2000000) - 1000000) / 100.0;
    } else {
      uint64_t bits = (rng() & 0x800fffffffffffffull) | (uint64_t(rng() % 2000 + 24) << 52);
      memcpy(&x, &bits, 8);
    }
  }
  return v;
}

// Best time per call over several rounds, in nanoseconds.
template <typename F>
double time_per_call(F&& f) {
  double best = 1e30;
  for (int r = 0; r < kRounds; r++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / kCount;
    if (ns < best) best = ns;
  }
  return best;
}

volatile uint64_t sink;

void bench_format(const char* label, const std::vector<double>& v) {
  char buf[64];
  double ours = time_per_call([&] {
    uint64_t s = 0;
    for (double x : v) s += kx_strfmt_wfnum(nullptr, KX_STRFMT_G14, x, buf) - buf;
    sink = s;
  });
  double libc = time_per_call([&] {
    uint64_t s = 0;
    for (double x : v) s += snprintf(buf, sizeof(buf), "%.14g", x);
    sink = s;
  });
  printf("format %%.14g  %-22s engine %7.1f ns   snprintf %7.1f ns   ratio %.2f\n", label, ours, libc, ours / libc);
}

void bench_scan(const char* label, const std::vector<double>& v, const char* fmt) {
  std::vector<std::string> texts;
  for (double x : v) {
    char buf[64];
    snprintf(buf, sizeof(buf), fmt, x);
    texts.emplace_back(buf);
  }
  double ours = time_per_call([&] {
    uint64_t s = 0;
    Value out;
    for (const std::string& t : texts) {
      kx_strscan_scan(reinterpret_cast<const uint8_t*>(t.data()), t.size(), &out, KX_STRSCAN_OPT_TONUM);
      s += out.u64;
    }
    sink = s;
  });
  double libc = time_per_call([&] {
    uint64_t s = 0;
    for (const std::string& t : texts) {
      double d = strtod(t.c_str(), nullptr);
      uint64_t bits;
      memcpy(&bits, &d, 8);
      s += bits;
    }
    sink = s;
  });
  printf("scan   %-6s %-22s engine %7.1f ns   strtod   %7.1f ns   ratio %.2f\n", fmt, label, ours, libc, ours / libc);
}

}  // namespace

int main() {
  const char* labels[] = {"integers", "two decimals", "full-precision doubles"};
  for (int kind = 0; kind < 3; kind++) bench_format(labels[kind], sample_numbers(kind));
  for (int kind = 0; kind < 3; kind++) bench_scan(labels[kind], sample_numbers(kind), "%.14g");
  bench_scan(labels[2], sample_numbers(2), "%.17g");
  return 0;
}
