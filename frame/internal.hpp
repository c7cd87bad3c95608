// Pieces of the frame shared between its own sources; modules do not use them.
#pragma once

#include <string>
#include <vector>

#include "frame.hpp"

namespace frame {

// Everything a function object needs that does not change after definition.
struct FunctionSpec {
  PyObject* name = nullptr;       // interned
  PyObject* qualname = nullptr;   // str
  std::string message_name;       // plain name, for binding errors
  std::string traceback_name;     // "<full module name>.<qualname>"
  PyObject* doc = nullptr;        // str or None
  std::vector<PyObject*> params;  // interned; the "**" catch-all last
  Py_ssize_t positional = 0;      // ordinary parameters, self included
  bool varkw = false;
  bool method = false;  // defined in a class body: self (or cls) first
  Thunk thunk = nullptr;
  int line = 0;
  PyObject* code = nullptr;            // __code__, for introspection
  PyObject* traceback_code = nullptr;  // made on the first error
};

// The running module's identity and state, one per extension module.
struct ModuleState {
  const ModuleIdentity* identity = nullptr;
  PyObject* module = nullptr;  // strong
  PyObject* dict = nullptr;    // borrowed from module
  PyObject* builtins = nullptr;
};
ModuleState& state();

// A version of the module dictionary that changes whenever it changes.
unsigned long long dict_version();

FunctionSpec* make_spec(const char* name, const std::string& qualname,
                        const std::string& traceback_qualname,
                        const std::vector<const char*>& params, std::size_t arity, const char* doc,
                        bool method, Thunk thunk, int line);
py::object make_function(const FunctionSpec* spec, const std::vector<py::object>& defaults);
void ready_function_type();

// Adds "<name>" at source_path:line to the traceback of the current exception.
void add_traceback(const char* name, int line, PyObject** cached_code);

// Turns the C++ exception being handled into the Python one.
void translate_exception();

}  // namespace frame
