#include "filter/filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarsim::filter {
namespace {

using metadata::Metadata;
using metadata::Schema;

TEST(Filter, EqualToFollowsMetadataEquality) {
  Filter blue = Filter::equal_to("color", Metadata::from_string("blue"));
  EXPECT_EQ(blue.attribute, "color");
  EXPECT_TRUE(blue.test(Metadata::from_string("blue")));
  EXPECT_FALSE(blue.test(Metadata::from_string("blu")));
  EXPECT_FALSE(blue.test(Metadata::from_integer(0)));

  Filter one = Filter::equal_to("n", Metadata::from_integer(1));
  EXPECT_TRUE(one.test(Metadata::from_integer(1)));
  EXPECT_FALSE(one.test(Metadata::from_float(1.0)));

  Filter nan = Filter::equal_to("x", Metadata::from_float(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(nan.test(Metadata::from_float(std::numeric_limits<double>::quiet_NaN())));
  Filter zero = Filter::equal_to("x", Metadata::from_float(-0.0));
  EXPECT_TRUE(zero.test(Metadata::from_float(0.0)));
}

TEST(Filter, CopiesShareOnePredicate) {
  Filter a = Filter::equal_to("k", Metadata::from_integer(5));
  Filter b = a;
  EXPECT_EQ(a.predicate.get(), b.predicate.get());
  EXPECT_EQ(a.predicate.use_count(), 2);
  EXPECT_TRUE(b.test(Metadata::from_integer(5)));
}

TEST(Filter, AnyPredicateCanBeCarried) {
  auto positive = std::make_shared<const Predicate>(
      [](const Metadata& v) { return v.is_integer() && v.as_integer() > 0; });
  Filter f("n", positive);
  EXPECT_TRUE(f.test(Metadata::from_integer(3)));
  EXPECT_FALSE(f.test(Metadata::from_integer(-3)));
}

TEST(FilterValidation, ChecksRunInOrder) {
  Filter f = Filter::equal_to("color", Metadata::from_integer(1));
  Filter empty_name = Filter::equal_to("", Metadata::from_integer(1));
  // Absent schema wins over everything, even an empty attribute name.
  EXPECT_EQ(validate(std::nullopt, f), FilterCheck::NoSchema);
  EXPECT_EQ(validate(std::nullopt, empty_name), FilterCheck::NoSchema);
  EXPECT_EQ(validate(Schema{}, f), FilterCheck::EmptySchema);
  EXPECT_EQ(validate(Schema{}, empty_name), FilterCheck::EmptySchema);
  EXPECT_EQ(validate(Schema{"size"}, f), FilterCheck::AttributeNotFound);
  EXPECT_EQ(validate(Schema{"Color"}, f), FilterCheck::AttributeNotFound);
  EXPECT_EQ(validate(Schema{"color "}, f), FilterCheck::AttributeNotFound);
  EXPECT_EQ(validate(Schema{std::string("color\0", 6)}, f), FilterCheck::AttributeNotFound);
  EXPECT_EQ(validate(Schema{"size", "color"}, f), FilterCheck::Ok);
  EXPECT_EQ(validate(Schema{""}, empty_name), FilterCheck::Ok);
}

TEST(FilterValidation, PositionIsTheFirstEqualName) {
  Filter f = Filter::equal_to("a", Metadata::from_integer(1));
  EXPECT_EQ(attribute_position(Schema{"b", "a", "a"}, f), 1u);
  EXPECT_EQ(attribute_position(Schema{"a"}, f), 0u);
  EXPECT_EQ(attribute_position(Schema{"b", "c"}, f), 2u);
  EXPECT_EQ(attribute_position(Schema{}, f), 0u);
}

}  // namespace
}  // namespace tarsim::filter
