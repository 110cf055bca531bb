// Binding of call arguments to parameters with the interpreter's own messages, for parse() and
// the detail classes' constructors, and the wrapping of a conversion error with the argument's
// name.
#include "arguments.hpp"

#include <string>
#include <vector>

#include "errors.hpp"

namespace vexdal_py {
namespace {

void set_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
std::string join_names(const std::vector<const char*>& names) {
  const std::size_t count = names.size();
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool report_too_many(const char* function, std::size_t count, std::size_t required,
                     std::size_t given) {
  std::string message = function;
  message += " takes ";
  if (required < count) {
    message += "from " + std::to_string(required) + " to " + std::to_string(count);
    message += " positional arguments";
  } else {
    message += std::to_string(count);
    message += count == 1 ? " positional argument" : " positional arguments";
  }
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  set_type_error(message);
  return false;
}

// Index of the parameter a keyword names, or count when it names none.
std::size_t parameter_index(PyObject* key, const char* const* names, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
  }
  return count;
}

}  // namespace

bool bind_arguments(const char* function, PyObject* args, PyObject* kwargs,
                    const char* const* names, std::size_t count, std::size_t required,
                    PyObject** out) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (given > count) return report_too_many(function, count, required, given);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < given ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        set_type_error("keywords must be strings");
        return false;
      }
      const std::size_t index = parameter_index(key, names, count);
      if (index == count || out[index] != nullptr) {
        // A dict holds each key once, so a parameter already filled was given by position.
        Ref text = Ref::steal(
            PyUnicode_FromFormat(index == count ? "%s got an unexpected keyword argument '%U'"
                                                : "%s got multiple values for argument '%U'",
                                 function, key));
        if (text) PyErr_SetObject(PyExc_TypeError, text.get());
        return false;
      }
      out[index] = value;
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (missing.empty()) return true;
  set_type_error(std::string(function) + " missing " + std::to_string(missing.size()) +
                 (missing.size() == 1 ? " required positional argument: "
                                      : " required positional arguments: ") +
                 join_names(missing));
  return false;
}

void wrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref cause = CaughtError::take().release();
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, cause.get()));
  if (!message) return;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());  // steals the reference
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace vexdal_py
