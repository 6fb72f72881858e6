// The tarsim extension module: initialisation and class registration.
#include <atomic>

#include "boundary.hpp"
#include "flat/py_flat.hpp"
#include "hnsw/py_hnsw.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarsim",  // m_name
    "",        // m_doc
    0,         // m_size: no per-module state
    nullptr,   // m_methods: no module-level functions
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

// Appends `name` to the module's __all__ (created empty when absent) and sets
// the class as a module attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  using tarsim::py::Ref;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_tarsim(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarsim cannot be imported here: sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) {
    Py_INCREF(module_object);
    return module_object;
  }
  tarsim::py::Ref module = tarsim::py::Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!add_class(module.get(), "PyFlat", tarsim::py::flat_type())) return nullptr;
  if (!add_class(module.get(), "PyHNSW", tarsim::py::hnsw_type())) return nullptr;
  module_object = module.release();
  Py_INCREF(module_object);
  return module_object;
}
