// A way for a long operation to learn that its caller wants it stopped.
//
// The operation reports the work it does (about one unit per value read or
// copied); once kPollWork units have passed since the last poll it asks the
// hook. A hook that answers true ends the operation the way any other error
// ends it: what was stored stays, every structure is consistent, and the
// operation returns its `Interrupted` error. The caller's hook keeps the
// reason (for example a pending exception) for itself.
#pragma once

#include <cstddef>

namespace tarsim {

class Interrupt {
 public:
  // Work between two polls: small enough that a poll comes every few tens of
  // microseconds in a scan, large enough that its cost is lost in the work.
  static constexpr std::size_t kPollWork = std::size_t{1} << 16;

  Interrupt() = default;  // never stops
  Interrupt(bool (*stop)(void* context), void* context) : stop_(stop), context_(context) {}

  // Counts `work` more units; true when a poll was due and the hook asked
  // to stop.
  bool after(std::size_t work) {
    if (stop_ == nullptr) return false;
    done_ += work;
    if (done_ < kPollWork) return false;
    done_ = 0;
    return stop_(context_);
  }

 private:
  bool (*stop_)(void*) = nullptr;
  void* context_ = nullptr;
  std::size_t done_ = 0;
};

}  // namespace tarsim
