#include "metadata/metadata.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarsim::metadata {
namespace {

TEST(Metadata, KindsAreDeclaredStringIntegerFloat) {
  EXPECT_EQ(static_cast<int>(Metadata::from_string("x").kind()), 0);
  EXPECT_EQ(static_cast<int>(Metadata::from_integer(1).kind()), 1);
  EXPECT_EQ(static_cast<int>(Metadata::from_float(1.0).kind()), 2);
  EXPECT_EQ(Metadata::from_string("abc").as_string(), "abc");
  EXPECT_EQ(Metadata::from_integer(-7).as_integer(), -7);
  EXPECT_EQ(Metadata::from_float(2.5).as_float(), 2.5);
}

TEST(Metadata, DifferentKindsNeverEqual) {
  EXPECT_FALSE(equals(Metadata::from_integer(3), Metadata::from_float(3.0)));
  EXPECT_FALSE(equals(Metadata::from_float(3.0), Metadata::from_integer(3)));
  EXPECT_FALSE(equals(Metadata::from_string("3"), Metadata::from_integer(3)));
  EXPECT_FALSE(equals(Metadata::from_string("42"), Metadata::from_integer(42)));
  EXPECT_FALSE(equals(Metadata::from_integer(0), Metadata::from_string("")));
}

TEST(Metadata, StringsCompareByLengthAndBytes) {
  EXPECT_TRUE(equals(Metadata::from_string(""), Metadata::from_string("")));
  EXPECT_TRUE(equals(Metadata::from_string("blue"), Metadata::from_string("blue")));
  EXPECT_FALSE(equals(Metadata::from_string("blue"), Metadata::from_string("Blue")));
  EXPECT_FALSE(equals(Metadata::from_string("ab"), Metadata::from_string("abc")));
  // Embedded NUL bytes take part in the comparison.
  EXPECT_FALSE(equals(Metadata::from_string(std::string("ab\0", 3)), Metadata::from_string("ab")));
  EXPECT_TRUE(equals(Metadata::from_string(std::string("a\0b", 3)),
                     Metadata::from_string(std::string("a\0b", 3))));
  // No normalisation: precomposed and decomposed forms differ.
  EXPECT_FALSE(equals(Metadata::from_string("\xC3\xA9"), Metadata::from_string("e\xCC\x81")));
}

TEST(Metadata, IntegersCompareExactly) {
  const auto lo = std::numeric_limits<std::int64_t>::min();
  const auto hi = std::numeric_limits<std::int64_t>::max();
  EXPECT_TRUE(equals(Metadata::from_integer(lo), Metadata::from_integer(lo)));
  EXPECT_TRUE(equals(Metadata::from_integer(hi), Metadata::from_integer(hi)));
  EXPECT_FALSE(equals(Metadata::from_integer(hi), Metadata::from_integer(hi - 1)));
  EXPECT_FALSE(equals(Metadata::from_integer(-1), Metadata::from_integer(1)));
}

TEST(Metadata, FloatsUseIeeeEquality) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(equals(Metadata::from_float(nan), Metadata::from_float(nan)));
  EXPECT_FALSE(equals(Metadata::from_float(nan), Metadata::from_float(1.0)));
  EXPECT_FALSE(equals(Metadata::from_float(1.0), Metadata::from_float(nan)));
  EXPECT_TRUE(equals(Metadata::from_float(0.0), Metadata::from_float(-0.0)));
  EXPECT_TRUE(equals(Metadata::from_float(-0.0), Metadata::from_float(0.0)));
  EXPECT_TRUE(equals(Metadata::from_float(inf), Metadata::from_float(inf)));
  EXPECT_FALSE(equals(Metadata::from_float(inf), Metadata::from_float(-inf)));
  EXPECT_FALSE(equals(Metadata::from_float(0.1 + 0.2), Metadata::from_float(0.3)));
}

TEST(MatchPairs, LastPairWinsAndOthersAreIgnored) {
  const Schema schema{"color", "size"};
  const std::string_view names[] = {"color", "weight", "size", "color"};
  auto matched = match_pairs(schema, names);
  ASSERT_EQ(matched.size(), 2u);
  EXPECT_EQ(matched[0], 3u);
  EXPECT_EQ(matched[1], 2u);
}

TEST(MatchPairs, MissingNamesAndEmptySchema) {
  const Schema schema{"a", "b"};
  const std::string_view names[] = {"b"};
  auto matched = match_pairs(schema, names);
  EXPECT_EQ(matched[0], kMissing);
  EXPECT_EQ(matched[1], 0u);

  EXPECT_TRUE(match_pairs(Schema{}, names).empty());
  auto none = match_pairs(schema, {});
  EXPECT_EQ(none, (std::vector<std::size_t>{kMissing, kMissing}));
}

TEST(MatchPairs, RepeatedSchemaNamesShareOnePairAndNamesAreCaseSensitive) {
  const Schema schema{"a", "A", "a"};
  const std::string_view names[] = {"a"};
  auto matched = match_pairs(schema, names);
  EXPECT_EQ(matched, (std::vector<std::size_t>{0, kMissing, 0}));
}

}  // namespace
}  // namespace tarsim::metadata
