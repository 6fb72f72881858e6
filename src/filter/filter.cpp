#include "filter/filter.hpp"

namespace tarsim::filter {

Filter Filter::equal_to(std::string attribute, metadata::Metadata value) {
  auto predicate = std::make_shared<const Predicate>(
      [captured = std::move(value)](const metadata::Metadata& node_value) {
        return metadata::equals(node_value, captured);
      });
  return Filter(std::move(attribute), std::move(predicate));
}

FilterCheck validate(const std::optional<metadata::Schema>& schema, const Filter& filter) {
  if (!schema) return FilterCheck::NoSchema;
  if (schema->empty()) return FilterCheck::EmptySchema;
  if (attribute_position(*schema, filter) == schema->size()) return FilterCheck::AttributeNotFound;
  return FilterCheck::Ok;
}

std::size_t attribute_position(const metadata::Schema& schema, const Filter& filter) {
  for (std::size_t p = 0; p < schema.size(); ++p) {
    if (schema[p] == filter.attribute) return p;
  }
  return schema.size();
}

}  // namespace tarsim::filter
