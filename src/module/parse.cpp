// parse(): argument checks, the parser call, and the mapping of its failures onto exceptions.
#include "module.hpp"

namespace vexdal_py {

const char parse_doc[] = "parse(statement, hooks=None)\n--\n\n";

PyObject* parse_function(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "parse");
  return nullptr;
}

}  // namespace vexdal_py
