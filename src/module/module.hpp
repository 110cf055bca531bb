// The parse function, which module initialization registers.
#pragma once

#include <Python.h>

namespace vexdal_py {

// parse(statement, hooks=None): the METH_VARARGS | METH_KEYWORDS implementation and its __doc__.
PyObject* parse_function(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char parse_doc[];

}  // namespace vexdal_py
