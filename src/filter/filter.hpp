// The metadata restriction of one filtered query: an attribute name and a
// predicate over that attribute's value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "metadata/metadata.hpp"

namespace tarsim::filter {

using Predicate = std::function<bool(const metadata::Metadata&)>;

class Filter {
 public:
  Filter(std::string attribute_name, std::shared_ptr<const Predicate> test_fn)
      : attribute(std::move(attribute_name)), predicate(std::move(test_fn)) {}

  // A filter passing exactly the values that metadata::equals matches
  // against `value`.
  static Filter equal_to(std::string attribute, metadata::Metadata value);

  // The predicate's answer for one stored value.
  bool test(const metadata::Metadata& node_value) const { return (*predicate)(node_value); }

  std::string attribute;
  // Shared and immutable; copies of a Filter share it.
  std::shared_ptr<const Predicate> predicate;
};

enum class FilterCheck : std::uint8_t { Ok, NoSchema, EmptySchema, AttributeNotFound };

// Checks in this order: schema absent, schema without names, no name equal
// to the filter's attribute.
FilterCheck validate(const std::optional<metadata::Schema>& schema, const Filter& filter);

// Position of the first schema name equal to the filter's attribute, or
// schema.size() when there is none.
std::size_t attribute_position(const metadata::Schema& schema, const Filter& filter);

}  // namespace tarsim::filter
