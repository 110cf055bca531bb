// What the module's classes share: the slots that refuse new instances, attributes and
// subclasses, and the making of a class with them.
#include "classes.hpp"

#include <algorithm>
#include <vector>

namespace vexdal_py {

namespace {

// Raises TypeError with format's two %S as the class's __module__ and __qualname__: built from
// the attributes, as some interpreters (PyPy) keep only the bare name in tp_name.
PyObject* refuse_by_name(PyObject* cls, const char* format) {
  Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
  Ref qualname = module ? Ref::steal(PyObject_GetAttrString(cls, "__qualname__")) : Ref();
  if (!qualname) return nullptr;
  return PyErr_Format(PyExc_TypeError, format, module.get(), qualname.get());
}

}  // namespace

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  return refuse_by_name(reinterpret_cast<PyObject*>(type), "cannot create '%S.%S' instances");
}

int refuse_setattr(PyObject* self, PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'",
                 Py_TYPE(name)->tp_name);
  } else {
    PyErr_Format(PyExc_AttributeError, "cannot %s attribute '%U' of immutable '%s' object",
                 value == nullptr ? "delete" : "set", name, Py_TYPE(self)->tp_name);
  }
  return -1;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
  // cls is the new subclass, or one of ours when called directly; name the base of ours that it
  // tried to extend.
  PyObject* base = cls;
  Ref bases = Ref::steal(PyObject_GetAttrString(cls, "__mro__"));
  if (bases && PyTuple_Check(bases.get())) {
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(bases.get()); ++i) {
      PyObject* candidate = PyTuple_GET_ITEM(bases.get(), i);
      if (PyType_Check(candidate) &&
          reinterpret_cast<PyTypeObject*>(candidate)->tp_setattro == refuse_setattr) {
        base = candidate;
        break;
      }
    }
  }
  PyErr_Clear();
  return refuse_by_name(base, "type '%S.%S' is not an acceptable base type");
}

PyMethodDef refusing_methods[] = {
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
     METH_CLASS | METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyObject* make_box_class(const char* name, std::size_t size, unsigned int flags, void* dealloc,
                         std::initializer_list<PyType_Slot> own) {
  return guarded([&]() -> PyObject* {
    std::vector<PyType_Slot> slots(own);
    const auto owns = [&](int slot) {
      return std::any_of(own.begin(), own.end(),
                         [slot](const PyType_Slot& s) { return s.slot == slot; });
    };
    for (const PyType_Slot shared :
         {PyType_Slot{Py_tp_dealloc, dealloc}, PyType_Slot{Py_tp_new, as_slot(refuse_new)},
          PyType_Slot{Py_tp_setattro, as_slot(refuse_setattr)},
          PyType_Slot{Py_tp_methods, refusing_methods}}) {
      if (!owns(shared.slot)) slots.push_back(shared);
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec = {name, static_cast<int>(size), 0, flags, slots.data()};
    PyObject* cls = PyType_FromSpec(&spec);
    // CPython 3.11 returns NULL with no error set when copying the class's name runs out of
    // memory; the import would then fail as a SystemError.
    if (cls == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    return cls;
  });
}

}  // namespace vexdal_py
