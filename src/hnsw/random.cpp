// The per-thread generator that draws node levels.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include "hnsw/random.hpp"

namespace tarsim::hnsw {

RandomSource::~RandomSource() = default;

namespace {

bool read_fully(int fd, unsigned char* out, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    ssize_t r = ::read(fd, out + got, length - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// Fills `out` from the operating system: getrandom() when the kernel has it,
// otherwise /dev/urandom once /dev/random reports that the pool is ready.
bool os_random(unsigned char* out, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    ssize_t r = ::getrandom(out + got, length - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(r);
  }
  if (got == length) return true;

  int ready = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
  if (ready >= 0) {
    pollfd p{ready, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    ::close(ready);
  }
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = read_fully(fd, out, length);
  ::close(fd);
  return ok;
}

class ThreadGenerator final : public RandomSource {
 public:
  ThreadGenerator() {
    std::uint32_t words[8];
    if (!os_random(reinterpret_cast<unsigned char*>(words), sizeof words)) {
      // No usable OS source: mix what the process has at hand.
      auto now = static_cast<std::uint64_t>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count());
      auto here = reinterpret_cast<std::uintptr_t>(this);
      try {
        std::random_device device;
        for (std::uint32_t& w : words) w = device();
      } catch (...) {
        std::memset(words, 0, sizeof words);
      }
      words[0] ^= static_cast<std::uint32_t>(now);
      words[1] ^= static_cast<std::uint32_t>(now >> 32);
      words[2] ^= static_cast<std::uint32_t>(here);
    }
    std::seed_seq seq(std::begin(words), std::end(words));
    engine_.seed(seq);
  }

  double next_uniform() override { return static_cast<double>(engine_() >> 11) * 0x1p-53; }

 private:
  std::mt19937_64 engine_;
};

}  // namespace

RandomSource& thread_random() {
  thread_local ThreadGenerator generator;
  return generator;
}

}  // namespace tarsim::hnsw
