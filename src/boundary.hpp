// The Python boundary shared by both index classes: owned references, the
// per-object borrow flag, parameter matching, argument conversion, result
// conversion and the module's exceptions.
//
// Conventions: a function returning bool returns false with a Python
// exception set; a function returning PyObject* returns a new reference or
// nullptr with an exception set. Nothing here throws a C++ exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "metrics/vectors.hpp"

namespace tarsim::py {

// ---------------------------------------------------------------------------
// Owned references

// Owns one strong reference (or none) and releases it on destruction.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* obj) { return Ref(obj); }
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Instances and the borrow flag

// 0 free, -1 exclusively borrowed, n > 0 held by n shared borrows.
using BorrowFlag = std::atomic<std::intptr_t>;

// Layout of an instance: the object header, the index record, the borrow flag.
template <class Record>
struct Instance {
  PyObject_HEAD
  Record record;
  BorrowFlag borrow;
};

template <class Record>
Instance<Record>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<Record>*>(self);
}

// Allocates an instance through the type's allocation slot and moves the
// record in; the borrow flag starts free.
template <class Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  Instance<Record>* instance = instance_of<Record>(self);
  new (&instance->record) Record(std::move(record));
  new (&instance->borrow) BorrowFlag(0);
  return self;
}

// Destroys the record (freeing everything it owns) and returns the memory.
template <class Record>
void dealloc_instance(PyObject* self) {
  Instance<Record>* instance = instance_of<Record>(self);
  instance->record.~Record();
  instance->borrow.~BorrowFlag();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Creates a class object from its type description. The classes are named
// without a module prefix, which the interpreter reports with a
// DeprecationWarning while creating them (an error under `-W error`) and
// which leaves `__module__` unset; the warning is silenced for the creation
// and `__module__` is then set to "builtins", as for any class whose name has
// no module prefix.
PyTypeObject* create_class(PyType_Spec* spec);

enum class Access { Shared, Exclusive };

// Holds one borrow of an object for the scope of a call.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() { release(); }

  // Takes the borrow; fails with RuntimeError on a conflict, never waits.
  bool acquire(BorrowFlag& flag, Access access);
  void release();

 private:
  BorrowFlag* flag_ = nullptr;
  Access access_ = Access::Shared;
};

// Checks that `self` is an instance of `type` (TypeError "'{type}' object
// cannot be converted to '<name>'" otherwise) and takes its borrow.
bool acquire_self(PyObject* self, PyTypeObject* type, const char* class_name,
                  BorrowFlag& flag, Borrow& borrow, Access access);

// ---------------------------------------------------------------------------
// Parameter matching

// A constructor or method signature. Every parameter may be given by position
// or by keyword; the first `required` are required.
struct Signature {
  const char* function;             // e.g. "PyFlat.search()"
  const char* const* names;         // parameter names in order
  Py_ssize_t count;                 // number of parameters
  Py_ssize_t required = 1;
};

// Matches a fast call (positional values in an array, keyword names in a
// tuple with their values after the positional ones). On success out[i] holds
// a borrowed reference to parameter i's value, or nullptr when not given.
bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for a classic call (positional tuple, keyword dict or nullptr).
bool match_classic(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// An optional parameter given as None counts as absent.
inline PyObject* given(PyObject* value) { return value == Py_None ? nullptr : value; }

// ---------------------------------------------------------------------------
// Argument conversion, one converter per kind

bool to_u32(PyObject* obj, std::uint32_t& out);
bool to_i64(PyObject* obj, std::int64_t& out);
bool to_f64(PyObject* obj, double& out);
bool to_string(PyObject* obj, std::string& out);
bool to_float_list(PyObject* obj, std::vector<double>& out);
// A float buffer exported by an exact numpy.ndarray or array.array, held
// while it is read. Iterating those objects yields floats (or float32 values,
// widened exactly) equal to the buffer's elements, so reading the buffer gives
// the same values as the item-by-item conversion without running any Python
// code. Subclasses may iterate differently and are converted item by item.
class FloatBuffer {
 public:
  FloatBuffer(PyObject* obj, int ndim);
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer();

  // Whether the buffer has `ndim` axes of float64 or float32 values.
  bool usable() const { return kind_ != 0; }
  Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
  // All values back to back in row order when they lie so as float64.
  const double* contiguous() const;
  // Appends the values of row `row` (two axes) or of the whole buffer (one).
  template <class Storage>
  void append(Storage& out, Py_ssize_t row = 0) const {
    const int last = view_.ndim - 1;
    const Py_ssize_t count = view_.shape[last];
    const Py_ssize_t stride = view_.strides[last];
    const char* p = static_cast<const char*>(view_.buf) + (last == 1 ? row * view_.strides[0] : 0);
    if (kind_ == 'd' && stride == static_cast<Py_ssize_t>(sizeof(double))) {
      const double* first = reinterpret_cast<const double*>(p);
      out.insert(out.end(), first, first + count);
      return;
    }
    for (Py_ssize_t i = 0; i < count; ++i, p += stride) {
      if (kind_ == 'd') {
        double v;
        std::memcpy(&v, p, sizeof v);
        out.push_back(v);
      } else {
        float v;
        std::memcpy(&v, p, sizeof v);
        out.push_back(static_cast<double>(v));
      }
    }
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char kind_ = 0;
};

// A list of float lists. With `hold`, a contiguous float64 2-D array is not
// copied: `out` then points into it and `hold` keeps it exported; use it
// only where no Python code runs before `out` is consumed.
bool to_float_rows(PyObject* obj, FloatRows& out, std::unique_ptr<FloatBuffer>* hold = nullptr);

// A (string, object) pair; the object is kept as an owned reference.
struct Pair {
  std::string name;
  Ref value;
};
bool to_pair(PyObject* obj, Pair& out);
bool to_pair_list(PyObject* obj, std::vector<Pair>& out);
bool to_pair_lists(PyObject* obj, std::vector<std::vector<Pair>>& out);
bool to_string_list(PyObject* obj, std::vector<std::string>& out);

// The list rule of every "list of X" kind: refuses a str and non-sequences,
// calls `reserve(reported length)`, then converts each item of the iteration
// in order with `convert(item)` (a callable returning bool).
template <class Reserve, class Convert>
bool for_each_item(PyObject* obj, Reserve&& reserve, Convert&& convert);

// The list rule into a std::vector, one `convert(item, element)` per item.
template <class T, class Convert>
bool to_vector(PyObject* obj, std::vector<T>& out, Convert&& convert) {
  out.clear();
  return for_each_item(
      obj, [&](std::size_t length) { out.reserve(length); },
      [&](PyObject* item) {
        T element;
        if (!convert(item, element)) return false;
        out.push_back(std::move(element));
        return true;
      });
}

// Runs a conversion of the value of parameter `name`. A failure whose
// exception is exactly TypeError is replaced by TypeError "argument 'name': "
// + message, chained to the original as __cause__; other exceptions pass.
void name_argument_error(const char* name);
template <class Convert>
bool convert_arg(const char* name, Convert&& convert) {
  if (convert()) return true;
  name_argument_error(name);
  return false;
}

// ---------------------------------------------------------------------------
// Results and errors

inline PyObject* none() { Py_RETURN_NONE; }

// Qualified name of an object's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// ValueError with the given message; returns false / nullptr for chaining.
bool value_error(const std::string& message);

// Reports an internal failure on standard error and sets PanicException.
void panic(const char* file, int line, const std::string& message);
#define TARSIM_PANIC(message) ::tarsim::py::panic(__FILE__, __LINE__, (message))

// The PanicException type, created on first use and kept for the process.
PyObject* panic_exception_type();

// Turns a C++ exception escaping the core into a Python exception:
// std::bad_alloc gives MemoryError, anything else PanicException.
void set_error_from_current_exception(const char* file, int line);

// Runs `body` (returning PyObject* or bool) so that no C++ exception leaves it.
#define TARSIM_GUARD(failure, ...)                                      \
  try {                                                                 \
    __VA_ARGS__                                                         \
  } catch (...) {                                                       \
    ::tarsim::py::set_error_from_current_exception(__FILE__, __LINE__); \
    return failure;                                                     \
  }

// ---------------------------------------------------------------------------
// Template definitions

void refuse_str_for_vec();
bool check_sequence(PyObject* obj);

template <class Reserve, class Convert>
bool for_each_item(PyObject* obj, Reserve&& reserve, Convert&& convert) {
  if (PyUnicode_Check(obj)) {
    refuse_str_for_vec();
    return false;
  }
  if (!check_sequence(obj)) return false;
  Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    length = 0;
  }
  // The reported length is only a hint for reserving; a sequence may claim
  // far more items than it yields, so the hint is capped.
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
  reserve(static_cast<std::size_t>(length < kMaxReserve ? length : kMaxReserve));

  // Exact lists and tuples are walked in place; this visits the same items as
  // their iterators would, re-reading a list's size after every item because
  // converting an item may run code that changes the list.
  if (PyList_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
      if (!convert(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
      if (!convert(PyTuple_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!convert(item.get())) return false;
  }
}

}  // namespace tarsim::py
