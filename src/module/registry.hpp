// The module's classes and exception classes, each made once for the process and kept for it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "failure.hpp"

namespace vexdal_py {

// The number of syntax kinds, each with a detail class (UnexpectedSection .. HookError).
inline constexpr std::uint8_t detail_class_count =
    static_cast<std::uint8_t>(vexdal::syntax_kinds.size());

// In the order the module registers them (parse stands between the classes and the exceptions).
enum class ClassId : std::uint8_t {
  Interval,
  Account,
  Document,
  Statement,
  SectionType,
  // The detail classes follow in the order of the syntax kinds; detail_class_id() finds them.
  FirstDetail,
  ParseError = FirstDetail + detail_class_count,
  NotStatementError,
  EmptyInputError,
  UnfinishedError,
  SyntaxError,
};

inline constexpr std::size_t class_count = static_cast<std::size_t>(ClassId::SyntaxError) + 1;
// The first exception class: those before it are the module's twelve classes.
inline constexpr ClassId first_exception = ClassId::ParseError;

// Makes the classes not yet made, in order; false with the error set. Only module init calls it,
// under the interpreter lock and the module's once-only latch, so no class is made twice; one
// made before a failure stays made, and the next import goes on from there.
bool make_classes();

// The class (a borrowed reference kept for the process). Valid once make_classes() has
// succeeded, which it has wherever an object of the module exists to ask.
PyObject* registered(ClassId id) noexcept;
// The name the module registers it under.
const char* registered_name(ClassId id) noexcept;

// The detail class of one of the seven syntax kinds.
ClassId detail_class_id(vexdal::ErrorKind kind) noexcept;

}  // namespace vexdal_py
