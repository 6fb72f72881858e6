// Typed metadata values attached to HNSW nodes, and the schema that names
// them. Pure C++: turning Python objects into values is done by the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarsim::metadata {

// One value of one attribute: UTF-8 text, a signed 64-bit integer or a
// double. The kinds are declared in this order and never convert into each
// other.
struct Metadata {
  enum class Kind : std::uint8_t { String, Integer, Float };

  std::variant<std::string, std::int64_t, double> value;

  static Metadata from_string(std::string text) { return Metadata{std::move(text)}; }
  static Metadata from_integer(std::int64_t number) { return Metadata{number}; }
  static Metadata from_float(double number) { return Metadata{number}; }

  Kind kind() const { return static_cast<Kind>(value.index()); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_integer() const { return kind() == Kind::Integer; }
  bool is_float() const { return kind() == Kind::Float; }
  // The payload; only valid for the matching kind.
  const std::string& as_string() const { return std::get<std::string>(value); }
  std::int64_t as_integer() const { return std::get<std::int64_t>(value); }
  double as_float() const { return std::get<double>(value); }
};

// Whether a node's stored value passes against the value a filter captured:
// same kind, and equal bytes (String), equal numbers (Integer) or IEEE
// equality (Float: NaN never equal, 0.0 equal to -0.0).
bool equals(const Metadata& node_value, const Metadata& captured);

// One node's values, in schema order.
using Row = std::vector<Metadata>;
// Attribute names; the position of a name is the position of its value in
// every row. Names compare as exact bytes; repeats are allowed.
using Schema = std::vector<std::string>;

// Matches a user's (name, value) pairs against a schema without looking at
// the values: for each schema position, the index of the LAST pair whose name
// equals that schema name, or kMissing when no pair names it. Pairs naming
// attributes outside the schema are ignored.
inline constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
std::vector<std::size_t> match_pairs(const Schema& schema,
                                     std::span<const std::string_view> pair_names);

}  // namespace tarsim::metadata
