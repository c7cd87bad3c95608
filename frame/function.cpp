// The function-object type of the frame: binds as a method, binds its call
// arguments by position or keyword with the interpreter's own error texts, and
// adds a traceback entry to every exception that leaves it.
#include "internal.hpp"

namespace frame {
namespace {

// Enough for every function of the package; checked when a function is made.
constexpr Py_ssize_t max_params = 16;

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* bound_defaults;  // captured at definition; what calls use
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* defaults;  // __defaults__ as callers see and may replace it
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakrefs;
};

// Filled in by ready_function_type(); the head alone is set statically.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// --- argument binding ------------------------------------------------------

void too_few_or_many(const FunctionSpec& s, Py_ssize_t ndefaults, Py_ssize_t given) {
  Py_ssize_t required = s.positional - ndefaults;
  const char* bound;
  Py_ssize_t expected;
  if (given < required) {
    bound = "at least";
    expected = required;
  } else {
    bound = "at most";
    expected = s.positional;
  }
  if (ndefaults == 0) bound = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               s.message_name.c_str(), bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const FunctionSpec& s, PyObject* key) {
  for (Py_ssize_t i = 0; i < s.positional; ++i)
    if (s.params[i] == key) return i;
  for (Py_ssize_t i = 0; i < s.positional; ++i) {
    int eq = PyUnicode_Compare(s.params[i], key);
    if (eq == 0) return i;
  }
  return -1;
}

// Fills slots[0..positional) with borrowed references and, for a "**"
// catch-all, slots[positional] with a new dict (returned through *extra).
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots, PyObject** extra) {
  const FunctionSpec& s = *f->spec;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Py_ssize_t ndefaults = f->bound_defaults ? PyTuple_GET_SIZE(f->bound_defaults) : 0;

  if (s.positional == 0 && !s.varkw) {
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)",
                   s.message_name.c_str(), nargs);
      return false;
    }
    if (nkw > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s.message_name.c_str());
      return false;
    }
    return true;
  }
  if (s.method && nargs == 0) {
    PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", s.qualname);
    return false;
  }
  if (nargs > s.positional) {
    too_few_or_many(s, ndefaults, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (s.varkw) {
    *extra = PyDict_New();
    if (!*extra) return false;
    slots[s.positional] = *extra;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.message_name.c_str());
      return false;
    }
    Py_ssize_t i = find_param(s, key);
    if (i >= 0) {
      if (slots[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     s.message_name.c_str(), key);
        return false;
      }
      slots[i] = value;
    } else if (s.varkw) {
      if (PyDict_SetItem(*extra, key, value) < 0) return false;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   s.message_name.c_str(), key);
      return false;
    }
  }
  Py_ssize_t required = s.positional - ndefaults;
  for (Py_ssize_t i = nargs; i < s.positional; ++i) {
    if (slots[i]) continue;
    if (i < required) {
      too_few_or_many(s, ndefaults, i);
      return false;
    }
    slots[i] = PyTuple_GET_ITEM(f->bound_defaults, i - required);
  }
  return true;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  const FunctionSpec& s = *f->spec;
  PyObject* slots[max_params + 1] = {};
  PyObject* extra = nullptr;
  PyObject* result = nullptr;
  // Counted as a Python call is: one function of the package calling another
  // (a multi-file reader among its own readers) passes through no Python
  // frame, and would otherwise recurse until the C stack overflows.
  if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots, &extra) &&
      Py_EnterRecursiveCall(" while calling a Python object") == 0) {
    try {
      result = s.thunk(slots);
    } catch (...) {
      translate_exception();
    }
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "function returned no result");
  }
  Py_XDECREF(extra);
  if (!result)
    add_traceback(s.traceback_name.c_str(), s.line, &const_cast<FunctionSpec&>(s).traceback_code);
  return result;
}

// --- descriptor, lifetime ----------------------------------------------------

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->bound_defaults);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->doc);
  Py_VISIT(f->module);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->bound_defaults);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// --- attributes --------------------------------------------------------------

// A settable attribute slot with a type rule, as the interpreter's own
// function objects enforce them.
enum class Rule { any, str, tuple_or_none, dict_or_none, dict };

bool check_rule(Rule rule, PyObject* value, const char* attr) {
  bool ok = true;
  const char* want = "";
  switch (rule) {
    case Rule::any:
      return true;
    case Rule::str:
      ok = value && PyUnicode_Check(value);
      want = "a string object";
      break;
    case Rule::tuple_or_none:
      ok = !value || value == Py_None || PyTuple_Check(value);
      want = "a tuple";
      break;
    case Rule::dict_or_none:
      ok = !value || value == Py_None || PyDict_Check(value);
      want = "a dict";
      break;
    case Rule::dict:
      ok = value && PyDict_Check(value);
      want = "a dictionary";
      break;
  }
  if (!ok) PyErr_Format(PyExc_TypeError, "%s must be set to %s", attr, want);
  return ok;
}

template <PyObject* FunctionObject::* Field, Rule rule>
PyObject* get_field(PyObject* self, void*) {
  PyObject* value = as_function(self)->*Field;
  return Py_NewRef(value ? value : Py_None);
}

template <PyObject* FunctionObject::* Field, Rule rule>
int set_field(PyObject* self, PyObject* value, void* closure) {
  if (!check_rule(rule, value, static_cast<const char*>(closure))) return -1;
  if (value == Py_None && (rule == Rule::tuple_or_none || rule == Rule::dict_or_none))
    value = nullptr;
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->*Field, value);
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return Py_NewRef(f->annotations);
}

PyObject* get_dict(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->dict && !(f->dict = PyDict_New())) return nullptr;
  return Py_NewRef(f->dict);
}

PyObject* get_globals(PyObject*, void*) { return Py_NewRef(state().dict); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->spec->code); }

#define FIELD(field, rule, attr)                        \
  {attr, get_field<&FunctionObject::field, Rule::rule>, \
   set_field<&FunctionObject::field, Rule::rule>, nullptr, const_cast<char*>(attr)}

PyGetSetDef function_getset[] = {
    FIELD(name, str, "__name__"),
    FIELD(qualname, str, "__qualname__"),
    FIELD(doc, any, "__doc__"),
    FIELD(module, any, "__module__"),
    FIELD(defaults, tuple_or_none, "__defaults__"),
    FIELD(kwdefaults, dict_or_none, "__kwdefaults__"),
    {"__annotations__", get_annotations,
     set_field<&FunctionObject::annotations, Rule::dict_or_none>, nullptr,
     const_cast<char*>("__annotations__")},
    {"__dict__", get_dict, set_field<&FunctionObject::dict, Rule::dict>, nullptr,
     const_cast<char*>("__dict__")},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef FIELD

// Pickled by reference, as the interpreter pickles its own functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

}  // namespace

void ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return;
  function_type.tp_name = "hdf5_kel_function";
  function_type.tp_basicsize = sizeof(FunctionObject);
  function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR;
  function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  function_type.tp_call = PyVectorcall_Call;
  function_type.tp_descr_get = function_get;
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_traverse = function_traverse;
  function_type.tp_clear = function_clear;
  function_type.tp_repr = function_repr;
  function_type.tp_getset = function_getset;
  function_type.tp_methods = function_methods;
  function_type.tp_dictoffset = offsetof(FunctionObject, dict);
  function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  if (PyType_Ready(&function_type) < 0) throw py::error_already_set();
}

FunctionSpec* make_spec(const char* name, const std::string& qualname,
                        const std::string& traceback_qualname,
                        const std::vector<const char*>& params, std::size_t arity, const char* doc,
                        bool method, Thunk thunk, int line) {
  auto* s = new FunctionSpec;  // lives as long as the process, like the module
  s->message_name = name;
  s->traceback_name = std::string(state().identity->full_name) + "." + traceback_qualname;
  s->method = method;
  s->thunk = thunk;
  s->line = line;
  for (const char* p : params) {
    bool catch_all = p[0] == '*' && p[1] == '*';
    if (catch_all) p += 2;
    PyObject* interned = PyUnicode_InternFromString(p);
    if (!interned) throw py::error_already_set();
    s->params.push_back(interned);
    if (catch_all)
      s->varkw = true;
    else
      ++s->positional;
  }
  if (s->params.size() != arity || s->positional > max_params)
    throw std::logic_error("parameter list of " + qualname + " does not match its C++ function");
  s->name = PyUnicode_InternFromString(name);
  s->qualname = PyUnicode_FromString(qualname.c_str());
  if (!s->name || !s->qualname) throw py::error_already_set();
  s->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
  if (!s->doc) throw py::error_already_set();

  // A code object that describes the parameters, for inspect.signature.
  py::list names;
  for (PyObject* p : s->params) names.append(p);
  py::tuple varnames(names);
  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (s->varkw ? CO_VARKEYWORDS : 0);
  py::object empty = py::reinterpret_steal<py::object>(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty(state().identity->source_path, name, line)));
  if (!empty) throw py::error_already_set();
  py::dict changes;
  changes["co_argcount"] = py::int_(s->positional);
  changes["co_varnames"] = varnames;
  changes["co_nlocals"] = py::int_(py::len(varnames));
  changes["co_flags"] = py::int_(flags);
#if PY_VERSION_HEX >= 0x030B0000
  changes["co_qualname"] = py::reinterpret_borrow<py::object>(s->qualname);
#endif
  s->code = empty.attr("replace")(**changes).release().ptr();
  return s;
}

py::object make_function(const FunctionSpec* spec, const std::vector<py::object>& defaults) {
  if (static_cast<Py_ssize_t>(defaults.size()) > spec->positional)
    throw std::logic_error("more defaults than parameters");
  auto* f = PyObject_GC_New(FunctionObject, &function_type);
  if (!f) throw py::error_already_set();
  f->vectorcall = function_vectorcall;
  f->spec = spec;
  f->bound_defaults = nullptr;
  f->name = Py_NewRef(spec->name);
  f->qualname = Py_NewRef(spec->qualname);
  f->doc = Py_NewRef(spec->doc);
  f->module = PyUnicode_FromString(state().identity->full_name);
  f->defaults = nullptr;
  f->kwdefaults = nullptr;
  f->annotations = nullptr;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
  if (!f->module) throw py::error_already_set();
  if (!defaults.empty()) {
    py::tuple captured(defaults.size());
    for (std::size_t i = 0; i < defaults.size(); ++i) captured[i] = defaults[i];
    f->bound_defaults = Py_NewRef(captured.ptr());
    f->defaults = Py_NewRef(captured.ptr());
  }
  return result;
}

}  // namespace frame
