// The orders of a graph walk: scored nodes, the order keys of distances, the
// candidate keys of the walk's heap, and where a result goes in a list.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace tarsim::hnsw {

struct Scored {
  double distance;
  std::uint32_t id;
};

// A number whose unsigned order is the distance order of metrics::
// ranks_before: order_key(a) < order_key(b) exactly when a ranks before b
// (numbers by value with the two zeros equal, then every NaN, all equal).
inline std::uint64_t order_key(double distance) {
  // A double's bits order the positive numbers; the negative ones order the
  // other way round, so they are inverted, and the sign bit is set on the
  // rest to put them above. -0 is taken as +0, and every NaN gets the top.
  if (std::isnan(distance)) return ~std::uint64_t{0};
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(distance == 0.0 ? 0.0 : distance);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// A candidate of a layer search: its distance's order key and its id in one
// number, so that the walk's heap compares candidates without a branch.
__extension__ typedef unsigned __int128 CandidateKey;

// Candidates come out of the walk's heap by distance (NaN last), then by
// id: a candidate's key, order_key(d) * 2^32 + id, orders candidates as they
// come out, and the heap compares one pair of 128-bit numbers instead of
// testing for NaN and for ties.
inline CandidateKey candidate_key(double d, std::uint32_t id) {
  return (CandidateKey{order_key(d)} << 32) | id;
}

inline std::uint32_t candidate_id(CandidateKey key) { return static_cast<std::uint32_t>(key); }

inline std::uint64_t candidate_order(CandidateKey key) {
  return static_cast<std::uint64_t>(key >> 32);
}

// With std::greater the heap's front is its smallest key: the next out.
using ComesAfter = std::greater<CandidateKey>;

// Where a new scored node of the given distance goes in a result list kept
// in distance order (NaN last): a bisection that lands before the last of a
// run of equal distances it meets. [1 a, 2 b, 2 c, 3 d] + 2 e gives
// [a, b, e, c, d]; [2 b] + 2 e gives [e, b]; a NaN goes after every number.
std::size_t result_position(std::span<const Scored> results, double distance);

}  // namespace tarsim::hnsw
