// The one place the module's classes and exception classes are made and kept.
#include "registry.hpp"

#include <array>
#include <utility>

#include "classes.hpp"

namespace vexdal_py {
namespace {

// The qualified name makes the exception's __module__ "vexdal_py". ParseError is made first,
// as the base of the four others.
PyObject* make_exception(const char* qualified_name, PyObject* base) {
  return PyErr_NewExceptionWithDoc(qualified_name, nullptr, base, nullptr);
}

PyObject* parse_error_subclass(const char* qualified_name) {
  return make_exception(qualified_name, registered(ClassId::ParseError));
}

template <vexdal::ErrorKind kind>
PyObject* make_detail() {
  return make_detail_class(kind);
}

struct Entry {
  const char* name;
  PyObject* (*make)();
};

// Indexed by ClassId; the detail classes stand in the order of the syntax kinds, which name them.
template <std::size_t... kinds>
constexpr std::array<Entry, class_count> make_entries(std::index_sequence<kinds...>) {
  return {{
      {"Interval", make_interval_class},
      {"Account", make_account_class},
      {"Document", make_document_class},
      {"Statement", make_statement_class},
      {"SectionType", make_section_type_class},
      {vexdal::syntax_kinds[kinds].name, make_detail<static_cast<vexdal::ErrorKind>(kinds)>}...,
      {"ParseError", [] { return make_exception("vexdal_py.ParseError", PyExc_Exception); }},
      {"NotStatementError", [] { return parse_error_subclass("vexdal_py.NotStatementError"); }},
      {"EmptyInputError", [] { return parse_error_subclass("vexdal_py.EmptyInputError"); }},
      {"UnfinishedError", [] { return parse_error_subclass("vexdal_py.UnfinishedError"); }},
      {"SyntaxError", [] { return parse_error_subclass("vexdal_py.SyntaxError"); }},
  }};
}

constexpr auto entries = make_entries(std::make_index_sequence<detail_class_count>());

// The classes made so far; written only by make_classes().
std::array<PyObject*, class_count> made{};

}  // namespace

bool make_classes() {
  for (std::size_t i = 0; i < class_count; ++i) {
    if (made[i] == nullptr) made[i] = entries[i].make();
    if (made[i] == nullptr) return false;
  }
  return true;
}

PyObject* registered(ClassId id) noexcept { return made[static_cast<std::size_t>(id)]; }

const char* registered_name(ClassId id) noexcept {
  return entries[static_cast<std::size_t>(id)].name;
}

ClassId detail_class_id(vexdal::ErrorKind kind) noexcept {
  return static_cast<ClassId>(static_cast<std::size_t>(ClassId::FirstDetail) +
                              static_cast<std::size_t>(kind));
}

}  // namespace vexdal_py
