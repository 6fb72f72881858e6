// The list arena against plain per-node vectors: random appends (a few
// lists far longer than the rest, as node 0's is), nodes added on the way,
// trims and a move to wider ids in between. Every list must read back as
// appended, and the bytes held stay within the bounds the arena promises.
#include "hnsw/lists.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace tarsim::hnsw {
namespace {

using Reference = std::vector<std::vector<std::uint32_t>>;

template <class Id>
void expect_same(const ListArena<Id>& arena, const Reference& want, const char* where) {
  ASSERT_EQ(arena.nodes(), want.size()) << where;
  std::size_t live = 0, longest = 0;
  for (std::uint32_t node = 0; node < want.size(); ++node) {
    const auto list = arena.list(node);
    ASSERT_EQ(std::vector<std::uint32_t>(list.begin(), list.end()), want[node])
        << where << ", node " << node;
    live += want[node].size();
    longest = std::max(longest, want[node].size());
  }
  ASSERT_EQ(arena.used_bytes(), live * sizeof(Id)) << where;
  // Each list's room is at most half more than it holds, plus 4; the
  // blocks left behind and the room not yet given to a list are at most
  // half the rooms, or one list's room.
  const double rooms = 1.5 * static_cast<double>(live) + 4.0 * static_cast<double>(want.size());
  const double most = rooms + std::max(rooms / 2, 1.5 * static_cast<double>(longest) + 4);
  EXPECT_LE(static_cast<double>(arena.held_bytes()), (most + 1) * sizeof(Id)) << where;
}

// `steps` appends to random nodes of `arena` and `want`; a new node now
// and then. Node 0 takes a tenth of the appends.
template <class Id>
void grow(ListArena<Id>& arena, Reference& want, std::mt19937_64& rng, int steps) {
  for (int step = 0; step < steps; ++step) {
    if (want.empty() || rng() % 50 == 0) {
      arena.reserve_nodes(1);
      arena.add_node();
      want.emplace_back();
    }
    const auto node = static_cast<std::uint32_t>(rng() % 10 == 0 ? 0 : rng() % want.size());
    const auto id = static_cast<std::uint32_t>(rng() % (std::uint64_t{std::numeric_limits<Id>::max()} + 1));
    arena.make_room(node);
    arena.push(node, static_cast<Id>(id));
    want[node].push_back(id);
  }
}

TEST(ListArena, ListsReadBackAsAppendedThroughMovesTrimsAndWidening) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    std::mt19937_64 rng(seed);
    ListArena<std::uint16_t> narrow;
    Reference want;
    for (int round = 0; round < 4; ++round) {
      grow(narrow, want, rng, 3000);
      expect_same(narrow, want, "narrow, grown");
      narrow.trim();
      expect_same(narrow, want, "narrow, trimmed");
      EXPECT_LE(narrow.held_bytes(), narrow.used_bytes() * 9 / 8);
    }
    ListArena<std::uint32_t> wide;
    wide.assign(narrow);
    expect_same(wide, want, "widened");
    for (int round = 0; round < 3; ++round) {
      grow(wide, want, rng, 3000);
      expect_same(wide, want, "wide, grown");
      wide.trim();
      expect_same(wide, want, "wide, trimmed");
    }
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarsim::hnsw
