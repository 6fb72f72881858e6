// The neighbour lists of one layer: every node's list in one arena of ids.
//
// Lists only grow, most of them for the whole life of the index, and at any
// moment: an insertion adds an id to hundreds of lists. One allocation per
// list would keep a header, the allocator's own and a geometric tail per
// node, and the freed blocks of each growth. Here a list that fills its room
// moves to the end of the arena with half as much room again; the block it
// leaves is garbage, and when the arena has no room for a move it is rebuilt
// in node order without the garbage, with half of its lists' room to spare
// at its end. So the room stays below 1.5 times what the lists hold (plus 4
// ids a list), garbage and spare room below half the room, whatever the order
// of the links; spare room is never written before a list takes it, so it
// takes no memory. Each id appended costs about 8 ids copied. trim(), at the
// end of a bulk build, gives every list exactly the room it fills.
//
// Ids are of type Id: the graph keeps 16-bit ids while its nodes fit them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/storage.hpp"

namespace tarsim::hnsw {

template <class Id>
class ListArena {
 public:
  // Where node n's list lies: ids_[start, start + size), with room for
  // `room` ids in all.
  struct Span {
    std::uint64_t start = 0;
    std::uint32_t size = 0;
    std::uint32_t room = 0;
  };

  std::size_t nodes() const { return spans_.size(); }
  std::span<const Id> list(std::uint32_t node) const {
    const Span& s = spans_[node];
    return {ids_.data + s.start, s.size};
  }
  // For a prefetch of where node's list lies.
  const Span* span_of(std::uint32_t node) const { return spans_.data() + node; }

  // Room for `extra` more nodes, so that add_node cannot fail.
  void reserve_nodes(std::size_t extra);
  // A new node with an empty list.
  void add_node() { spans_.emplace_back(); }
  // Room for one more id in node's list. Strong guarantee: std::bad_alloc
  // leaves the arena as it was.
  void make_room(std::uint32_t node) {
    if (spans_[node].size == spans_[node].room) move_to_end(node);
  }
  // Appends `id` to node's list, which has room for it.
  void push(std::uint32_t node, Id id) {
    Span& s = spans_[node];
    ids_.data[s.start + s.size++] = id;
    ++live_;
  }
  // Every list's room cut to its size, and the arena to its lists, when
  // more than an eighth of what the arena holds is not in a list.
  void trim();
  // The same lists with ids of another type (each id fits it).
  template <class Other>
  void assign(const ListArena<Other>& other);

  // Bytes held by the ids (capacity), filled by the lists, and by the spans.
  std::size_t held_bytes() const { return ids_.capacity * sizeof(Id); }
  std::size_t used_bytes() const { return live_ * sizeof(Id); }
  std::size_t index_bytes() const { return spans_.capacity() * sizeof(Span); }

 private:
  template <class Other>
  friend class ListArena;
  void move_to_end(std::uint32_t node);
  // The lists copied in node order into a new arena with `spare` ids of
  // room at its end; `exact`: every list's room cut to its size.
  void rebuild(std::size_t spare, bool exact);

  // One block of ids, not initialised: room not yet given to a list is
  // never written, so it takes no memory until it is.
  struct Block {
    Id* data = nullptr;
    std::size_t capacity = 0;
    std::size_t end = 0;  // the end of the last list's room
    Block() = default;
    explicit Block(std::size_t n) : data(n > 0 ? MappedAllocator<Id>().allocate(n) : nullptr),
                                    capacity(n) {}
    Block(Block&& other) noexcept { swap(other); }
    Block& operator=(Block&& other) noexcept {
      swap(other);
      return *this;
    }
    ~Block() {
      if (data != nullptr) MappedAllocator<Id>().deallocate(data, capacity);
    }
    void swap(Block& other) noexcept {
      std::swap(data, other.data);
      std::swap(capacity, other.capacity);
      std::swap(end, other.end);
    }
  };

  Block ids_;
  std::vector<Span, MappedAllocator<Span>> spans_;
  std::size_t live_ = 0;     // ids in the lists
  std::size_t rooms_ = 0;    // room of all lists
  std::size_t garbage_ = 0;  // ids in blocks that no list owns
};

extern template class ListArena<std::uint16_t>;
extern template class ListArena<std::uint32_t>;

}  // namespace tarsim::hnsw
