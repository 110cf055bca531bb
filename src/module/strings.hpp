// Python str from the parser's texts, and the UTF-8 of a str for the parser.
#pragma once

#include <Python.h>

#include <string_view>

#include "charsets.hpp"
#include "records.hpp"
#include "ref.hpp"
#include "text.hpp"

namespace vexdal_py {

// A new str from valid UTF-8 text, or an empty Ref with the error indicator set.
Ref to_str(std::string_view utf8);
// A new str from a text in either charset, or an empty Ref with the error indicator set.
Ref to_str(vexdal::Text text);
// A new str from ASCII text (dates, amounts, counts), or an empty Ref with the error set.
Ref ascii_str(std::string_view ascii);

// A new dict of str -> str of the header's lines in order, a repeated key keeping its first place
// and its last value; or an empty Ref with the error indicator set.
Ref to_dict(const vexdal::Header& header);

// The UTF-8 bytes of a str (subclasses accepted); they live as long as the object. On failure
// returns false with the error set: TypeError "'T' object cannot be converted to 'PyString'" for a
// non-str, the interpreter's UnicodeEncodeError for lone surrogates.
bool str_utf8(PyObject* object, std::string_view& out);

}  // namespace vexdal_py
