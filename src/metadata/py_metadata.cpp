// Python objects to metadata values and rows.
#include "metadata/py_metadata.hpp"

#include <string_view>

namespace tarsim::py {

std::optional<metadata::Metadata> to_metadata(PyObject* obj) {
  using metadata::Metadata;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text != nullptr) return Metadata::from_string(std::string(text, static_cast<std::size_t>(size)));
    PyErr_Clear();  // lone surrogates: try the numeric rules
  }
  long long integer = PyLong_AsLongLong(obj);
  if (!(integer == -1 && PyErr_Occurred())) return Metadata::from_integer(integer);
  PyErr_Clear();
  if (PyFloat_CheckExact(obj)) return Metadata::from_float(PyFloat_AS_DOUBLE(obj));
  double number = PyFloat_AsDouble(obj);
  if (!(number == -1.0 && PyErr_Occurred())) return Metadata::from_float(number);
  PyErr_Clear();
  return std::nullopt;
}

std::variant<metadata::Row, std::string> build_row(const metadata::Schema& schema,
                                                   const std::vector<Pair>& pairs) {
  std::vector<std::string_view> names;
  names.reserve(pairs.size());
  for (const Pair& pair : pairs) names.emplace_back(pair.name);
  const std::vector<std::size_t> matched = metadata::match_pairs(schema, names);

  metadata::Row row;
  row.reserve(schema.size());
  for (std::size_t s = 0; s < schema.size(); ++s) {
    if (matched[s] == metadata::kMissing) {
      return "Missing metadata for attribute '" + schema[s] + "'";
    }
    std::optional<metadata::Metadata> value = to_metadata(pairs[matched[s]].value.get());
    if (!value) return "Unsupported metadata type for attribute '" + schema[s] + "'";
    row.push_back(std::move(*value));
  }
  return row;
}

}  // namespace tarsim::py
