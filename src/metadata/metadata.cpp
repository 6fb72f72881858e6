#include "metadata/metadata.hpp"

#include <unordered_map>

namespace tarsim::metadata {

bool equals(const Metadata& node_value, const Metadata& captured) {
  if (node_value.value.valueless_by_exception() || captured.value.valueless_by_exception() ||
      node_value.value.index() != captured.value.index()) {
    return false;
  }
  switch (node_value.kind()) {
    case Metadata::Kind::String:
      return node_value.as_string() == captured.as_string();
    case Metadata::Kind::Integer:
      return node_value.as_integer() == captured.as_integer();
    case Metadata::Kind::Float:
      return node_value.as_float() == captured.as_float();
  }
  return false;
}

std::vector<std::size_t> match_pairs(const Schema& schema,
                                     std::span<const std::string_view> pair_names) {
  std::unordered_map<std::string_view, std::size_t> last;
  last.reserve(pair_names.size());
  for (std::size_t i = 0; i < pair_names.size(); ++i) last[pair_names[i]] = i;
  std::vector<std::size_t> matched;
  matched.reserve(schema.size());
  for (const std::string& name : schema) {
    auto it = last.find(name);
    matched.push_back(it == last.end() ? kMissing : it->second);
  }
  return matched;
}

}  // namespace tarsim::metadata
