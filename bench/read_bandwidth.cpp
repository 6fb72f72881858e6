// Sequential read bandwidth of a float64 array: the floor for an exhaustive
// scan of the same number of bytes. Usage: read_bandwidth <doubles> <repeats>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 12'800'000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 50;
  std::vector<double> data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<double>(i & 1023);
  double best = 1e30;
  double sink = 0.0;
  for (int r = 0; r < repeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    // Eight independent sums so the loop is bound by memory, not by latency.
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      for (int j = 0; j < 8; ++j) s[j] += data[i + j];
    }
    auto stop = std::chrono::steady_clock::now();
    for (double v : s) sink += v;
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  std::printf("%.6f %.1f\n", best, sink);
  return 0;
}
