// The module's twelve classes: the result classes handed out by parse(), the error details that
// SyntaxError carries, and SectionType for hooks. Each class is created once per process, under
// the interpreter lock, on first use.
#pragma once

#include <Python.h>

#include <cstddef>

#include "failure.hpp"
#include "mod.hpp"
#include "records.hpp"
#include "ref.hpp"

namespace vexdal_py {

// Each returns the class object (a borrowed reference kept for the process), or nullptr with the
// error indicator set when it could not be created.
PyObject* interval_class();
PyObject* account_class();
PyObject* document_class();
PyObject* statement_class();
PyObject* section_type_class();
// The detail class for one of the seven syntax kinds (UnexpectedSection .. HookError).
PyObject* detail_class(vexdal::ErrorKind kind);

// New objects, or an empty Ref with the error indicator set. The result objects copy what they
// need from the records, so the records may be dropped afterwards.
Ref new_account(const vexdal::Account& account);
Ref new_document(const vexdal::Document& document);
// Takes the four containers as they are; they become the attributes handed out on every access.
Ref new_statement(vexdal::Encoding encoding, Ref header, Ref accounts, Ref documents,
                  Ref warnings, std::size_t document_count, std::size_t warning_count);
// The detail object for a syntax error (the seven kinds that carry a line number).
Ref new_detail(const vexdal::StatementError& error);
// A fresh SectionType instance, equal to but not the same as the class attribute.
Ref new_section_type(vexdal::SectionType type);

}  // namespace vexdal_py
