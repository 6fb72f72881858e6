// The cap on stored vectors and the interruption of long operations.
#include "flat/flat.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace tarsim::flat {
namespace {

using metrics::Metric;
using V = std::vector<double>;

TEST(FlatCap, RoomForCountsUpToTheLastId) {
  EXPECT_EQ(kMaxVectors, 4294967295u);
  EXPECT_TRUE(room_for(0, kMaxVectors));
  EXPECT_TRUE(room_for(kMaxVectors - 1, 1));
  EXPECT_FALSE(room_for(kMaxVectors, 1));
  EXPECT_FALSE(room_for(kMaxVectors - 1, 2));
  EXPECT_TRUE(room_for(kMaxVectors, 0));
  // No wrap-around for huge requests.
  EXPECT_FALSE(room_for(5, std::numeric_limits<std::size_t>::max()));
  EXPECT_FALSE(room_for(std::numeric_limits<std::size_t>::max(), 0));
}

TEST(FlatCap, AnAddPastTheCapIsRefusedAndStoresNothing) {
  EXPECT_STREQ(error_name(FlatError::TooManyVectors), "TooManyVectors");
  Flat index(2, Metric::Euclidean, /*max_vectors=*/3);
  const V rows = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(index.add(V{0, 0}), std::nullopt);
  ASSERT_EQ(index.add_rows(rows.data(), 1), std::nullopt);
  // Two more would make 4: refused whole.
  EXPECT_EQ(index.add_rows(rows.data(), 2), FlatError::TooManyVectors);
  EXPECT_EQ(index.size(), 2u);
  ASSERT_EQ(index.add_rows(rows.data() + 2, 1), std::nullopt);
  EXPECT_EQ(index.add(V{9, 9}), FlatError::TooManyVectors);
  EXPECT_EQ(index.add_rows(rows.data(), 1), FlatError::TooManyVectors);
  EXPECT_EQ(V(index.vectors().begin(), index.vectors().end()), (V{0, 0, 1, 2, 3, 4}));
  std::vector<Hit> out;
  ASSERT_EQ(index.search(V{3, 4}, 5, out), std::nullopt);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].id, 2u);
}

// Asks to stop at its `stop_at`-th poll (never when 0) and counts the polls.
struct StopAt {
  int stop_at = 0;
  int polls = 0;
  static bool stop(void* context) {
    auto* self = static_cast<StopAt*>(context);
    return ++self->polls == self->stop_at;
  }
};

TEST(FlatInterrupt, BulkAddKeepsTheBlocksCopiedBeforeTheStop) {
  constexpr std::uint32_t dim = 4;
  const std::size_t block = Interrupt::kPollWork / dim;
  const std::size_t rows = 3 * block + 5;
  V data(rows * dim);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<double>(i);

  // Never stopping: every block but the last is followed by a poll.
  Flat whole(dim, Metric::Euclidean);
  StopAt never;
  Interrupt polled(StopAt::stop, &never);
  ASSERT_EQ(whole.add_rows(data.data(), rows, &polled), std::nullopt);
  EXPECT_EQ(whole.size(), rows);
  EXPECT_EQ(never.polls, 3);

  Flat index(dim, Metric::Euclidean);
  ASSERT_EQ(index.add(V{-1, -1, -1, -1}), std::nullopt);
  StopAt second{.stop_at = 2};
  Interrupt interrupt(StopAt::stop, &second);
  EXPECT_EQ(index.add_rows(data.data(), rows, &interrupt), FlatError::Interrupted);
  ASSERT_EQ(index.size(), 1 + 2 * block);
  EXPECT_EQ(index.vectors()[dim], 0.0);
  EXPECT_EQ(index.vectors().back(), data[2 * block * dim - 1]);
  // Still fully usable.
  ASSERT_EQ(index.add(V{7, 7, 7, 7}), std::nullopt);
  std::vector<Hit> out;
  ASSERT_EQ(index.search(V{7, 7, 7, 7}, 1, out), std::nullopt);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].id, 1 + 2 * block);
  EXPECT_EQ(out[0].distance, 0.0);
}

TEST(FlatInterrupt, SearchPollsEveryFewChunksAndStopsWithNoAnswer) {
  constexpr std::uint32_t dim = 8;
  const std::size_t rows = 40 * Interrupt::kPollWork / dim;
  Flat index(dim, Metric::Euclidean);
  V row(dim);
  index.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    row[0] = static_cast<double>(i % 1000);
    ASSERT_EQ(index.add(row), std::nullopt);
  }
  const V query(dim, 3.0);
  std::vector<Hit> expected;
  ASSERT_EQ(index.search(query, 5, expected), std::nullopt);

  // Polled at least once per kPollWork values scored, and the answer is the
  // same as without a hook.
  StopAt never;
  Interrupt polled(StopAt::stop, &never);
  std::vector<Hit> out;
  ASSERT_EQ(index.search(query, 5, out, &polled), std::nullopt);
  EXPECT_GE(never.polls, 39);
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].id, expected[i].id);

  StopAt third{.stop_at = 3};
  Interrupt interrupt(StopAt::stop, &third);
  EXPECT_EQ(index.search(query, 5, out, &interrupt), FlatError::Interrupted);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(third.polls, 3);
  EXPECT_EQ(index.size(), rows);
}

}  // namespace
}  // namespace tarsim::flat
