// The seven error-detail classes that SyntaxError carries, and SectionType for hooks. Details are
// plain field holders that Python code may build and pickle; they know nothing of parsing.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "classes.hpp"
#include "quote.hpp"
#include "registry.hpp"
#include "strings.hpp"

namespace vexdal_py {
namespace {

// A text the interpreter keeps a pointer to for good: made at compile time, so it needs no
// storage of its own at run time.
struct FixedText {
  std::array<char, 64> chars{};
  std::size_t size = 0;

  constexpr FixedText& operator+=(const char* piece) {
    for (; *piece != '\0'; ++piece) {
      // Past the array, the call is no constant expression, so the build fails.
      if (size + 1 >= chars.size()) throw "a detail class text is too long";
      chars[size++] = *piece;
    }
    return *this;
  }
  constexpr const char* c_str() const { return chars.data(); }
};

// One detail class, as made from its syntax kind: its fields (lineno first, then one or two
// texts) and the texts the interpreter shows of it.
struct DetailShape {
  const char* name;
  std::array<const char*, 3> fields;
  std::size_t field_count;
  vexdal::SecondText second;
  FixedText type_name;    // vexdal_py.Name
  FixedText doc;          // the signature, as a text signature: Name(lineno, ...)
  FixedText constructor;  // Name.__new__(), as argument errors name it
};

constexpr DetailShape shape_of_kind(const vexdal::SyntaxKind& kind) {
  DetailShape shape{};
  shape.name = kind.name;
  shape.fields = {"lineno", kind.text, kind.second_text};
  shape.field_count = kind.second_text == nullptr ? 2 : 3;
  shape.second = kind.second;
  shape.type_name += "vexdal_py.";
  shape.type_name += kind.name;
  shape.doc += kind.name;
  shape.doc += "(";
  for (std::size_t i = 0; i < shape.field_count; ++i) {
    if (i > 0) shape.doc += ", ";
    shape.doc += shape.fields[i];
  }
  shape.doc += ")\n--\n\n";
  shape.constructor += kind.name;
  shape.constructor += ".__new__()";
  return shape;
}

// In the order of vexdal::ErrorKind, which is also the order the module registers them in.
constexpr auto shapes = [] {
  std::array<DetailShape, vexdal::syntax_kinds.size()> all{};
  for (std::size_t kind = 0; kind < all.size(); ++kind) {
    all[kind] = shape_of_kind(vexdal::syntax_kinds[kind]);
  }
  return all;
}();

// The class's shape is not stored but found from the class: some interpreters let
// object.__new__ make an instance whose memory was never initialised, and that must still read as
// an empty detail rather than follow a null pointer.
struct DetailState {
  std::size_t lineno;
  std::array<std::string, 2> texts;  // the text fields in order; unused ones stay empty
};

// The shape of self's class, or nullptr with TypeError when self is no detail object.
const DetailShape* shape_of(PyObject* self, const char* slot) {
  for (std::size_t kind = 0; kind < shapes.size(); ++kind) {
    const ClassId id = detail_class_id(static_cast<vexdal::ErrorKind>(kind));
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == registered(id)) {
      return &shapes[kind];
    }
  }
  refuse_self(self, slot);
  return nullptr;
}

// lineno through the index protocol into the platform's size type. The messages are set here,
// since interpreters differ in the exception they raise for a negative value.
bool convert_lineno(PyObject* value, std::size_t& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) {
    wrap_argument_error("lineno");
    return false;
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (small == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
    return false;
  }
  out = PyLong_AsSize_t(index.get());
  if (out != static_cast<std::size_t>(-1) || !PyErr_Occurred()) return true;
  if (PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return false;
}

PyObject* construct_detail(const DetailShape& shape, PyTypeObject* type, PyObject* args,
                           PyObject* kwargs) {
  PyObject* values[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(shape.constructor.c_str(), args, kwargs, shape.fields.data(),
                      shape.field_count, shape.field_count, values)) {
    return nullptr;
  }
  DetailState state{0, {}};
  if (!convert_lineno(values[0], state.lineno)) return nullptr;
  for (std::size_t i = 1; i < shape.field_count; ++i) {
    std::string_view text;
    if (!str_utf8(values[i], text)) {
      wrap_argument_error(shape.fields[i]);
      return nullptr;
    }
    state.texts[i - 1] = std::string(text);
  }
  return new_box(reinterpret_cast<PyObject*>(type), std::move(state)).release();
}

template <std::size_t kind>
PyObject* detail_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return construct_detail(shapes[kind], type, args, kwargs); });
}

template <std::size_t... kinds>
constexpr std::array<newfunc, sizeof...(kinds)> make_constructors(std::index_sequence<kinds...>) {
  return {detail_new<kinds>...};
}

constexpr auto constructors = make_constructors(std::make_index_sequence<shapes.size()>());

// A new int or str for field `index` (0 is lineno).
Ref detail_field(const DetailState& detail, std::size_t index) {
  return index == 0 ? Ref::steal(PyLong_FromSize_t(detail.lineno))
                    : to_str(detail.texts[index - 1]);
}

// closure: points at the field's index in field_indices.
constexpr std::size_t field_indices[] = {0, 1, 2};

PyObject* detail_get(PyObject* self, void* closure) {
  const DetailState* detail = state_of<DetailState>(self);
  if (detail == nullptr) return nullptr;
  return detail_field(*detail, *static_cast<const std::size_t*>(closure)).release();
}

PyObject* detail_getnewargs(PyObject* self, PyObject*) {
  const DetailShape* shape = shape_of(self, "__getnewargs__");
  const DetailState* state = shape ? state_of<DetailState>(self) : nullptr;
  if (state == nullptr) return nullptr;
  const DetailState& detail = *state;
  const auto count = static_cast<Py_ssize_t>(shape->field_count);
  Ref args = Ref::steal(PyTuple_New(count));
  if (!args) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref field = detail_field(detail, static_cast<std::size_t>(i));
    if (!field) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, field.release());  // the tuple takes the reference
  }
  return args.release();
}

PyObject* detail_repr(PyObject* self) {
  const DetailShape* shape = shape_of(self, "__repr__");
  const DetailState* state = shape ? state_of<DetailState>(self) : nullptr;
  if (state == nullptr) return nullptr;
  return guarded([&] {
    const DetailState& detail = *state;
    std::string out = shape->name;
    out += "(lineno=" + std::to_string(detail.lineno);
    for (std::size_t i = 1; i < shape->field_count; ++i) {
      out += ", ";
      out += shape->fields[i];
      out += '=';
      vexdal::append_quoted(out, detail.texts[i - 1]);
    }
    out += ')';
    return to_str(out).release();
  });
}

PyMethodDef detail_methods[] = {
    {"__getnewargs__", detail_getnewargs, METH_NOARGS, nullptr},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
     METH_CLASS | METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// One getter table per class, built once; the interpreter keeps pointers into it for good.
PyGetSetDef* detail_getset(std::size_t kind) {
  static const auto tables = [] {
    std::array<std::array<PyGetSetDef, 4>, shapes.size()> all{};
    for (std::size_t k = 0; k < shapes.size(); ++k) {
      for (std::size_t i = 0; i < shapes[k].field_count; ++i) {
        all[k][i] = {shapes[k].fields[i], detail_get, nullptr, nullptr,
                     const_cast<std::size_t*>(&field_indices[i])};
      }
    }
    return all;
  }();
  return const_cast<PyGetSetDef*>(tables[kind].data());
}

// Interpreters differ in what a heap type keeps of a doc that opens with a signature: CPython 3.9
// drops the signature (no __text_signature__), PyPy the empty rest (__doc__ becomes None).
bool mend_doc([[maybe_unused]] PyObject* cls, [[maybe_unused]] const char* doc) {
#if defined(PYPY_VERSION)
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  return empty && PyObject_SetAttrString(cls, "__doc__", empty.get()) == 0;
#elif PY_VERSION_HEX < 0x030A0000
  // The type frees tp_doc with PyObject_Free, should it ever go.
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  const std::size_t size = std::strlen(doc) + 1;
  auto* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, doc, size);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  return true;
#else
  return true;
#endif
}

// ---- SectionType --------------------------------------------------------------------------------

constexpr std::array<const char*, 2> member_names = {"Document", "Account"};

const char* member_name(vexdal::SectionType type) {
  return member_names[static_cast<std::size_t>(type)];
}

PyObject* section_type_repr(PyObject* self) {
  if (!holds<vexdal::SectionType>(self, "__repr__")) return nullptr;
  const vexdal::SectionType* type = state_of<vexdal::SectionType>(self);
  return type ? PyUnicode_FromFormat("SectionType.%s", member_name(*type)) : nullptr;
}

PyObject* section_type_int(PyObject* self) {
  if (!holds<vexdal::SectionType>(self, "__int__")) return nullptr;
  const vexdal::SectionType* type = state_of<vexdal::SectionType>(self);
  return type ? PyLong_FromLong(static_cast<long>(*type)) : nullptr;
}

bool same_section_type(const vexdal::SectionType& a, const vexdal::SectionType& b) noexcept {
  return a == b;
}

}  // namespace

PyObject* make_detail_class(vexdal::ErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (index >= shapes.size()) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  const DetailShape& shape = shapes[index];
  Ref cls =
      Ref::steal(make_class<DetailState>(shape.type_name.c_str(), class_flags,
                                         {{Py_tp_new, as_slot(constructors[index])},
                                          {Py_tp_repr, as_slot(detail_repr)},
                                          {Py_tp_getset, detail_getset(index)},
                                          {Py_tp_methods, detail_methods},
                                          {Py_tp_doc, const_cast<char*>(shape.doc.c_str())}}));
  if (!cls || !mend_doc(cls.get(), shape.doc.c_str())) return nullptr;
  return cls.release();
}

PyObject* make_section_type_class() {
  // Sealed only after the members are stored: a sealed class refuses new attributes.
  Ref cls = Ref::steal(make_class<vexdal::SectionType>(
      "vexdal_py.SectionType", Py_TPFLAGS_DEFAULT,
      {{Py_tp_repr, as_slot(section_type_repr)},
       {Py_tp_richcompare, as_slot(compare<vexdal::SectionType, same_section_type>)},
       {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
       {Py_nb_int, as_slot(section_type_int)},
       {Py_tp_doc, const_cast<char*>("Тип секции выписки для использования в hooks.")}}));
  if (!cls) return nullptr;
  for (vexdal::SectionType type : {vexdal::SectionType::Document, vexdal::SectionType::Account}) {
    Ref member = new_box(cls.get(), type);
    if (!member || PyObject_SetAttrString(cls.get(), member_name(type), member.get()) < 0) {
      return nullptr;
    }
  }
  reinterpret_cast<PyTypeObject*>(cls.get())->tp_flags |= class_flags;
  return cls.release();
}

Ref new_detail(const vexdal::StatementError& error) {
  const DetailShape& shape = shapes[static_cast<std::size_t>(error.kind)];
  DetailState state{error.lineno, {error.text, {}}};
  switch (shape.second) {
    case vexdal::SecondText::Value:
      state.texts[1] = error.value;
      break;
    case vexdal::SecondText::Context:
      state.texts[1] = std::string(vexdal::context_text(error.context));
      break;
    case vexdal::SecondText::None:
      break;
  }
  return new_box(registered(detail_class_id(error.kind)), std::move(state));
}

Ref new_section_type(vexdal::SectionType type) {
  return new_box(registered(ClassId::SectionType), type);
}

}  // namespace vexdal_py
