// Module initialisation (multi-phase), module state, module globals, the
// module body's imports and definitions, and traceback entries.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "internal.hpp"

namespace frame {

ModuleState& state() {
  static ModuleState the_state;
  return the_state;
}

namespace {

// Objects that register themselves when the module's shared library is loaded
// and become interpreter objects while the module initialises.
std::vector<Name*>& names() {
  static std::vector<Name*> all;
  return all;
}
std::vector<Constant*>& constants() {
  static std::vector<Constant*> all;
  return all;
}
std::vector<Keywords*>& keyword_tuples() {
  static std::vector<Keywords*> all;
  return all;
}
std::vector<Builtin*>& builtins() {
  static std::vector<Builtin*> all;
  return all;
}
std::vector<LambdaBase*>& lambdas() {
  static std::vector<LambdaBase*> all;
  return all;
}

#if PY_VERSION_HEX >= 0x030C0000
unsigned long long module_dict_changes = 1;
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++module_dict_changes;
  return 0;
}
#endif

}  // namespace

void create_module_state() {
  for (Name* n : names()) {
    PyObject* s = PyUnicode_InternFromString(n->text_);
    if (!s) throw py::error_already_set();
    Py_XSETREF(n->m_ptr, s);
  }
  for (Constant* c : constants()) {
    PyObject* o = c->kind_ == Constant::Kind::integer ? PyLong_FromLong(c->integer_)
                  : c->kind_ == Constant::Kind::real  ? PyFloat_FromDouble(c->real_)
                                                      : PyUnicode_InternFromString(c->text_);
    if (!o) throw py::error_already_set();
    Py_XSETREF(c->m_ptr, o);
  }
  for (Keywords* k : keyword_tuples()) {
    py::tuple names(k->names_.size());
    for (std::size_t i = 0; i < k->names_.size(); ++i) {
      PyObject* s = PyUnicode_InternFromString(k->names_[i]);
      if (!s) throw py::error_already_set();
      names[i] = py::reinterpret_steal<py::object>(s);
    }
    Py_XSETREF(k->m_ptr, names.release().ptr());
  }
  for (LambdaBase* l : lambdas()) {
    const Function& f = l->function_;
    std::string outer = l->outer_;
    l->spec_ = make_spec(f.name_, outer + ".<locals>.<lambda>", outer + ".lambda", f.params_,
                         f.arity_, nullptr, false, f.thunk_, f.line_);
  }
}

void look_up_builtins() {
  for (Builtin* b : builtins()) {
    PyObject* value = PyObject_GetAttrString(state().builtins, b->name_);
    if (!value) {
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", b->name_);
      throw py::error_already_set();
    }
    Py_XSETREF(b->m_ptr, value);
  }
}

unsigned long long dict_version() {
#if PY_VERSION_HEX >= 0x030C0000
  return module_dict_changes;
#else
  return reinterpret_cast<PyDictObject*>(state().dict)->ma_version_tag;
#endif
}

// --- registered state objects ----------------------------------------------

Name::Name(const char* text) : text_(text) { names().push_back(this); }

Constant::Constant(long value) : kind_(Kind::integer), integer_(value) {
  constants().push_back(this);
}
Constant::Constant(double value) : kind_(Kind::real), real_(value) { constants().push_back(this); }
Constant::Constant(const char* text) : kind_(Kind::text), text_(text) {
  constants().push_back(this);
}

Keywords::Keywords(std::initializer_list<const char*> names) : names_(names) {
  keyword_tuples().push_back(this);
}

Builtin::Builtin(const char* name) : name_(name) { builtins().push_back(this); }

Global::Global(const char* name) : name_(name) {}

py::handle Global::get() const {
  unsigned long long version = dict_version();
  if (cached_ && cached_version_ == version) return cached_;
  PyObject* value = PyDict_GetItemWithError(state().dict, name_.ptr());
  if (!value && !PyErr_Occurred())
    value = PyDict_GetItemWithError(PyModule_GetDict(state().builtins), name_.ptr());
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.ptr());
    throw py::error_already_set();
  }
  Py_INCREF(value);
  Py_XSETREF(cached_, value);
  cached_version_ = version;
  return cached_;
}

// --- small helpers ---------------------------------------------------------

py::object detail::checked(PyObject* result) {
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object steal(PyObject* result) { return detail::checked(result); }

py::object attr_if_present(py::handle obj, const Name& name) {
  auto value = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj.ptr(), name.ptr()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
  }
  return value;
}

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string repr(py::handle obj) { return py::repr(obj).cast<std::string>(); }

py::object import(const Name& name) { return steal(PyImport_Import(name.ptr())); }

py::object slice(py::handle obj, py::handle start, py::handle stop) {
  py::object range = steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return steal(PyObject_GetItem(obj.ptr(), range.ptr()));
}

void assign_slice(py::handle obj, py::handle start, py::handle stop, py::handle value) {
  py::object range = steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  if (PyObject_SetItem(obj.ptr(), range.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object item(py::handle obj, Py_ssize_t i) {
  py::object index = integer(i);
  return steal(PyObject_GetItem(obj.ptr(), index.ptr()));
}

bool is_true(py::handle obj) {
  int truth = PyObject_IsTrue(obj.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

bool equal(py::handle a, py::handle b) {
  return is_true(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw py::error_already_set();
}

py::object integer(Py_ssize_t value) { return steal(PyLong_FromSsize_t(value)); }

// --- functions and lambdas -------------------------------------------------

Function::Function(const char* name, std::initializer_list<const char*> params, Thunk thunk,
                   std::size_t arity, int line)
    : name_(name), params_(params), thunk_(thunk), arity_(arity), line_(line) {}

Function Function::defaults(std::initializer_list<py::handle> values) && {
  for (py::handle value : values) defaults_.push_back(py::reinterpret_borrow<py::object>(value));
  return std::move(*this);
}

Function Function::doc(const char* text) && {
  doc_ = text;
  return std::move(*this);
}

Function Function::classmethod() && {
  classmethod_ = true;
  return std::move(*this);
}

LambdaBase::LambdaBase(const char* outer, std::initializer_list<const char*> params, Thunk thunk,
                       std::size_t arity, int line)
    : function_("<lambda>", params, thunk, arity, line), outer_(outer) {
  lambdas().push_back(this);
}

py::object LambdaBase::make() const { return make_function(spec_, {}); }

// --- the module body -------------------------------------------------------

Body::Body(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {}

py::object Body::global(const char* name) const {
  PyObject* value = PyDict_GetItemString(dict_.ptr(), name);
  if (!value) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

void Body::set_global(const char* name, py::handle value) {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

py::object Body::import_module(const char* name, py::handle fromlist) {
  return steal(PyImport_ImportModuleLevel(name, dict_.ptr(), nullptr, fromlist.ptr(), 0));
}

py::object Body::import(const char* name) {
  py::object top = import_module(name, nullptr);
  std::string first(name, strcspn(name, "."));
  set_global(first.c_str(), top);
  return top;
}

py::object Body::import_as(const char* name, const char* alias) {
  py::object module = steal(PyImport_ImportModule(name));
  set_global(alias, module);
  return module;
}

void Body::import_if_present(const char* name) {
  py::module_ warnings = py::module_::import("warnings");
  py::object guard = warnings.attr("catch_warnings")();
  guard.attr("__enter__")();
  py::object module;
  try {
    warnings.attr("simplefilter")("ignore", py::handle(PyExc_DeprecationWarning));
    module = import_module(name, nullptr);
  } catch (py::error_already_set& e) {
    bool absent = e.matches(PyExc_ModuleNotFoundError) &&
                  py::str(e.value().attr("name")).cast<std::string>() == name;
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    if (absent) return;
    throw;
  }
  guard.attr("__exit__")(py::none(), py::none(), py::none());
  set_global(name, module);
}

void Body::from_import(const char* module, std::initializer_list<const char*> what) {
  py::tuple fromlist(what.size());
  std::size_t i = 0;
  for (const char* name : what) fromlist[i++] = py::str(name);
  py::object source = import_module(module, fromlist);
  for (const char* name : what) {
    PyObject* value = PyObject_GetAttrString(source.ptr(), name);
    if (!value) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
      throw py::error_already_set();
    }
    set_global(name, py::reinterpret_steal<py::object>(value));
  }
}

void Body::star_import(const char* module) {
  py::object source = import_module(module, py::make_tuple("*"));
  py::object all = py::getattr(source, "__all__", py::none());
  py::object names_to_bind;
  if (!all.is_none()) {
    names_to_bind = all;
  } else {
    py::list public_names;
    for (auto entry : py::reinterpret_borrow<py::dict>(source.attr("__dict__"))) {
      if (!PyUnicode_Check(entry.first.ptr()) || PyUnicode_ReadChar(entry.first.ptr(), 0) != '_')
        public_names.append(entry.first);
    }
    names_to_bind = public_names;
  }
  for (auto name : names_to_bind)
    if (PyDict_SetItem(dict_.ptr(), name.ptr(), source.attr(name).ptr()) < 0)
      throw py::error_already_set();
}

py::object Body::define(Function f) {
  FunctionSpec* spec =
      make_spec(f.name_, f.name_, f.name_, f.params_, f.arity_, f.doc_, false, f.thunk_, f.line_);
  py::object function = make_function(spec, f.defaults_);
  set_global(f.name_, function);
  return function;
}

py::object Body::define_class(const char* name, const char* doc,
                              std::initializer_list<Function> methods,
                              std::initializer_list<const Field*> fields) {
  py::tuple bases(0);
  py::handle metaclass(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object ns = metaclass.attr("__prepare__")(name, bases);
  ns[py::str("__module__")] = py::str(state().identity->full_name);
  ns[py::str("__qualname__")] = py::str(name);
  if (doc) ns[py::str("__doc__")] = py::str(doc);
  if (fields.size() != 0) {
    py::list slots;
    for (const Field* field : fields) slots.append(field->name());
    slots.append(py::str("__dict__"));
    slots.append(py::str("__weakref__"));
    ns[py::str("__slots__")] = py::tuple(slots);
  }
  for (const Function& m : methods) {
    std::string qualname = std::string(name) + "." + m.name_;
    FunctionSpec* spec = make_spec(m.name_, qualname, qualname, m.params_, m.arity_, m.doc_, true,
                                   m.thunk_, m.line_);
    py::object method = make_function(spec, m.defaults_);
    if (m.classmethod_) method = steal(PyClassMethod_New(method.ptr()));
    ns[py::str(m.name_)] = method;
  }
  py::object cls = metaclass(name, bases, ns);
  for (const Field* field : fields) field->bind(cls);
  set_global(name, cls);
  return cls;
}

// --- traceback entries and exceptions ----------------------------------------

void add_traceback(const char* name, int line, PyObject** cached_code) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* raised = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
#endif
  if (!*cached_code)
    *cached_code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(state().identity->source_path, name, line));
  PyObject* globals = state().dict ? Py_NewRef(state().dict) : PyDict_New();
  PyFrameObject* frame =
      *cached_code && globals
          ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(*cached_code), globals,
                        nullptr)
          : nullptr;
  Py_XDECREF(globals);
  PyErr_Clear();  // a failure to make the entry must not hide the real error
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised);
#else
  PyErr_Restore(type, value, tb);
#endif
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

void translate_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// --- multi-phase initialisation ----------------------------------------------

namespace {

int64_t first_interpreter = -1;

PyObject* create(PyObject* spec, PyModuleDef*) {
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = interpreter;
  } else if (first_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be "
                    "loaded into one interpreter per process.");
    return nullptr;
  }
  // Always a new module object: one made after the module left sys.modules
  // is refused by the execution step, since the body runs once per process.
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (!name) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (!module) return nullptr;
  struct Copy {
    const char* from;
    const char* to;
    bool skip_none;
  };
  const Copy copies[] = {{"loader", "__loader__", false},
                         {"origin", "__file__", false},
                         {"parent", "__package__", false},
                         {"submodule_search_locations", "__path__", true}};
  PyObject* dict = PyModule_GetDict(module);
  for (const Copy& c : copies) {
    PyObject* value = PyObject_GetAttrString(spec, c.from);
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_DECREF(module);
        return nullptr;
      }
      PyErr_Clear();
      continue;
    }
    int failed = (c.skip_none && value == Py_None) ? 0 : PyDict_SetItemString(dict, c.to, value);
    Py_DECREF(value);
    if (failed < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
}

// Major and minor version from the interpreter's version string: each
// dot-separated run of digits is one component.
void runtime_version(int& major, int& minor) {
  int parts[4] = {0, 0, 0, 0};
  const char* v = Py_GetVersion();
  for (int i = 0; i < 4; ++i) {
    int value = 0;
    bool digits = false;
    while (*v >= '0' && *v <= '9') {
      value = value * 10 + (*v++ - '0');
      digits = true;
    }
    if (!digits) break;
    parts[i] = value;
    if (*v != '.') break;
    ++v;
  }
  major = parts[0];
  minor = parts[1];
}

void check_version(const char* full_name) {
  int major, minor;
  runtime_version(major, minor);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  char message[200];
  snprintf(message, sizeof message,
           "compile time Python version %d.%d of module '%.100s' %s runtime "
           "version %d.%d",
           PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", major, minor);
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) throw py::error_already_set();
}

int exec(PyObject* module) {
  ModuleState& st = state();
  if (st.module) {
    if (st.module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is "
                 "not supported.",
                 st.identity->short_name);
    return -1;
  }
  const char* full_name = st.identity->full_name;
  bool registered = false;
  try {
    st.module = Py_NewRef(module);
    st.dict = PyModule_GetDict(module);
    py::object builtins_module = steal(PyImport_ImportModule("builtins"));
    st.builtins = builtins_module.ptr();
    if (PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0)
      throw py::error_already_set();
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = PyDict_AddWatcher(count_change);
    if (watcher < 0 || PyDict_Watch(watcher, st.dict) < 0) throw py::error_already_set();
#endif
    check_version(full_name);
    ready_function_type();
    // pybind11 sets up its internals on first use, from the deleter of the
    // first error_already_set: made there at the recursion limit, its Python
    // calls fail, and its error formatting recurses until the stack is gone.
    py::detail::get_internals();
    create_module_state();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, full_name);
    if (!present) {
      if (PyDict_SetItemString(modules, full_name, module) < 0) throw py::error_already_set();
      registered = true;
    }
    look_up_builtins();
    Body body(module);
    st.identity->body(body);
    py::dict tests;
    if (PyObject_SetAttrString(module, "__test__", tests.ptr()) < 0) throw py::error_already_set();
    builtins_module.release();  // kept in the state for the life of the process
    return 0;
  } catch (...) {
    translate_exception();
  }
  if (registered) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, full_name) == module &&
        PyDict_DelItemString(modules, full_name) < 0)
      PyErr_Clear();
  }
  std::string entry = std::string("init ") + full_name;
  PyObject* code = nullptr;
  add_traceback(entry.c_str(), 1, &code);
  Py_XDECREF(code);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, entry.c_str());
  Py_CLEAR(st.module);
  st.dict = nullptr;
  st.builtins = nullptr;
  return -1;
}

}  // namespace

PyObject* module_init(const ModuleIdentity& identity) {
  // The module state is process-wide and the functions rely on the
  // interpreter's global lock: interpreters that know to ask are told that the
  // modules load into one interpreter only, and need the GIL.
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(create)},
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
      {Py_mod_gil, Py_MOD_GIL_USED},
#endif
      {0, nullptr}};
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                                   identity.full_name,
                                   nullptr,
                                   0,
                                   nullptr,
                                   slots,
                                   nullptr,
                                   nullptr,
                                   nullptr};
  state().identity = &identity;
  return PyModuleDef_Init(&definition);
}

}  // namespace frame
