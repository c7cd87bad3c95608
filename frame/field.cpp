// Instance attributes kept in slots, read and written in place.
#include <stdexcept>
#include <string>

#include "internal.hpp"
// After the interpreter's main header, which it needs.
#include <structmember.h>

namespace frame {

void Field::bind(py::handle cls) const {
  py::object descriptor = steal(PyObject_GetAttr(cls.ptr(), name_.ptr()));
  if (!Py_IS_TYPE(descriptor.ptr(), &PyMemberDescr_Type))
    throw std::logic_error(std::string("class attribute is not a slot: ") + name_.text());
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member;
  offset_ = member->offset;
  Py_XSETREF(descriptor_, descriptor.release().ptr());
}

PyObject** Field::slot(py::handle obj) const {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  bool versioned = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
  if (!(type == checked_type_ && versioned && type->tp_version_tag == checked_version_)) {
    if (!descriptor_ || _PyType_Lookup(type, name_.ptr()) != descriptor_) return nullptr;
    // A class may borrow the descriptor without having the slot: its objects
    // are served by the descriptor itself, which refuses them with TypeError.
    if (!PyType_IsSubtype(type, PyDescr_TYPE(descriptor_))) return nullptr;
    // The look-up gives the class a version where it can have one.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
      checked_type_ = type;
      checked_version_ = type->tp_version_tag;
    }
  }
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.ptr()) + offset_);
}

PyObject* Field::peek(py::handle obj) const {
  PyObject** place = slot(obj);
  return place ? *place : nullptr;
}

py::object Field::get(py::handle obj) const {
  if (PyObject* value = peek(obj)) return py::reinterpret_borrow<py::object>(value);
  // Also an empty slot: the interpreter raises its own AttributeError.
  return steal(PyObject_GetAttr(obj.ptr(), name_.ptr()));
}

void Field::set(py::handle obj, py::handle value) const {
  if (PyObject** place = slot(obj)) {
    Py_XSETREF(*place, Py_NewRef(value.ptr()));
    return;
  }
  if (PyObject_SetAttr(obj.ptr(), name_.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace frame
