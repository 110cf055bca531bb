// What module initialization and parse() share: the exception classes and the parse function.
#pragma once

#include <Python.h>

namespace vexdal_py {

enum class ExceptionId { ParseError, NotStatementError, EmptyInputError, UnfinishedError, SyntaxError };

// The exception class (a borrowed reference kept for the process, created on first need with
// ParseError first as the others' base), or nullptr with the error indicator set.
PyObject* exception_class(ExceptionId id);

// parse(statement, hooks=None): the METH_VARARGS | METH_KEYWORDS implementation and its __doc__.
PyObject* parse_function(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char parse_doc[];

}  // namespace vexdal_py
