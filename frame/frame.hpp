// The module frame: what every extension module of hdf5_kel is built on.
//
// A module source declares its interned names, globals and builtins as static
// objects, writes each function or method as a C++ function over py::handle
// parameters, and lists them in a body function that runs once when the module
// is first imported:
//
//   const frame::Name shape_{"shape"};
//   const frame::Global np_{"np"};
//
//   py::object get_data(py::handle self, py::handle remain_len) { ... }
//
//   void body(frame::Body& m) {
//     m.import_as("numpy", "np");
//     m.define_class("NumpyBuffer", nullptr,
//                    {frame::def<get_data>("getData", {"self", "remainLen"})});
//   }
//   FRAME_MODULE(framepool, "hdf5_kel.swmr.library.framepool",
//                "hdf5_kel/swmr/library/framepool", body)
//
// The frame turns those declarations into interpreter function objects and
// classes, binds call arguments, adds traceback entries and runs the
// multi-phase module initialisation.
#pragma once

#include <pybind11/pybind11.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the layout of ints, part of the main header from 3.11 on
#endif

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace frame {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Module state: interned names, constants, builtins and globals.

// A string interned once while the module initialises, so that attribute and
// keyword look-ups can compare by identity first.
class Name : public py::handle {
 public:
  explicit Name(const char* text);
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  const char* text() const { return text_; }

 private:
  friend void create_module_state();
  const char* text_;
};

// An immutable value (int, float or str) made once while the module
// initialises.
class Constant : public py::handle {
 public:
  explicit Constant(long value);
  explicit Constant(double value);
  explicit Constant(const char* text);
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

 private:
  friend void create_module_state();
  enum class Kind { integer, real, text } kind_;
  long integer_ = 0;
  double real_ = 0;
  const char* text_ = nullptr;
};

// The keyword names of a call with fixed keywords, a tuple made once.
class Keywords : public py::handle {
 public:
  Keywords(std::initializer_list<const char*> names);
  Keywords(const Keywords&) = delete;
  Keywords& operator=(const Keywords&) = delete;

  std::size_t size() const { return names_.size(); }

 private:
  friend void create_module_state();
  std::vector<const char*> names_;
};

// A builtin the module calls, looked up once in `builtins` during
// initialisation; an interpreter that lacks it fails the import with NameError.
class Builtin : public py::handle {
 public:
  explicit Builtin(const char* name);
  Builtin(const Builtin&) = delete;
  Builtin& operator=(const Builtin&) = delete;

  template <typename... A>
  py::object operator()(A&&... args) const;

 private:
  friend void look_up_builtins();
  const char* name_;
};

// A module global read by function bodies: looked up in the module dictionary,
// then in `builtins`, else NameError. The value is cached until the module
// dictionary changes.
class Global {
 public:
  explicit Global(const char* name);
  Global(const Global&) = delete;
  Global& operator=(const Global&) = delete;

  // Borrowed: the module dictionary (or builtins) keeps the value alive.
  py::handle get() const;
  operator py::handle() const { return get(); }
  auto attr(py::handle name) const { return get().attr(name); }
  template <typename... A>
  py::object operator()(A&&... args) const;

 private:
  const Name name_;
  mutable PyObject* cached_ = nullptr;
  mutable unsigned long long cached_version_ = 0;
};

// An instance attribute that a class of the module keeps in a slot of its own
// (the class lists it in __slots__), read and written in place rather than
// through the generic attribute look-up. That holds while the object's class
// still resolves the name to the slot; an object whose class puts something
// else under the name (a subclass, a class changed at run time, an object of
// another class) is served through getattr and setattr.
class Field {
 public:
  explicit Field(const char* name) : name_(name) {}
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  const Name& name() const { return name_; }
  // obj.name
  py::object get(py::handle obj) const;
  // obj.name, borrowed from the slot; null (and no error) when the slot is
  // empty or obj is not served in place.
  PyObject* peek(py::handle obj) const;
  // obj.name = value
  void set(py::handle obj, py::handle value) const;

 private:
  friend class Body;
  void bind(py::handle cls) const;
  PyObject** slot(py::handle obj) const;
  Name name_;
  // Set once, when the module body defines the class.
  mutable PyObject* descriptor_ = nullptr;  // the class's slot descriptor, strong
  mutable Py_ssize_t offset_ = 0;
  // The last class found to resolve the name to the slot, and its version
  // then: the interpreter gives a class a new version whenever it changes.
  mutable PyTypeObject* checked_type_ = nullptr;
  mutable unsigned int checked_version_ = 0;
};

// ---------------------------------------------------------------------------
// Calling into Python.

namespace detail {
py::object checked(PyObject* result);

// Arguments of a call, held as interpreter objects until the call returns.
inline py::handle hold(py::handle h) { return h; }
inline py::handle hold(const Global& g) { return g.get(); }
template <typename Policy>
py::object hold(const py::detail::accessor<Policy>& a) {
  return a;
}
inline py::object hold(const char* text) { return py::str(text); }
inline py::object hold(const std::string& text) { return py::str(text); }

template <typename... H>
py::object vectorcall(py::handle callable, py::handle kwnames, std::size_t nkw, const H&... held) {
  PyObject* stack[] = {nullptr, held.ptr()...};
  return checked(PyObject_Vectorcall(callable.ptr(), stack + 1,
                                     (sizeof...(H) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames.ptr()));
}

template <typename... H>
py::object vectorcall_method(const py::handle& name, const H&... held) {
  PyObject* stack[] = {held.ptr()...};
  return checked(PyObject_VectorcallMethod(name.ptr(), stack,
                                           sizeof...(H) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
}  // namespace detail

// callable(*args), through vectorcall.
template <typename... A>
py::object call(py::handle callable, A&&... args) {
  return detail::vectorcall(callable, py::handle(), 0, detail::hold(std::forward<A>(args))...);
}

// obj.name(*args), without making a bound method.
template <typename... A>
py::object call_method(py::handle obj, const Name& name, A&&... args) {
  return detail::vectorcall_method(name, obj, detail::hold(std::forward<A>(args))...);
}

// callable(*positional, **keywords): the last keywords.size() arguments are
// the values of the keywords, in their order.
template <typename... A>
py::object call_kw(py::handle callable, const Keywords& keywords, A&&... args) {
  return detail::vectorcall(callable, keywords, keywords.size(),
                            detail::hold(std::forward<A>(args))...);
}

// Lets a waiting loop that never sleeps still end on Ctrl-C: raises
// KeyboardInterrupt (or what a signal handler raised) as an exception.
void check_signals();

template <typename... A>
py::object Builtin::operator()(A&&... args) const {
  return frame::call(*this, std::forward<A>(args)...);
}

template <typename... A>
py::object Global::operator()(A&&... args) const {
  return frame::call(get(), std::forward<A>(args)...);
}

// A new reference returned by a C API call, or its pending exception thrown.
py::object steal(PyObject* result);
// obj.<name>, or an empty object where obj has no such attribute
// (AttributeError); any other error is thrown.
py::object attr_if_present(py::handle obj, const Name& name);
// str(obj) and repr(obj), for messages.
std::string text(py::handle obj);
std::string repr(py::handle obj);
// import name, where a function body does it at call time.
py::object import(const Name& name);
// obj[start:stop]
py::object slice(py::handle obj, py::handle start, py::handle stop);
// obj[start:stop] = value
void assign_slice(py::handle obj, py::handle start, py::handle stop, py::handle value);
// obj[i] with an integer index, as Python's subscription does it.
py::object item(py::handle obj, Py_ssize_t i);
// The truth value of obj, as `if obj:` decides it.
bool is_true(py::handle obj);
// a == b (and !=), rich comparison then truth value, as `if a == b:`.
bool equal(py::handle a, py::handle b);
// A new Python int.
py::object integer(Py_ssize_t value);

// The value of obj when it is a plain int that fits into a long long; false
// for anything else, a null pointer included. An int of one internal digit
// (every frame count below 2**30) is read in place, without a call.
inline bool machine_int(PyObject* obj, long long& value) {
  if (!obj || !PyLong_CheckExact(obj)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return true;
  }
#else
  Py_ssize_t digits = Py_SIZE(obj);
  if (digits >= -1 && digits <= 1) {
    value = digits * static_cast<long long>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
    return true;
  }
#endif
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  return overflow == 0;
}

// ---------------------------------------------------------------------------
// with, for and repr for the classes of the modules.

// __enter__ of a class whose objects own a file: the object itself.
py::object enter_self(py::handle self);
// __exit__ of such a class: self.close(), looked up as any attribute is (so a
// subclass's close is the one called), however the block ended. Returns None,
// so that an exception raised in the block propagates.
py::object exit_closing(py::handle self, py::handle exc_type, py::handle exc_value,
                        py::handle traceback);

// The iterator of `for block in obj`: every step calls obj.method(), looked
// up afresh each time as `self.method()` in Python is, and the iteration ends
// at the first None it returns. An exception propagates and leaves the
// iterator as it was, so that the next step calls the method again.
py::object until_none(py::handle obj, const Name& method);
// __iter__ over self.method(): frame::def<frame::iterate<read_chunk>>.
template <const Name& method>
py::object iterate(py::handle self) {
  return until_none(self, method);
}

// What describe() returns, or "?" when it fails with an error of the
// Exception family: a repr must give a text whatever state its object is in
// (half built, closed, attributes replaced). Anything else, KeyboardInterrupt
// above all, still propagates.
template <typename F>
py::object or_unknown(F describe) {
  try {
    return describe();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  return py::str("?");
}
// str(obj.name), or "?".
py::object shown(py::handle obj, const Name& name);
// What obj.name holds as a file: "open", "closed" (an object whose truth
// value is false, as h5py's closed files are), "not open" (missing or None)
// or "?".
const char* file_state(py::handle obj, const Name& name);
// type(obj).__name__, as a str.
py::object type_name(py::handle obj);

namespace detail {
inline PyObject* format_arg(const py::handle& h) { return h.ptr(); }
inline const char* format_arg(const char* text) { return text; }
inline Py_ssize_t format_arg(Py_ssize_t number) { return number; }
}  // namespace detail

// PyUnicode_FromFormat(format, args...): interpreter objects for %U, %S and
// %R, C strings for %s, Py_ssize_t for %zd.
template <typename... A>
py::object format(const char* format, const A&... args) {
  return steal(PyUnicode_FromFormat(format, detail::format_arg(args)...));
}

// The repr of obj as describe() makes it, or "<TypeName ...>" when obj is
// already being shown further up (an object that reaches itself through its
// attributes).
py::object repr_guarded(py::handle obj, py::object (*describe)(py::handle));
// __repr__ made by describe: frame::def<frame::guarded_repr<describe_reader>>.
template <py::object (*describe)(py::handle)>
py::object guarded_repr(py::handle self) {
  return repr_guarded(self, describe);
}

// ---------------------------------------------------------------------------
// Declaring functions and classes.

using Thunk = PyObject* (*)(PyObject* const* args);

namespace detail {
template <typename R, typename... A>
constexpr std::size_t arity(R (*)(A...)) {
  return sizeof...(A);
}
template <auto F, std::size_t... I>
PyObject* invoke(PyObject* const* args, std::index_sequence<I...>) {
  py::object result = F(py::handle(args[I])...);
  // A body that returns an empty object returns None, as `return` does.
  return result ? result.release().ptr() : Py_NewRef(Py_None);
}
template <auto F>
PyObject* thunk(PyObject* const* args) {
  return invoke<F>(args, std::make_index_sequence<arity(F)>());
}
}  // namespace detail

// The description of a function or method before it becomes an object.
// Parameters are listed in order; a last parameter written "**name" collects
// every further keyword argument into a dict.
class Function {
 public:
  Function(const char* name, std::initializer_list<const char*> params, Thunk thunk,
           std::size_t arity, int line);

  // Defaults for the last parameters, captured now and used by every call.
  Function defaults(std::initializer_list<py::handle> values) &&;
  Function doc(const char* text) &&;
  Function classmethod() &&;

 private:
  friend class Body;
  friend class LambdaBase;
  friend void create_module_state();
  const char* name_;
  std::vector<const char*> params_;
  Thunk thunk_;
  std::size_t arity_;
  int line_;
  std::vector<py::object> defaults_;
  const char* doc_ = nullptr;
  bool classmethod_ = false;
};

// def name(params): the C++ function F takes one py::handle per parameter.
template <auto F>
Function def(const char* name, std::initializer_list<const char*> params,
             int line = __builtin_LINE()) {
  return Function(name, params, &detail::thunk<F>, detail::arity(F), line);
}

struct FunctionSpec;

// A nested lambda: a new function object is made on every call of the
// enclosing function, named "<outer>.<locals>.<lambda>".
class LambdaBase {
 public:
  LambdaBase(const char* outer, std::initializer_list<const char*> params, Thunk thunk,
             std::size_t arity, int line);
  py::object make() const;

 private:
  friend void create_module_state();
  Function function_;
  const char* outer_;
  FunctionSpec* spec_ = nullptr;
};

template <auto F>
class Lambda : public LambdaBase {
 public:
  Lambda(const char* outer, std::initializer_list<const char*> params, int line = __builtin_LINE())
      : LambdaBase(outer, params, &detail::thunk<F>, detail::arity(F), line) {}
};

// What a module body does: imports, function and class definitions, each
// bound as a module global.
class Body {
 public:
  explicit Body(PyObject* module);

  py::handle module() const { return module_; }
  py::object global(const char* name) const;
  void set_global(const char* name, py::handle value);

  // import name (a dotted name binds its top-level package)
  py::object import(const char* name);
  // import name as alias
  py::object import_as(const char* name, const char* alias);
  // import name, where the interpreter still has it; deprecation warnings of
  // the import are silenced
  void import_if_present(const char* name);
  // from module import names...
  void from_import(const char* module, std::initializer_list<const char*> names);
  // from module import *
  void star_import(const char* module);

  // def name(...): bound as a module global; returns the function object.
  py::object define(Function function);
  // class name: with the methods in order; returns the class. Fields make
  // the class's __slots__ (with __dict__ and __weakref__ after them, so that
  // its objects still take other attributes and weak references).
  py::object define_class(const char* name, const char* doc,
                          std::initializer_list<Function> methods,
                          std::initializer_list<const Field*> fields = {});

 private:
  py::object import_module(const char* name, py::handle fromlist);
  PyObject* module_;
  py::handle dict_;
};

using BodyFunction = void (*)(Body&);

struct ModuleIdentity {
  const char* short_name;
  const char* full_name;
  const char* source_path;
  BodyFunction body;
};

PyObject* module_init(const ModuleIdentity& identity);

}  // namespace frame

#define FRAME_MODULE(short_name, full_name, source_path, body)                              \
  PyMODINIT_FUNC PyInit_##short_name() {                                                    \
    static const frame::ModuleIdentity identity{#short_name, full_name, source_path, body}; \
    return frame::module_init(identity);                                                    \
  }
