// The module's twelve classes: the result classes handed out by parse(), the error details that
// SyntaxError carries, and SectionType for hooks; and what they all share, from the layout of an
// instance to the slots that keep them immutable.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "mod.hpp"
#include "records.hpp"
#include "ref.hpp"

namespace vexdal_py {

// The makers of the classes, each beside its class; the registry calls them once, in module init.
PyObject* make_interval_class();
PyObject* make_account_class();
PyObject* make_document_class();
PyObject* make_statement_class();
PyObject* make_section_type_class();
// The detail class of one of the seven syntax kinds (UnexpectedSection .. HookError).
PyObject* make_detail_class(vexdal::ErrorKind kind);

// New objects, or an empty Ref with the error indicator set.
// The owner that the Account and Document objects of a parse share: it takes the statement's
// records and texts, and input, the bytes the texts point into.
Ref records_owner(Ref input, vexdal::Statement& statement);
// The statement's accounts as a dict of number -> Account, and its documents as a list of
// Document; owner is what records_owner made.
Ref accounts_dict(PyObject* owner);
Ref documents_list(PyObject* owner);
// Takes the four containers as they are; they become the attributes handed out on every access.
Ref new_statement(vexdal::Encoding encoding, Ref header, Ref accounts, Ref documents, Ref warnings,
                  std::size_t document_count, std::size_t warning_count);
// The detail object for a syntax error (the seven kinds that carry a line number).
Ref new_detail(const vexdal::StatementError& error);
// A fresh SectionType instance, equal to but not the same as the class attribute.
Ref new_section_type(vexdal::SectionType type);

// What the class definitions share. Some interpreters create instances, subclasses and instance
// attributes despite the type flags, so every class also refuses them in its own slots.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned int class_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int class_flags = Py_TPFLAGS_DEFAULT;
#endif
// tp_new of the classes without a constructor: TypeError "cannot create '<type>' instances".
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// tp_setattro of every class: AttributeError for any name, without looking at the type.
int refuse_setattr(PyObject* self, PyObject* name, PyObject* value);
// __init_subclass__ of every class (METH_CLASS | METH_VARARGS | METH_KEYWORDS), and the method
// table of the classes that have no other method.
PyObject* refuse_subclass(PyObject* cls, PyObject* args, PyObject* kwargs);
extern PyMethodDef refusing_methods[];

template <typename Function>
void* as_slot(Function function) noexcept {
  return reinterpret_cast<void*>(function);
}

// Runs a slot body that builds C++ strings: the interpreter cannot unwind C++ exceptions, so an
// allocation failure becomes MemoryError here.
template <typename Body>
PyObject* guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// An instance whose C++ state follows the object header. The state is built before the memory is
// allocated and moved in, so a half-made object never reaches box_dealloc. An interpreter may
// also make an instance without the class's tp_new (PyPy's object.__new__ does, with zeroed
// memory): `made` is then false, and its state, never constructed, is neither read nor
// destroyed.
template <typename State>
struct Box {
  PyObject ob_base;  // what PyObject_HEAD declares
  bool made;
  State state;
};

template <typename State>
Box<State>& box_of(PyObject* self) noexcept {
  return *reinterpret_cast<Box<State>*>(self);
}

// The state of one of this module's instances, or nullptr with TypeError set for an instance
// made without it.
template <typename State>
State* state_of(PyObject* self) {
  Box<State>& box = box_of<State>(self);
  if (box.made) return &box.state;
  PyErr_Format(PyExc_TypeError, "this %s was not made by vexdal_py", Py_TYPE(self)->tp_name);
  return nullptr;
}

// A new instance of cls (one of this module's classes) holding state, or an empty Ref with the
// error set.
template <typename State>
Ref new_box(PyObject* cls, State state) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<State>);
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* self = type->tp_alloc(type, 0);
  if (self != nullptr) {
    new (&box_of<State>(self).state) State(std::move(state));
    box_of<State>(self).made = true;
  }
  return Ref::steal(self);
}

// tp_dealloc: instances of heap types own a reference to their class.
template <typename State>
void box_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
  if (box_of<State>(self).made) box_of<State>(self).state.~State();
  type->tp_free(self);
  Py_DECREF(type);
}

// A heap type named `name` (dotted: its module, then its name) whose instances are Box<>es of
// `size` bytes, with its own slots and those every class shares: `dealloc`, and the refusals of
// new instances, of attributes and of subclasses. An own slot replaces the shared one of the
// same kind (a detail class has a constructor and methods). Nullptr with the error set.
PyObject* make_box_class(const char* name, std::size_t size, unsigned int flags, void* dealloc,
                         std::initializer_list<PyType_Slot> own);

template <typename State>
PyObject* make_class(const char* name, unsigned int flags, std::initializer_list<PyType_Slot> own) {
  return make_box_class(name, sizeof(Box<State>), flags, as_slot(box_dealloc<State>), own);
}

// TypeError for a slot reached with an object of another class; always false.
inline bool refuse_self(PyObject* self, const char* slot) {
  PyErr_Format(PyExc_TypeError, "descriptor '%s' doesn't apply to a '%s' object", slot,
               Py_TYPE(self)->tp_name);
  return false;
}

// Whether self has the layout Box<State>, else TypeError. Some interpreters reach a slot through
// Class.__repr__(x) and the like without checking x, so the slots such calls reach check here.
template <typename State>
bool holds(PyObject* self, const char* slot) {
  return Py_TYPE(self)->tp_dealloc == box_dealloc<State> || refuse_self(self, slot);
}

// tp_richcompare of the classes with value equality: == and != between two instances of the same
// class; everything else is left to Python's fallbacks.
template <typename State, bool (*equal)(const State&, const State&)>
PyObject* compare(PyObject* self, PyObject* other, int op) {
  static constexpr const char* names[] = {"__lt__", "__le__", "__eq__",
                                          "__ne__", "__gt__", "__ge__"};
  if (op < Py_LT || op > Py_GE || !holds<State>(self, names[op])) return nullptr;
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  // An instance made without its state has only its identity to compare by.
  if (!box_of<State>(self).made || !box_of<State>(other).made) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong(equal(box_of<State>(self).state, box_of<State>(other).state) ==
                         (op == Py_EQ));
}

}  // namespace vexdal_py
