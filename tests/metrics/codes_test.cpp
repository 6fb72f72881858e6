// The code kernel on every path the processor can run: it must keep exactly
// the rows whose plain sum of max(0, |q - x| - 1)^2 stays below the
// threshold, in their order, whatever the codes in [-127, 127].
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "metrics/simd.hpp"
#include "paths.hpp"

namespace tarsim::metrics {
namespace {

using Codes = std::vector<std::int8_t>;

std::int64_t plain_sum(const Codes& query, const std::int8_t* row, std::size_t stride) {
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < stride; ++k) {
    const std::int64_t gap = std::abs(std::int64_t{query[k]} - row[k]);
    const std::int64_t a = gap > 0 ? gap - 1 : 0;
    sum += a * a;
  }
  return sum;
}

std::vector<std::uint32_t> expected(const Codes& query, const Codes& codes, std::size_t stride,
                                    const std::vector<std::uint8_t>& coded,
                                    std::int32_t threshold,
                                    const std::vector<std::uint32_t>& ids) {
  std::vector<std::uint32_t> kept;
  for (std::uint32_t id : ids) {
    if (coded[id] == 0 || plain_sum(query, codes.data() + id * stride, stride) < threshold) {
      kept.push_back(id);
    }
  }
  return kept;
}

// Runs every supported path, in place and into another buffer; returns the
// first disagreement with the plain sums, or "".
std::string first_mismatch(const Codes& query, const Codes& codes, std::size_t stride,
                           const std::vector<std::uint8_t>& coded, std::int32_t threshold,
                           const std::vector<std::uint32_t>& ids) {
  const std::vector<std::uint32_t> want = expected(query, codes, stride, coded, threshold, ids);
  for (simd::Path path : runnable_paths()) {
    std::vector<std::uint32_t> out(ids.size() + 1, 0xDEADBEEF);
    std::size_t n = simd::code_survivors(path, query.data(), codes.data(), stride, coded.data(),
                                         threshold, ids.data(), ids.size(), out.data());
    const std::string where = std::string(simd::name(path)) + " stride " +
                              std::to_string(stride) + " threshold " + std::to_string(threshold);
    if (out[ids.size()] != 0xDEADBEEF) return where + ": wrote past the end";
    out.resize(n);
    if (out != want) return where + ": other survivors than the plain sums";
    std::vector<std::uint32_t> in_place = ids;
    n = simd::code_survivors(path, query.data(), codes.data(), stride, coded.data(), threshold,
                             in_place.data(), in_place.size(), in_place.data());
    in_place.resize(n);
    if (in_place != want) return where + ": in place, other survivors";
  }
  return "";
}

TEST(CodeSurvivors, EveryPathKeepsTheRowsOfThePlainSum) {
  std::mt19937_64 rng(3);
  std::size_t kept = 0, ruled_out = 0;
  for (std::size_t stride : {64u, 128u, 192u, 512u}) {
    const std::size_t rows = 40;
    for (int round = 0; round < 20; ++round) {
      // Codes of three kinds: anywhere in the range, only the two ends (the
      // largest gaps, 254), and near the query (gaps 0 and 1 square to 0).
      const int kind = round % 3;
      Codes query(stride), codes(rows * stride);
      auto draw = [&](std::int8_t near) -> std::int8_t {
        if (kind == 1) return rng() % 2 ? 127 : -127;
        if (kind == 2) {
          return static_cast<std::int8_t>(std::clamp<int>(near + int(rng() % 5) - 2, -127, 127));
        }
        return static_cast<std::int8_t>(int(rng() % 255) - 127);
      };
      for (auto& c : query) c = draw(0);
      for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = draw(query[i % stride]);
      std::vector<std::uint8_t> coded(rows);
      for (auto& c : coded) c = rng() % 8 != 0;
      std::vector<std::uint32_t> ids(rng() % 60);
      for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % rows);
      // A threshold at some row's own sum, so that rows fall on either side
      // and one sits exactly on it.
      const std::uint32_t pivot = static_cast<std::uint32_t>(rng() % rows);
      std::int32_t threshold =
          static_cast<std::int32_t>(plain_sum(query, codes.data() + pivot * stride, stride));
      if (round % 5 == 3) threshold += 1;
      if (round % 7 == 4) threshold = 0;
      if (round % 7 == 5) threshold = std::numeric_limits<std::int32_t>::max();
      const std::string fault = first_mismatch(query, codes, stride, coded, threshold, ids);
      ASSERT_EQ(fault, "");
      const std::size_t n = expected(query, codes, stride, coded, threshold, ids).size();
      kept += n;
      ruled_out += ids.size() - n;
    }
  }
  EXPECT_GT(kept, 500u);
  EXPECT_GT(ruled_out, 500u);
}

TEST(CodeSurvivors, TheLargestSumsDoNotOverflow) {
  // 32768 gaps of 254 each: the largest sum the codes allow, just below
  // 2^31.
  const std::size_t stride = 32768;
  const Codes query(stride, 127);
  const Codes codes(stride, -127);
  const std::vector<std::uint8_t> coded{1};
  const std::vector<std::uint32_t> ids{0};
  const std::int64_t sum = plain_sum(query, codes.data(), stride);
  ASSERT_EQ(sum, 32768 * 253 * 253);
  const std::int64_t top = std::numeric_limits<std::int32_t>::max();
  for (std::int64_t threshold : {sum, sum + 1, top}) {
    const auto t = static_cast<std::int32_t>(threshold);
    EXPECT_EQ(first_mismatch(query, codes, stride, coded, t, ids), "");
  }
}

}  // namespace
}  // namespace tarsim::metrics
