// Working state of the layer searches of one operation, and the pool that
// keeps it between operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "hnsw/order.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::hnsw {

// An allocator that adds the bytes it hands out to a count and takes them
// off when they are given back, so that a scratch set knows what it holds.
template <class T>
class Counted {
 public:
  using value_type = T;
  explicit Counted(std::size_t* bytes) noexcept : bytes_(bytes) {}
  template <class U>
  Counted(const Counted<U>& other) noexcept : bytes_(other.bytes_) {}
  T* allocate(std::size_t n) {
    T* p = std::allocator<T>().allocate(n);
    *bytes_ += n * sizeof(T);
    return p;
  }
  void deallocate(T* p, std::size_t n) noexcept {
    *bytes_ -= n * sizeof(T);
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const Counted<U>& other) const noexcept {
    return bytes_ == other.bytes_;
  }

 private:
  template <class U>
  friend class Counted;
  std::size_t* bytes_;
};

// One byte per node marks the visited nodes with the walk's stamp: a small
// array stays in the first-level cache, and a new walk only takes the next
// stamp. The array is cleared when the stamps wrap, after 255 walks.
//
// Every array of the set is a Buffer, made by buffer(): its allocations are
// counted in held_, so memory_bytes() covers whatever the set holds.
struct SearchScratch {
 private:
  std::size_t held_ = 0;  // bytes held by the buffers; first, so it exists before them

 public:
  template <class T>
  using Buffer = std::vector<T, Counted<T>>;

  SearchScratch() = default;
  // The buffers count into this set's own held_.
  SearchScratch(const SearchScratch&) = delete;
  SearchScratch& operator=(const SearchScratch&) = delete;

  Buffer<std::uint8_t> visit_stamps = buffer<std::uint8_t>();
  std::uint8_t visit_stamp = 0;
  // filter_stamps[n] == visit_stamp: node n failed the walk's filter.
  Buffer<std::uint8_t> filter_stamps = buffer<std::uint8_t>();
  // The walk's candidates as a heap of keys (see candidate_key).
  Buffer<CandidateKey> candidates = buffer<CandidateKey>();
  // The new neighbours of one expanded node and their distances.
  Buffer<std::uint32_t> batch_ids = buffer<std::uint32_t>();
  Buffer<double> batch_distances = buffer<double>();
  // The operation's query prepared for the sketch bounds, and whether the
  // record, the code and the axis code bounds are in use; the axis codes'
  // thresholds, one per block of 64 axes.
  sketch::Query sketched;
  bool bounding = false;
  bool coding = false;
  bool axis_coding = false;
  std::vector<double> axis_thresholds;
  bool inserting = false;  // the operation is an insertion
  // Distances computed by earlier walks of the same operation:
  // memo_distance[n] is node n's distance to the query when
  // memo_at[n] == memo_stamp (see ChunkPruner). memo_any: something was
  // recorded in this operation.
  Buffer<std::uint32_t> memo_at = buffer<std::uint32_t>();
  Buffer<double> memo_distance = buffer<double>();
  std::uint32_t memo_stamp = 0;
  bool memo_on = false;
  bool memo_any = false;
  // Rows of one chunk that the memo does not know, and their distances.
  Buffer<std::uint32_t> pending_ids = buffer<std::uint32_t>();
  Buffer<double> pending_distances = buffer<double>();

  // The stamp of a new walk over `count` nodes.
  std::uint8_t next_visit_stamp(std::size_t count);
  // Starts the memo of a new operation over `count` nodes.
  void start_memo(std::size_t count);
  // Bytes held: the set itself, its buffers, and the sketched query (whose
  // arrays belong to the sketch's type and are counted by capacity).
  std::size_t memory_bytes() const;

 private:
  template <class T>
  Buffer<T> buffer() {
    return Buffer<T>(Counted<T>(&held_));
  }
};

// Search scratch not leased at the moment, reused by later operations: as
// many sets as searches ever ran inside one another, usually one. Its
// capacity is kept at the number of sets made, so giving a set back never
// allocates. Calls on one index never run in parallel threads (the caller
// holds the interpreter lock), so the pool takes no lock.
class ScratchPool {
 public:
  // Bytes held by the pool and the sets in it.
  std::size_t memory_bytes() const;

 private:
  friend class ScratchLease;
  std::vector<std::unique_ptr<SearchScratch>> idle_;
  std::size_t made_ = 0;
};

// A scratch set taken from the pool for one operation and given back when
// the lease ends. A filter's predicate is caller code and may search the
// same index while a search is under way; that search leases another set.
class ScratchLease {
 public:
  explicit ScratchLease(ScratchPool& pool);
  ~ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  SearchScratch& operator*() const { return *scratch_; }

 private:
  ScratchPool& pool_;
  std::unique_ptr<SearchScratch> scratch_;
};

}  // namespace tarsim::hnsw
