// Conversions between Python objects and the parser's UTF-8 texts, and the argument binding that
// parse() and the detail constructors share.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "lines.hpp"
#include "records.hpp"
#include "ref.hpp"

namespace vexdal_py {

// A new str from valid UTF-8 text, or an empty Ref with the error indicator set.
Ref to_str(std::string_view utf8);
// A new str from a text in either charset, or an empty Ref with the error indicator set.
Ref to_str(vexdal::Text text);
// A new str from ASCII text (dates, amounts, counts), or an empty Ref with the error set.
Ref ascii_str(std::string_view ascii);

// A new dict of str -> str with the map's entries in map order, or an empty Ref with the error
// indicator set.
Ref to_dict(const vexdal::TextMap& map);
// A new dict of str -> str of the header's lines in order, a repeated key keeping its first place
// and its last value; or an empty Ref with the error indicator set.
Ref to_dict(const vexdal::Header& header);

// The UTF-8 bytes of a str (subclasses accepted); they live as long as the object. On failure
// returns false with the error set: TypeError "'T' object cannot be converted to 'PyString'" for a
// non-str, the interpreter's UnicodeEncodeError for lone surrogates.
bool str_utf8(PyObject* object, std::string_view& out);

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
