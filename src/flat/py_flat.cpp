// PyFlat: the Python face of the exhaustive index.
#include "flat/py_flat.hpp"

#include <string>
#include <vector>

#include "flat/flat.hpp"

namespace tarsim::py {
namespace {

using flat::Flat;
using FlatObject = Instance<Flat>;

PyTypeObject* type_object = nullptr;


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

constexpr const char* kNewNames[] = {"dim", "metric"};
constexpr Signature kNew{"PyFlat.__new__()", kNewNames, 2};

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[2];
    if (!match_classic(kNew, args, kwargs, arg)) return nullptr;
    std::uint32_t dim = 0;
    if (!convert_arg("dim", [&] { return to_u32(arg[0], dim); })) return nullptr;
    metrics::Metric metric = metrics::Metric::Euclidean;
    if (PyObject* value = given(arg[1])) {
      std::string name;
      if (!convert_arg("metric", [&] { return to_string(value, name); })) return nullptr;
      metric = metric_from_name(name);
    }
    return new_instance(type, Flat(dim, metric));
  })
}

constexpr const char* kInsertNames[] = {"vector"};
constexpr Signature kInsert{"PyFlat.insert()", kInsertNames, 1};

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[1];
    if (!match_fastcall(kInsert, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    FlatObject* object = instance_of<Flat>(self);
    if (!acquire_self(self, type_object, "PyFlat", object->borrow, borrow, Access::Exclusive)) {
      return nullptr;
    }
    std::vector<double> vector;
    if (!convert_arg("vector", [&] { return to_float_list(arg[0], vector); })) return nullptr;
    Flat& index = object->record;
    if (vector.size() != index.dim()) {
      value_error(length_message("vector", index.dim(), vector.size()));
      return nullptr;
    }
    index.add(vector);
    return none();
  })
}

constexpr const char* kSearchNames[] = {"query", "k"};
constexpr Signature kSearch{"PyFlat.search()", kSearchNames, 2};

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[2];
    if (!match_fastcall(kSearch, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    FlatObject* object = instance_of<Flat>(self);
    if (!acquire_self(self, type_object, "PyFlat", object->borrow, borrow, Access::Shared)) {
      return nullptr;
    }
    std::vector<double> query;
    if (!convert_arg("query", [&] { return to_float_list(arg[0], query); })) return nullptr;
    std::uint32_t k = 1;
    if (PyObject* value = given(arg[1])) {
      if (!convert_arg("k", [&] { return to_u32(value, k); })) return nullptr;
    }
    const Flat& index = object->record;
    if (query.size() != index.dim()) {
      value_error(length_message("query", index.dim(), query.size()));
      return nullptr;
    }
    std::vector<flat::Hit> hits;
    if (auto error = index.search(query, k, hits)) {
      value_error(std::string("Search error: ") + flat::error_name(*error));
      return nullptr;
    }
    // The answer is complete: building the Python objects may run the cyclic
    // collector (and finalisers that let other threads in), so it happens
    // after the borrow is given back.
    borrow.release();
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
      PyObject* pair = PyTuple_New(2);
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
      PyObject* id = PyLong_FromUnsignedLong(hits[i].id);
      if (id == nullptr) return nullptr;
      PyTuple_SET_ITEM(pair, 0, id);
      PyObject* distance = PyFloat_FromDouble(hits[i].distance);
      if (distance == nullptr) return nullptr;
      PyTuple_SET_ITEM(pair, 1, distance);
    }
    return result.release();
  })
}

constexpr const char* kCreateNames[] = {"vectors"};
constexpr Signature kCreate{"PyFlat.create()", kCreateNames, 1};

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TARSIM_GUARD(nullptr, {
    PyObject* arg[1];
    if (!match_fastcall(kCreate, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    FlatObject* object = instance_of<Flat>(self);
    if (!acquire_self(self, type_object, "PyFlat", object->borrow, borrow, Access::Exclusive)) {
      return nullptr;
    }
    FloatRows vectors;
    std::unique_ptr<FloatBuffer> hold;
    if (!convert_arg("vectors", [&] { return to_float_rows(arg[0], vectors, &hold); })) {
      return nullptr;
    }
    if (vectors.empty()) {
      value_error(std::string("Create error: ") + flat::error_name(flat::FlatError::EmptyVectors));
      return nullptr;
    }
    Flat& index = object->record;
    // Vectors before the first one of another length are stored; that one
    // is an explicit failure of the index.
    const std::size_t good = vectors.first_row_not_of_length(index.dim());
    index.add_rows(vectors.data(), good);
    if (good < vectors.size()) {
      TARSIM_PANIC("Vector length " + std::to_string(vectors.row(good).size()) +
                   " does not match index dimension " + std::to_string(index.dim()));
      return nullptr;
    }
    return none();
  })
}

PyMethodDef methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_insert)),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\nThe vector is expected as a "
     "list of floats whose length equals the index dimension."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\nReturns a list "
     "of tuples `(id, distance)`."},
    {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_create)),
     METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors)\n--\n\nCreate an index from a list of vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
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
