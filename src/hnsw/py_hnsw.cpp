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
constexpr ClassRef<HNSW> kClass{&type_object, "PyHNSW"};

constexpr const char* kNoSchemaMetadata = "No schema provided in HNSW instance; cannot use metadata";

std::optional<metrics::Metric> metric_from_name(const std::string& name) {
  if (name == "euclidean") return metrics::Metric::Euclidean;
  if (name == "angular") return metrics::Metric::Cosine;
  if (name == "inner_product") return metrics::Metric::InnerProduct;
  return std::nullopt;
}

// A core error as ValueError; Interrupted leaves the exception of the
// signal handler that asked to stop.
bool core_error(const char* prefix, hnsw::HNSWError error) {
  if (error == hnsw::HNSWError::Interrupted) return false;
  return value_error(std::string(prefix) + hnsw::error_name(error));
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

std::optional<HNSW> new_impl(std::uint32_t dim, std::optional<std::uint32_t> layers,
                             std::optional<std::uint32_t> m,
                             std::optional<std::uint32_t> ef_construction,
                             std::optional<std::uint32_t> ef_search,
                             std::optional<std::string> metric_name,
                             std::optional<std::vector<std::string>> schema) {
  std::optional<metrics::Metric> metric;
  if (metric_name) metric = metric_from_name(*metric_name);
  if (!metric) {
    value_error("Unsupported metric");
    return std::nullopt;
  }
  hnsw::Params params{};
  params.dim = dim;
  params.layers = layers.value_or(params.layers);
  params.m = m.value_or(params.m);
  params.ef_construction = ef_construction.value_or(params.ef_construction);
  params.ef_search = ef_search.value_or(params.ef_search);
  params.metric = *metric;
  params.schema = std::move(schema);
  return HNSW(std::move(params));
}

bool insert_impl(HNSW& index, std::vector<double> vector,
                 std::optional<std::vector<Pair>> metadata) {
  std::optional<metadata::Row> row;
  if (metadata) {
    if (!index.schema()) return value_error(kNoSchemaMetadata);
    if (!row_from_pairs(*index.schema(), *metadata, row.emplace())) return false;
  }
  if (!check_length(index, vector.size())) return false;
  Interrupt interrupt = signal_interrupt();
  if (auto error = index.insert(vector, row ? &*row : nullptr, hnsw::thread_random(), &interrupt)) {
    return core_error("Insert error: ", *error);
  }
  return true;
}

// The answer with copies of its vectors, so that it outlives the borrow.
struct Answer {
  std::vector<hnsw::Scored> found;
  std::vector<double> stored;  // found[i]'s vector at i * dim
  std::size_t dim;
};

std::optional<Answer> search_impl(const HNSW& index, std::vector<double> query,
                                  std::optional<std::uint32_t> k, std::optional<Pair> wanted) {
  std::optional<filter::Filter> filter;
  if (wanted) {
    if (!index.schema()) {
      value_error("No schema provided in HNSW instance; cannot use metadata filtering");
      return std::nullopt;
    }
    std::optional<metadata::Metadata> value = to_metadata(wanted->value.get());
    if (!value) {
      value_error("Unsupported type for metadata filter");
      return std::nullopt;
    }
    filter.emplace(filter::Filter::equal_to(std::move(wanted->name), std::move(*value)));
  }
  Answer answer;
  Interrupt interrupt = signal_interrupt();
  if (auto error = index.search(query, k.value_or(1), filter ? &*filter : nullptr, answer.found,
                                &interrupt)) {
    core_error("Search error: ", *error);
    return std::nullopt;
  }
  answer.dim = index.dim();
  answer.stored.reserve(answer.found.size() * answer.dim);
  for (const hnsw::Scored& s : answer.found) {
    std::span<const double> values = index.vector(s.id);
    answer.stored.insert(answer.stored.end(), values.begin(), values.end());
  }
  return answer;
}

PyObject* search_result(const Answer& answer) {
  const std::size_t dim = answer.dim;
  return list_of_pairs(
      answer.found.size(),
      [&](std::size_t i) { return PyFloat_FromDouble(answer.found[i].distance); },
      [&](std::size_t i) { return float_list(answer.stored.data() + i * dim, dim); });
}

bool create_impl(HNSW& index, FloatRows vectors,
                 std::optional<std::vector<std::vector<Pair>>> metadata) {
  hnsw::RandomSource& rng = hnsw::thread_random();
  Interrupt interrupt = signal_interrupt();
  if (!metadata) {
    // Empty vectors pass the length check and are refused by the core.
    if (!check_lengths(index, vectors)) return false;
    if (auto error = index.create(vectors, rng, &interrupt)) {
      return core_error("Create error: ", *error);
    }
    return true;
  }
  if (metadata->size() != vectors.size()) {
    return value_error("Length of metadata list must match number of vectors");
  }
  if (!index.schema()) return value_error(kNoSchemaMetadata);
  std::vector<metadata::Row> rows(metadata->size());
  for (std::size_t i = 0; i < metadata->size(); ++i) {
    if (!row_from_pairs(*index.schema(), (*metadata)[i], rows[i])) return false;
  }
  if (!check_lengths(index, vectors)) return false;
  if (auto error = index.create(vectors, rows, rng, &interrupt)) {
    return core_error("Create error: ", *error);
  }
  return true;
}

constexpr const char* kNewNames[] = {"dim",       "layers", "m",     "ef_construction",
                                     "ef_search", "metric", "schema"};
constexpr Signature kNew{"PyHNSW.__new__()", kNewNames, 7};
constexpr const char* kInsertNames[] = {"vector", "metadata"};
constexpr Signature kInsert{"PyHNSW.insert()", kInsertNames, 2};
constexpr const char* kSearchNames[] = {"query", "k", "filter"};
constexpr Signature kSearch{"PyHNSW.search()", kSearchNames, 3};
constexpr const char* kCreateNames[] = {"vectors", "metadata"};
constexpr Signature kCreate{"PyHNSW.create()", kCreateNames, 2};

using kind::Optional;

PyMethodDef methods[] = {
    {"insert",
     method_entry(update_method<kClass, kInsert, insert_impl, kind::FloatList,
                                Optional<kind::PairList>>),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\nThe vector "
     "is expected as a list of floats.\nOptionally, metadata can be provided as a list of tuples, "
     "e.g.:\n`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search",
     method_entry(query_method<kClass, kSearch, search_impl, search_result, kind::FloatList,
                               Optional<kind::U32>, Optional<kind::PairOne>>),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create",
     method_entry(update_method<kClass, kCreate, create_impl, kind::FloatRowsCopy,
                                Optional<kind::PairLists>>),
     METH_FASTCALL | METH_KEYWORDS, "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new,
     reinterpret_cast<void*>(
         constructor<kNew, new_impl, kind::U32, Optional<kind::U32>, Optional<kind::U32>,
                     Optional<kind::U32>, Optional<kind::U32>, Optional<kind::String>,
                     Optional<kind::StringList>>)},
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
