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
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/vectors.hpp"

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
// Parameter kinds
//
// A kind names the C++ value a parameter converts to (`type`) and how
// (`convert`, with the conventions above). Optional<K> takes an absent or
// None argument as std::nullopt.

namespace kind {

struct U32 {
  using type = std::uint32_t;
  static bool convert(PyObject* obj, type& out) { return to_u32(obj, out); }
};
struct String {
  using type = std::string;
  static bool convert(PyObject* obj, type& out) { return to_string(obj, out); }
};
struct StringList {
  using type = std::vector<std::string>;
  static bool convert(PyObject* obj, type& out) { return to_string_list(obj, out); }
};
struct FloatList {
  using type = std::vector<double>;
  static bool convert(PyObject* obj, type& out) { return to_float_list(obj, out); }
};
struct FloatRowsCopy {
  using type = FloatRows;
  static bool convert(PyObject* obj, type& out) { return to_float_rows(obj, out); }
};
// Rows that may be read in place from the caller's array (see
// to_float_rows): only for a method that runs no Python code before it has
// consumed them, apart from the handlers of signals that arrive meanwhile.
struct FloatRowsInPlace {
  struct type {
    FloatRows rows;
    std::unique_ptr<FloatBuffer> hold;
  };
  static bool convert(PyObject* obj, type& out) { return to_float_rows(obj, out.rows, &out.hold); }
};
struct PairOne {
  using type = Pair;
  static bool convert(PyObject* obj, type& out) { return to_pair(obj, out); }
};
struct PairList {
  using type = std::vector<Pair>;
  static bool convert(PyObject* obj, type& out) { return to_pair_list(obj, out); }
};
struct PairLists {
  using type = std::vector<std::vector<Pair>>;
  static bool convert(PyObject* obj, type& out) { return to_pair_lists(obj, out); }
};

template <class Kind>
struct Optional {
  using type = std::optional<typename Kind::type>;
  static bool convert(PyObject* obj, type& out) { return Kind::convert(obj, out.emplace()); }
};

template <class Kind>
inline constexpr bool is_optional = false;
template <class Kind>
inline constexpr bool is_optional<Optional<Kind>> = true;

}  // namespace kind

// ---------------------------------------------------------------------------
// Results and errors

inline PyObject* none() { Py_RETURN_NONE; }

// A new list of `count` 2-tuples (first(i), second(i)), built at its final
// length and filled in order; `first` and `second` return a new reference,
// or nullptr with an exception set.
template <class First, class Second>
PyObject* list_of_pairs(std::size_t count, First&& first, Second&& second) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
    PyObject* a = first(i);
    if (a == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, a);
    PyObject* b = second(i);
    if (b == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 1, b);
  }
  return result.release();
}

// A new list of the `count` floats at `values`.
PyObject* float_list(const double* values, std::size_t count);

// An interruption hook for a long core operation: it runs the handlers of
// pending signals, and asks to stop when one raised (its exception, for
// example KeyboardInterrupt, is then set). The interpreter may also run a
// scheduled garbage collection there, and so finalisers: like the handlers
// they run under the call's borrow, which keeps them off this index (apart
// from shared searches during a search).
Interrupt signal_interrupt();

// Qualified name of an object's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// ValueError with the given message; returns false / nullptr for chaining.
bool value_error(const std::string& message);

// A source file's path from the project root: from its last `src/` folder
// on, whatever folder the build ran in ("src/flat/py_flat.cpp").
constexpr const char* project_path(const char* file) {
  const char* from = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/' && (p == file || p[-1] == '/')) {
      from = p;
    }
  }
  return from;
}

// Reports an internal failure on standard error and sets PanicException.
void panic(const char* file, int line, const std::string& message);
#define TARSIM_PANIC(message) ::tarsim::py::panic(__FILE__, __LINE__, (message))

// The one caller's mistake answered with PanicException (a vector of the
// wrong length given to PyFlat.create): writes `report` to standard error,
// not as an internal failure, and sets PanicException with `message`.
void refuse(const char* file, int line, const std::string& report, const std::string& message);
#define TARSIM_REFUSE(report, message) \
  ::tarsim::py::refuse(__FILE__, __LINE__, (report), (message))

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
// Method shapes
//
// One trampoline per shape does what every call of that shape does: guard
// against C++ exceptions, match the arguments, check and borrow `self`, and
// convert each argument in parameter order (a failure named after its
// parameter). It then calls the method's logic (`Impl`) with the record and
// the typed values only.

// A class as the trampolines see it: its type object, set when the class is
// created, and its name for the wrong-receiver message.
template <class R>
struct ClassRef {
  using Record = R;
  PyTypeObject* const* type;
  const char* name;
};

template <class... Kinds, std::size_t... I>
bool convert_args(const Signature& sig, PyObject* const* arg,
                  std::tuple<typename Kinds::type...>& out, std::index_sequence<I...>) {
  auto one = [&]<class Kind>(const char* name, PyObject* value, typename Kind::type& slot) {
    if constexpr (kind::is_optional<Kind>) {
      value = given(value);
      if (value == nullptr) return true;
    }
    return convert_arg(name, [&] { return Kind::convert(value, slot); });
  };
  return (one.template operator()<Kinds>(sig.names[I], arg[I], std::get<I>(out)) && ...);
}

template <class... Kinds>
bool convert_args(const Signature& sig, PyObject* const* arg,
                  std::tuple<typename Kinds::type...>& out) {
  return convert_args<Kinds...>(sig, arg, out, std::index_sequence_for<Kinds...>{});
}

// A constructor: `Impl(values...)` gives the record, or nullopt with an
// exception set; the instance is allocated only then.
template <const Signature& Sig, auto Impl, class... Kinds>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static_assert(sizeof...(Kinds) == static_cast<std::size_t>(Sig.count));
  TARSIM_GUARD(nullptr, {
    PyObject* arg[sizeof...(Kinds)];
    if (!match_classic(Sig, args, kwargs, arg)) return nullptr;
    std::tuple<typename Kinds::type...> values;
    if (!convert_args<Kinds...>(Sig, arg, values)) return nullptr;
    auto record = std::apply([](auto&... v) { return Impl(std::move(v)...); }, values);
    if (!record) return nullptr;
    return new_instance(type, std::move(*record));
  })
}

// What every method call does before its logic: match the arguments, check
// and borrow `self`, convert the values; then `body(record, borrow, values)`.
template <const auto& Class, const Signature& Sig, Access access, class... Kinds, class Body>
PyObject* method_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body&& body) {
  static_assert(sizeof...(Kinds) == static_cast<std::size_t>(Sig.count));
  TARSIM_GUARD(nullptr, {
    PyObject* arg[sizeof...(Kinds)];
    if (!match_fastcall(Sig, args, nargs, kwnames, arg)) return nullptr;
    Borrow borrow;
    auto* instance = instance_of<typename std::remove_cvref_t<decltype(Class)>::Record>(self);
    if (!acquire_self(self, *Class.type, Class.name, instance->borrow, borrow, access)) {
      return nullptr;
    }
    std::tuple<typename Kinds::type...> values;
    if (!convert_args<Kinds...>(Sig, arg, values)) return nullptr;
    return body(instance->record, borrow, values);
  })
}

// A method that changes the index under the exclusive borrow:
// `Impl(record, values...)` returns false with an exception set, or true
// for a None result.
template <const auto& Class, const Signature& Sig, auto Impl, class... Kinds>
PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return method_call<Class, Sig, Access::Exclusive, Kinds...>(
      self, args, nargs, kwnames, [](auto& record, Borrow&, auto& values) -> PyObject* {
        if (!std::apply([&](auto&... v) { return Impl(record, std::move(v)...); }, values)) {
          return nullptr;
        }
        return none();
      });
}

// A method that reads the index under a shared borrow: `Impl(record,
// values...)` gives an answer that owns everything it holds, or nullopt with
// an exception set. The borrow is given back before `Build(answer)` makes
// the Python result: allocating it may run the cyclic collector (and
// finalisers that let other threads in).
template <const auto& Class, const Signature& Sig, auto Impl, auto Build, class... Kinds>
PyObject* query_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return method_call<Class, Sig, Access::Shared, Kinds...>(
      self, args, nargs, kwnames,
      [](const auto& record, Borrow& borrow, auto& values) -> PyObject* {
        auto answer =
            std::apply([&](auto&... v) { return Impl(record, std::move(v)...); }, values);
        if (!answer) return nullptr;
        borrow.release();
        return Build(*answer);
      });
}

// A fast-call method's entry for a method table.
template <class Function>
PyCFunction method_entry(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
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
