// The Python boundary shared by both index classes.
#include "boundary.hpp"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string_view>

namespace tarsim::py {

// ---------------------------------------------------------------------------
// Borrow flag

bool Borrow::acquire(BorrowFlag& flag, Access access) {
  if (access == Access::Exclusive) {
    std::intptr_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
  } else {
    std::intptr_t current = flag.load();
    while (true) {
      if (current == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      if (flag.compare_exchange_weak(current, current + 1)) break;
    }
  }
  flag_ = &flag;
  access_ = access;
  return true;
}

void Borrow::release() {
  if (flag_ == nullptr) return;
  if (access_ == Access::Exclusive) {
    flag_->store(0);
  } else {
    flag_->fetch_sub(1);
  }
  flag_ = nullptr;
}

bool acquire_self(PyObject* self, PyTypeObject* type, const char* class_name,
                  BorrowFlag& flag, Borrow& borrow, Access access) {
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 type_name(self).c_str(), class_name);
    return false;
  }
  return borrow.acquire(flag, access);
}

// ---------------------------------------------------------------------------
// Classes

PyTypeObject* create_class(PyType_Spec* spec) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  Ref catcher = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!catcher) return nullptr;
  Ref entered = Ref::steal(PyObject_CallMethod(catcher.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  Ref type;
  Ref filtered = Ref::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                PyExc_DeprecationWarning));
  if (filtered) type = Ref::steal(PyType_FromSpec(spec));

  PyObject *error_type, *error_value, *error_traceback;
  PyErr_Fetch(&error_type, &error_value, &error_traceback);
  Ref exited = Ref::steal(
      PyObject_CallMethod(catcher.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (error_type != nullptr) {
    PyErr_Restore(error_type, error_value, error_traceback);
    return nullptr;
  }
  if (!exited || !type) return nullptr;
  Ref module_name = Ref::steal(PyUnicode_FromString("builtins"));
  if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// ---------------------------------------------------------------------------
// Parameter matching

namespace {

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  if (nargs <= sig.count) return true;
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.function, sig.count, nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.function, sig.required, sig.count, nargs, verb);
  }
  return false;
}

bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  if (PyUnicode_Check(name)) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.function,
                     name);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, name);
  return false;
}

bool check_required(const Signature& sig, PyObject* const* out) {
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                   sig.function, sig.names[i]);
      return false;
    }
  }
  return true;
}

}  // namespace

bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool match_classic(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

// ---------------------------------------------------------------------------
// Argument conversion

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void name_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  Ref original = Ref::steal(value);

  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;  // the failure to describe the error is raised instead
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref named = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!named) return;
  PyException_SetCause(named.get(), original.release());
  PyErr_SetObject(PyExc_TypeError, named.get());
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_i64(PyObject* obj, std::int64_t& out) {
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_f64(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_string(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 type_name(obj).c_str());
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

void refuse_str_for_vec() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

bool check_sequence(PyObject* obj) {
  if (PySequence_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
               type_name(obj).c_str());
  return false;
}

FloatBuffer::FloatBuffer(PyObject* obj, int ndim) {
  const char* tp = Py_TYPE(obj)->tp_name;
  if (std::strcmp(tp, "numpy.ndarray") != 0 && std::strcmp(tp, "array.array") != 0) return;
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return;
  }
  held_ = true;
  const char* format = view_.format == nullptr ? "B" : view_.format;
  if (format[0] == '@') ++format;
  if (view_.ndim != ndim || format[1] != '\0') return;
  if (format[0] == 'd' && view_.itemsize == sizeof(double)) {
    kind_ = 'd';
  } else if (format[0] == 'f' && view_.itemsize == sizeof(float)) {
    kind_ = 'f';
  }
}

FloatBuffer::~FloatBuffer() {
  if (held_) PyBuffer_Release(&view_);
}

const double* FloatBuffer::contiguous() const {
  if (kind_ != 'd') return nullptr;
  Py_ssize_t expected = sizeof(double);
  for (int axis = view_.ndim - 1; axis >= 0; --axis) {
    if (view_.shape[axis] > 1 && view_.strides[axis] != expected) return nullptr;
    expected *= view_.shape[axis];
  }
  return static_cast<const double*>(view_.buf);
}

namespace {

// Converts one sequence of floats, appending its values to `out`.
template <class Storage>
bool append_floats(PyObject* obj, Storage& out) {
  FloatBuffer buffer(obj, 1);
  if (buffer.usable()) {
    buffer.append(out);
    return true;
  }
  return for_each_item(
      obj,
      [&](std::size_t length) {
        // Grow geometrically: the rows of a list of lists append to one buffer.
        const std::size_t wanted = out.size() + length;
        if (wanted > out.capacity()) out.reserve(std::max(wanted, 2 * out.capacity()));
      },
      [&](PyObject* item) {
        double value;
        if (!to_f64(item, value)) return false;
        out.push_back(value);
        return true;
      });
}

}  // namespace

bool to_float_list(PyObject* obj, std::vector<double>& out) {
  out.clear();
  return append_floats(obj, out);
}

namespace {

// Converting a long list of rows runs no Python code: signals are checked
// every so many values, as the core's loops do.
class SignalPoll {
 public:
  // False with the handler's exception set when a signal handler raised.
  bool after(std::size_t converted) {
    if (converted - polled_ < Interrupt::kPollWork) return true;
    polled_ = converted;
    return PyErr_CheckSignals() == 0;
  }

 private:
  std::size_t polled_ = 0;
};

}  // namespace

bool to_float_rows(PyObject* obj, FloatRows& out, std::unique_ptr<FloatBuffer>* hold) {
  out.values.clear();
  out.ends.clear();
  out.external = nullptr;
  auto buffer_owner = std::make_unique<FloatBuffer>(obj, 2);
  const FloatBuffer& buffer = *buffer_owner;
  if (buffer.usable() && hold != nullptr && buffer.contiguous() != nullptr) {
    // Read in place: the caller keeps the buffer until it is done.
    const Py_ssize_t rows = buffer.shape(0), width = buffer.shape(1);
    out.ends.reserve(static_cast<std::size_t>(rows));
    for (Py_ssize_t r = 1; r <= rows; ++r) out.ends.push_back(static_cast<std::size_t>(r * width));
    out.external = buffer.contiguous();
    *hold = std::move(buffer_owner);
    return true;
  }
  if (buffer.usable()) {
    const Py_ssize_t rows = buffer.shape(0);
    out.values.reserve(static_cast<std::size_t>(rows * buffer.shape(1)));
    out.ends.reserve(static_cast<std::size_t>(rows));
    SignalPoll poll;
    for (Py_ssize_t r = 0; r < rows; ++r) {
      buffer.append(out.values, r);
      out.ends.push_back(out.values.size());
      if (!poll.after(out.values.size() + out.ends.size())) return false;
    }
    return true;
  }
  SignalPoll poll;
  return for_each_item(
      obj, [&](std::size_t length) { out.ends.reserve(length); },
      [&](PyObject* item) {
        if (!append_floats(item, out.values)) return false;
        out.ends.push_back(out.values.size());
        return poll.after(out.values.size() + out.ends.size());
      });
}

bool to_pair(PyObject* obj, Pair& out) {
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                 type_name(obj).c_str());
    return false;
  }
  Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
    return false;
  }
  if (!to_string(PyTuple_GET_ITEM(obj, 0), out.name)) return false;
  out.value = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
  return true;
}

bool to_pair_list(PyObject* obj, std::vector<Pair>& out) { return to_vector(obj, out, to_pair); }

bool to_pair_lists(PyObject* obj, std::vector<std::vector<Pair>>& out) {
  return to_vector(obj, out, to_pair_list);
}

bool to_string_list(PyObject* obj, std::vector<std::string>& out) {
  return to_vector(obj, out, to_string);
}

// ---------------------------------------------------------------------------
// Results

PyObject* float_list(const double* values, std::size_t count) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = PyFloat_FromDouble(values[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list.release();
}

namespace {

bool stop_for_signal(void*) { return PyErr_CheckSignals() < 0; }

}  // namespace

Interrupt signal_interrupt() { return Interrupt(stop_for_signal, nullptr); }

// ---------------------------------------------------------------------------
// Errors

bool value_error(const std::string& message) {
  // The message may quote a caller's name, which can hold any character,
  // NUL included, so it is not passed as a C string.
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return false;  // the failure to build the text is raised instead
  PyErr_SetObject(PyExc_ValueError, text.get());
  return false;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tarsim.PanicException",
        "Raised when the index code fails internally.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that it "
        "normally propagates all the way up the stack and ends the interpreter when nothing "
        "catches it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

static_assert(std::string_view(project_path("/home/a/tarsim/src/flat/py_flat.cpp")) ==
              "src/flat/py_flat.cpp");
static_assert(std::string_view(project_path("/b/src/x/src/boundary.cpp")) == "src/boundary.cpp");
static_assert(std::string_view(project_path("src/boundary.cpp")) == "src/boundary.cpp");
static_assert(std::string_view(project_path("/b/mysrc/boundary.cpp")) == "/b/mysrc/boundary.cpp");

namespace {

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to create the type is raised instead
  PyErr_SetString(type, message.c_str());
}

}  // namespace

void panic(const char* file, int line, const std::string& message) {
  std::fprintf(stderr, "tarsim: internal failure at %s:%d: %s\n", project_path(file), line,
               message.c_str());
  std::fflush(stderr);
  raise_panic(message);
}

void refuse(const char* file, int line, const std::string& report, const std::string& message) {
  std::fprintf(stderr, "tarsim: %s (%s:%d)\n", report.c_str(), project_path(file), line);
  std::fflush(stderr);
  raise_panic(message);
}

void set_error_from_current_exception(const char* file, int line) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    panic(file, line, e.what());
  } catch (...) {
    panic(file, line, "unknown failure in the index code");
  }
}

}  // namespace tarsim::py
