// PyFlat: the Python face of the exhaustive index.
#include "flat/py_flat.hpp"

#include <optional>
#include <string>
#include <vector>

#include "flat/flat.hpp"

namespace tarsim::py {
namespace {

using flat::Flat;
using FlatObject = Instance<Flat>;

PyTypeObject* type_object = nullptr;
constexpr ClassRef<Flat> kClass{&type_object, "PyFlat"};

// Unknown names select the euclidean distance without an error.
metrics::Metric metric_from_name(const std::string& name) {
  if (name == "cosine") return metrics::Metric::Cosine;
  if (name == "inner_product") return metrics::Metric::InnerProduct;
  return metrics::Metric::Euclidean;
}

std::string length_message(const char* what, std::uint32_t dim, std::size_t length) {
  return std::string("Expected ") + what + " of length " + std::to_string(dim) + ", got " +
         std::to_string(length);
}

// A core error as ValueError; Interrupted leaves the exception of the
// signal handler that asked to stop.
bool core_error(const char* prefix, flat::FlatError error) {
  if (error == flat::FlatError::Interrupted) return false;
  return value_error(std::string(prefix) + flat::error_name(error));
}

std::optional<Flat> new_impl(std::uint32_t dim, std::optional<std::string> metric) {
  return Flat(dim, metric ? metric_from_name(*metric) : metrics::Metric::Euclidean);
}

bool insert_impl(Flat& index, std::vector<double> vector) {
  if (vector.size() != index.dim()) {
    return value_error(length_message("vector", index.dim(), vector.size()));
  }
  if (auto error = index.add(vector)) return core_error("Insert error: ", *error);
  return true;
}

std::optional<std::vector<flat::Hit>> search_impl(const Flat& index, std::vector<double> query,
                                                  std::optional<std::uint32_t> k) {
  if (query.size() != index.dim()) {
    value_error(length_message("query", index.dim(), query.size()));
    return std::nullopt;
  }
  std::vector<flat::Hit> hits;
  Interrupt interrupt = signal_interrupt();
  if (auto error = index.search(query, k.value_or(1), hits, &interrupt)) {
    core_error("Search error: ", *error);
    return std::nullopt;
  }
  return hits;
}

PyObject* search_result(const std::vector<flat::Hit>& hits) {
  return list_of_pairs(
      hits.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(hits[i].id); },
      [&](std::size_t i) { return PyFloat_FromDouble(hits[i].distance); });
}

bool create_impl(Flat& index, kind::FloatRowsInPlace::type vectors) {
  const FloatRows& rows = vectors.rows;
  if (rows.empty()) return core_error("Create error: ", flat::FlatError::EmptyVectors);
  // Vectors before the first one of another length are stored; that one is
  // refused with PanicException.
  const std::size_t good = rows.first_row_not_of_length(index.dim());
  // Signal handlers may run between blocks of the copy. The caller's array
  // stays exported, so it cannot move; a handler that returns and has
  // written to it is read as it then is, as a write from another thread
  // would be.
  Interrupt interrupt = signal_interrupt();
  if (auto error = index.add_rows(rows.data(), good, &interrupt)) {
    return core_error("Create error: ", *error);
  }
  if (good < rows.size()) {
    const std::string message = "Vector length " + std::to_string(rows.row(good).size()) +
                                " does not match index dimension " + std::to_string(index.dim());
    TARSIM_REFUSE("PyFlat.create() refused vector " + std::to_string(good) + " of the list: " +
                      message + "; the vectors before it are stored",
                  message);
    return false;
  }
  return true;
}

constexpr const char* kNewNames[] = {"dim", "metric"};
constexpr Signature kNew{"PyFlat.__new__()", kNewNames, 2};
constexpr const char* kInsertNames[] = {"vector"};
constexpr Signature kInsert{"PyFlat.insert()", kInsertNames, 1};
constexpr const char* kSearchNames[] = {"query", "k"};
constexpr Signature kSearch{"PyFlat.search()", kSearchNames, 2};
constexpr const char* kCreateNames[] = {"vectors"};
constexpr Signature kCreate{"PyFlat.create()", kCreateNames, 1};

PyMethodDef methods[] = {
    {"insert", method_entry(update_method<kClass, kInsert, insert_impl, kind::FloatList>),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\nThe vector is expected as a "
     "list of floats whose length equals the index dimension."},
    {"search",
     method_entry(query_method<kClass, kSearch, search_impl, search_result, kind::FloatList,
                               kind::Optional<kind::U32>>),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\nReturns a list "
     "of tuples `(id, distance)`."},
    {"create", method_entry(update_method<kClass, kCreate, create_impl, kind::FloatRowsInPlace>),
     METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors)\n--\n\nCreate an index from a list of vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<kNew, new_impl, kind::U32,
                                                         kind::Optional<kind::String>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Flat>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "PyFlat",
    static_cast<int>(sizeof(FlatObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyTypeObject* flat_type() {
  if (type_object == nullptr) {
    type_object = create_class(&spec);
  }
  return type_object;
}

}  // namespace tarsim::py
