// with, for and repr for the classes of the modules: the iterator type that
// calls a method until it returns None, the bodies of __enter__ and __exit__,
// and the pieces of a repr that cannot fail.
#include <cstring>

#include "internal.hpp"

namespace frame {
namespace {

const Name close{"close"};

struct MethodIterator {
  PyObject_HEAD PyObject* obj;  // null once the method returned None
  PyObject* method;             // the method's name
};

// Filled in by ready_iterator_type(); the head alone is set statically.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject iterator_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

MethodIterator* as_iterator(PyObject* o) { return reinterpret_cast<MethodIterator*>(o); }

PyObject* iterator_next(PyObject* self) {
  MethodIterator* it = as_iterator(self);
  if (!it->obj) return nullptr;
  // Held for the call: the method may reach this iterator and end it.
  PyObject* args[] = {Py_NewRef(it->obj)};
  PyObject* result =
      PyObject_VectorcallMethod(it->method, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  Py_DECREF(args[0]);
  if (result == Py_None) {
    Py_DECREF(result);
    Py_CLEAR(it->obj);
    return nullptr;  // no exception set: the iteration is over
  }
  return result;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_iterator(self)->obj);
  return 0;
}

int iterator_clear(PyObject* self) {
  Py_CLEAR(as_iterator(self)->obj);
  return 0;
}

void iterator_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  iterator_clear(self);
  Py_CLEAR(as_iterator(self)->method);
  PyObject_GC_Del(self);
}

void ready_iterator_type() {
  if (iterator_type.tp_flags & Py_TPFLAGS_READY) return;
  iterator_type.tp_name = "hdf5_kel_method_iterator";
  iterator_type.tp_basicsize = sizeof(MethodIterator);
  iterator_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  iterator_type.tp_doc = "Calls a method of its object at every step, until it returns None.";
  iterator_type.tp_dealloc = iterator_dealloc;
  iterator_type.tp_traverse = iterator_traverse;
  iterator_type.tp_clear = iterator_clear;
  iterator_type.tp_iter = PyObject_SelfIter;
  iterator_type.tp_iternext = iterator_next;
  if (PyType_Ready(&iterator_type) < 0) throw py::error_already_set();
}

}  // namespace

py::object enter_self(py::handle self) { return py::reinterpret_borrow<py::object>(self); }

py::object exit_closing(py::handle self, py::handle, py::handle, py::handle) {
  call_method(self, close);
  return {};
}

py::object until_none(py::handle obj, const Name& method) {
  ready_iterator_type();
  auto* it = PyObject_GC_New(MethodIterator, &iterator_type);
  if (!it) throw py::error_already_set();
  it->obj = Py_NewRef(obj.ptr());
  it->method = Py_NewRef(method.ptr());
  PyObject_GC_Track(it);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(it));
}

py::object shown(py::handle obj, const Name& name) {
  return or_unknown(
      [&] { return steal(PyObject_Str(steal(PyObject_GetAttr(obj.ptr(), name.ptr())).ptr())); });
}

const char* file_state(py::handle obj, const Name& name) {
  py::object file;
  try {
    file = attr_if_present(obj, name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return "?";
  }
  // A constructor that failed before the open left no attribute.
  if (!file || file.is_none()) return "not open";
  const char* state = "?";
  or_unknown([&] {
    state = is_true(file) ? "open" : "closed";
    return py::object();
  });
  return state;
}

py::object type_name(py::handle obj) {
  // A class made by a class statement has its bare name here; a built-in
  // type has the module before a dot.
  const char* name = Py_TYPE(obj.ptr())->tp_name;
  const char* dot = std::strrchr(name, '.');
  return steal(PyUnicode_FromString(dot ? dot + 1 : name));
}

py::object repr_guarded(py::handle obj, py::object (*describe)(py::handle)) {
  int entered = Py_ReprEnter(obj.ptr());
  if (entered < 0) throw py::error_already_set();
  if (entered > 0) return format("<%U ...>", type_name(obj));
  py::object text;
  try {
    text = describe(obj);
  } catch (...) {
    Py_ReprLeave(obj.ptr());
    throw;
  }
  Py_ReprLeave(obj.ptr());
  return text;
}

}  // namespace frame
