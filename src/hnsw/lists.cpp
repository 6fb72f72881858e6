#include "hnsw/lists.hpp"

#include <algorithm>
#include <limits>

namespace tarsim::hnsw {

template <class Id>
void ListArena<Id>::reserve_nodes(std::size_t extra) {
  // A quarter more each time: the spans are a small part of the lists, and
  // are copied seldom enough.
  if (spans_.capacity() - spans_.size() < extra) {
    spans_.reserve(spans_.size() + std::max(extra, spans_.size() / 4 + 16));
  }
}

template <class Id>
void ListArena<Id>::move_to_end(std::uint32_t node) {
  constexpr std::size_t kMostRoom = std::numeric_limits<std::uint32_t>::max();
  const std::size_t size = spans_[node].size;
  const std::size_t room = std::min(size + size / 2 + 4, kMostRoom);
  if (ids_.capacity - ids_.end < room) rebuild(std::max(room, (rooms_ + room) / 2), false);
  // Nothing below can fail.
  Span& s = spans_[node];
  const std::size_t start = ids_.end;
  std::copy_n(ids_.data + s.start, s.size, ids_.data + start);
  ids_.end += room;
  garbage_ += s.room;
  rooms_ += room - s.room;
  s.start = start;
  s.room = static_cast<std::uint32_t>(room);
}

template <class Id>
void ListArena<Id>::rebuild(std::size_t spare, bool exact) {
  std::size_t total = 0;
  for (const Span& s : spans_) total += exact ? s.size : s.room;
  Block fresh(total + spare);  // the only step that can fail
  for (Span& s : spans_) {
    std::copy_n(ids_.data + s.start, s.size, fresh.data + fresh.end);
    s.start = fresh.end;
    if (exact) s.room = s.size;
    fresh.end += s.room;
  }
  ids_.swap(fresh);
  rooms_ = total;
  garbage_ = 0;
}

template <class Id>
void ListArena<Id>::trim() {
  if (ids_.capacity - live_ > live_ / 8) rebuild(0, true);
  spans_.shrink_to_fit();
}

template <class Id>
template <class Other>
void ListArena<Id>::assign(const ListArena<Other>& other) {
  Block fresh(other.ids_.end);
  decltype(spans_) spans;
  spans.reserve(other.spans_.capacity());
  for (const auto& s : other.spans_) {
    std::copy_n(other.ids_.data + s.start, s.size, fresh.data + s.start);
    spans.push_back({s.start, s.size, s.room});
  }
  fresh.end = other.ids_.end;
  ids_.swap(fresh);
  spans_.swap(spans);
  live_ = other.live_;
  rooms_ = other.rooms_;
  garbage_ = other.garbage_;
}

template class ListArena<std::uint16_t>;
template class ListArena<std::uint32_t>;
template void ListArena<std::uint32_t>::assign(const ListArena<std::uint16_t>&);

}  // namespace tarsim::hnsw
