// PyHNSW: the Python face of the graph index.
#include "hnsw/py_hnsw.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/hnsw.hpp"
#include "metadata/py_metadata.hpp"

namespace tarsim::py {
namespace {

using hnsw::HNSW;
using HNSWObject = Instance<HNSW>;

PyTypeObject* type_object = nullptr;

constexpr const char* kNoSchemaMetadata = "No schema provided in HNSW instance; cannot use metadata";

std::optional<metrics::Metric> metric_from_name(const std::string& name) {
  if (name == "euclidean") return metrics::Metric::Euclidean;
  if (name == "angular") return metrics::Metric::Cosine;
  if (name == "inner_product") return metrics::Metric::InnerProduct;
  return std::nullopt;
}

PyObject* core_error(const char* prefix, hnsw::HNSWError error) {
  value_error(std::string(prefix) + hnsw::error_name(error));
  return nullptr;
}

// Every stored vector holds dim values.
bool check_length(const HNSW& index, std::size_t length) {
  if (length == index.dim()) return true;
  return value_error("Expected vector of length " + std::to_string(index.dim()) + ", got " +
                     std::to_string(length));
}

// Builds one metadata row; its failure message is raised as ValueError.
bool row_from_pairs(const metadata::Schema& schema, const std::vector<Pair>& pairs,
                    metadata::Row& row) {
  auto built = build_row(schema, pairs);
  if (auto* message = std::get_if<std::string>(&built)) return value_error(*message);
  row = std::move(std::get<metadata::Row>(built));
  return true;
}

// Every vector of a bulk call holds dim values, checked before any is stored.
bool check_lengths(const HNSW& index, const FloatRows& vectors) {
  const std::size_t bad = vectors.first_row_not_of_length(index.dim());
  return bad == vectors.size() || check_length(index, vectors.row(bad).size());
}

bool take_self(PyObject* self, Borrow& borrow, Access access) {
  return acquire_self(self, type_object, "PyHNSW", instance_of<HNSW>(self)->borrow, borrow, access);
}

// Converts an optional unsigned parameter, keeping `value` when absent.
bool optional_u32(const char* name, PyObject* arg, std::uint32_t& value) {
  PyObject* given_value = given(arg);
  return given_value == nullptr || convert_arg(name, [&] { return to_u32(given_value, value); });
}

constexpr const char* kNewNames[] = {"dim",       "layers", "m",     "ef_construction",
                                     "ef_search", "metric", "schema"};
constexpr Signature kNew{"PyHNSW.__new__()", kNewNames, 7};

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[7];
    if (!match_classic(kNew, args, kwargs, arg)) return nullptr;
    hnsw::Params params{};
    if (!convert_arg("dim", [&] { return to_u32(arg[0], params.dim); })) return nullptr;
    if (!optional_u32("layers", arg[1], params.layers) || !optional_u32("m", arg[2], params.m) ||
        !optional_u32("ef_construction", arg[3], params.ef_construction) ||
        !optional_u32("ef_search", arg[4], params.ef_search)) {
      return nullptr;
    }
    std::optional<std::string> metric_name;
    if (PyObject* value = given(arg[5])) {
      metric_name.emplace();
      if (!convert_arg("metric", [&] { return to_string(value, *metric_name); })) return nullptr;
    }
    if (PyObject* value = given(arg[6])) {
      params.schema.emplace();
      if (!convert_arg("schema", [&] { return to_string_list(value, *params.schema); })) {
        return nullptr;
      }
    }
    std::optional<metrics::Metric> metric;
    if (metric_name) metric = metric_from_name(*metric_name);
    if (!metric) {
      value_error("Unsupported metric");
      return nullptr;
    }
    params.metric = *metric;
    return new_instance(type, HNSW(std::move(params)));
  })
}

constexpr const char* kInsertNames[] = {"vector", "metadata"};
constexpr Signature kInsert{"PyHNSW.insert()", kInsertNames, 2};

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[2];
    if (!match_fastcall(kInsert, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    if (!take_self(self, borrow, Access::Exclusive)) return nullptr;
    HNSW& index = instance_of<HNSW>(self)->record;

    std::vector<double> vector;
    if (!convert_arg("vector", [&] { return to_float_list(arg[0], vector); })) return nullptr;
    std::optional<metadata::Row> row;
    if (PyObject* value = given(arg[1])) {
      std::vector<Pair> pairs;
      if (!convert_arg("metadata", [&] { return to_pair_list(value, pairs); })) return nullptr;
      if (!index.schema()) {
        value_error(kNoSchemaMetadata);
        return nullptr;
      }
      if (!row_from_pairs(*index.schema(), pairs, row.emplace())) return nullptr;
    }
    if (!check_length(index, vector.size())) return nullptr;
    if (auto error = index.insert(vector, row ? &*row : nullptr, hnsw::thread_random())) {
      return core_error("Insert error: ", *error);
    }
    return none();
  })
}

constexpr const char* kSearchNames[] = {"query", "k", "filter"};
constexpr Signature kSearch{"PyHNSW.search()", kSearchNames, 3};

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[3];
    if (!match_fastcall(kSearch, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    if (!take_self(self, borrow, Access::Shared)) return nullptr;
    const HNSW& index = instance_of<HNSW>(self)->record;

    std::vector<double> query;
    if (!convert_arg("query", [&] { return to_float_list(arg[0], query); })) return nullptr;
    std::uint32_t k = 1;
    if (!optional_u32("k", arg[1], k)) return nullptr;
    std::optional<filter::Filter> filter;
    if (PyObject* value = given(arg[2])) {
      Pair pair;
      if (!convert_arg("filter", [&] { return to_pair(value, pair); })) return nullptr;
      if (!index.schema()) {
        value_error("No schema provided in HNSW instance; cannot use metadata filtering");
        return nullptr;
      }
      std::optional<metadata::Metadata> wanted = to_metadata(pair.value.get());
      if (!wanted) {
        value_error("Unsupported type for metadata filter");
        return nullptr;
      }
      filter.emplace(filter::Filter::equal_to(std::move(pair.name), std::move(*wanted)));
    }

    std::vector<hnsw::Scored> found;
    if (auto error = index.search(query, k, filter ? &*filter : nullptr, found)) {
      return core_error("Search error: ", *error);
    }
    // Copy the answer's vectors, then give the borrow back before building
    // the Python objects: allocating them may run the cyclic collector (and
    // finalisers that let other threads in).
    const std::size_t dim = index.dim();
    std::vector<double> stored;
    stored.reserve(found.size() * dim);
    for (const hnsw::Scored& s : found) {
      std::span<const double> values = index.vector(s.id);
      stored.insert(stored.end(), values.begin(), values.end());
    }
    borrow.release();

    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      PyObject* pair = PyTuple_New(2);
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
      PyObject* distance = PyFloat_FromDouble(found[i].distance);
      if (distance == nullptr) return nullptr;
      PyTuple_SET_ITEM(pair, 0, distance);
      PyObject* values = PyList_New(static_cast<Py_ssize_t>(dim));
      if (values == nullptr) return nullptr;
      PyTuple_SET_ITEM(pair, 1, values);
      for (std::size_t j = 0; j < dim; ++j) {
        PyObject* component = PyFloat_FromDouble(stored[i * dim + j]);
        if (component == nullptr) return nullptr;
        PyList_SET_ITEM(values, static_cast<Py_ssize_t>(j), component);
      }
    }
    return result.release();
  })
}

constexpr const char* kCreateNames[] = {"vectors", "metadata"};
constexpr Signature kCreate{"PyHNSW.create()", kCreateNames, 2};

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[2];
    if (!match_fastcall(kCreate, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    if (!take_self(self, borrow, Access::Exclusive)) return nullptr;
    HNSW& index = instance_of<HNSW>(self)->record;

    FloatRows vectors;
    if (!convert_arg("vectors", [&] { return to_float_rows(arg[0], vectors); })) return nullptr;
    PyObject* metadata_arg = given(arg[1]);
    std::vector<std::vector<Pair>> entries;
    if (metadata_arg != nullptr &&
        !convert_arg("metadata", [&] { return to_pair_lists(metadata_arg, entries); })) {
      return nullptr;
    }
    hnsw::RandomSource& rng = hnsw::thread_random();

    if (metadata_arg == nullptr) {
      if (vectors.empty()) return core_error("Create error: ", hnsw::HNSWError::EmptyVectors);
      if (!check_lengths(index, vectors)) return nullptr;
      for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (auto error = index.insert(vectors.row(i), nullptr, rng)) {
          return core_error("Create error: ", *error);
        }
      }
      return none();
    }

    if (entries.size() != vectors.size()) {
      value_error("Length of metadata list must match number of vectors");
      return nullptr;
    }
    if (!index.schema()) {
      value_error(kNoSchemaMetadata);
      return nullptr;
    }
    std::vector<metadata::Row> rows(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!row_from_pairs(*index.schema(), entries[i], rows[i])) return nullptr;
    }
    if (!check_lengths(index, vectors)) return nullptr;
    if (auto error = index.create(vectors, rows, rng)) return core_error("Create error: ", *error);
    return none();
  })
}

PyMethodDef methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hnsw_insert)),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\nThe vector "
     "is expected as a list of floats.\nOptionally, metadata can be provided as a list of tuples, "
     "e.g.:\n`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hnsw_search)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hnsw_create)),
     METH_FASTCALL | METH_KEYWORDS, "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HNSW>)},
    {Py_tp_methods, methods},
    {Py_tp_doc,
     const_cast<char*>("PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, "
                       "metric=None, schema=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "PyHNSW",
    static_cast<int>(sizeof(HNSWObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyTypeObject* hnsw_type() {
  if (type_object == nullptr) {
    type_object = create_class(&spec);
  }
  return type_object;
}

}  // namespace tarsim::py
