// Python objects to metadata values and rows.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "boundary.hpp"
#include "metadata/metadata.hpp"

namespace tarsim::py {

// The first rule that converts `obj`: a str encodable as UTF-8 gives a
// String, a conversion to a signed 64-bit integer gives an Integer, a
// conversion to a double gives a Float. Not convertible: nullopt, with no
// Python error left set.
std::optional<metadata::Metadata> to_metadata(PyObject* obj);

// Builds one row in schema order from the user's (name, object) pairs (the
// last pair of a name wins; names outside the schema are ignored). On
// failure returns the message for the first failing schema name.
std::variant<metadata::Row, std::string> build_row(const metadata::Schema& schema,
                                                   const std::vector<Pair>& pairs);

}  // namespace tarsim::py
