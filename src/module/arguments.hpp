// Call arguments as Python binds them, for parse() and the detail classes' constructors.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vexdal_py {

// Binds positional and keyword arguments to the parameters `names` (count of them, the first
// `required` of them required), as Python does for a function of positional-or-keyword
// parameters, with Python's own messages around `function` (e.g. "parse()"). Fills `out` with
// borrowed references (nullptr for a missing optional one). Returns false with TypeError set.
bool bind_arguments(const char* function, PyObject* args, PyObject* kwargs,
                    const char* const* names, std::size_t count, std::size_t required,
                    PyObject** out);

// Replaces a pending TypeError by "argument 'name': <its message>" with the original as cause;
// any other pending error is left as it is.
void wrap_argument_error(const char* name);

}  // namespace vexdal_py
