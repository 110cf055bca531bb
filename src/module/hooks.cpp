// The hook bridge: shows a section to a Python callable as two fresh dicts and writes the changed
// attribute dict back. Exceptions are turned into failure texts here and go no further.
#include "hooks.hpp"

#include <utility>

#include "classes.hpp"
#include "strings.hpp"

namespace vexdal_py {
namespace {

// The UTF-8 of a str that may hold lone surrogates: each one becomes U+FFFD per byte of its
// surrogate-escaped form, as the replacing decoder reads those bytes.
std::string utf8_of_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!raw) {
    PyErr_Clear();
    return {};
  }
  Ref repaired = Ref::steal(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  const char* utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// Takes the pending error. What is not reportable (Ctrl-C, SystemExit, MemoryError) must not be
// swallowed: it is parked in escaped, for parse() to raise once the parser has stopped.
void drop_error(CaughtError& escaped) {
  CaughtError caught = CaughtError::take();
  if (!caught.is_reportable()) escaped = std::move(caught);
}

// "QualifiedTypeName: str(exc)", always valid UTF-8. Reading the name or the text can run Python
// code and fail; an Exception then gives the fallback text, anything else is parked.
std::string describe_exception(PyObject* exc, CaughtError& escaped) {
  std::string text;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref qualname = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    text = utf8_of_text(qualname.get());
  } else {
    if (!qualname) drop_error(escaped);
    text = Py_TYPE(exc)->tp_name;
  }
  text += ": ";
  Ref message = Ref::steal(PyObject_Str(exc));
  if (message) {
    text += utf8_of_text(message.get());
    return text;
  }
  drop_error(escaped);
  text += "<exception str() failed>";
  return text;
}

}  // namespace

// parse() holds the interpreter lock from start to end, so the hook runs under it as it is; the
// PyGILState calls would only deadlock in a sub-interpreter, which they do not support.
vexdal::HookResult HookCallable::call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                                      const vexdal::Header& header) {
  Ref attrs_dict = to_dict(attrs.map());
  if (!attrs_dict) return failure();
  Ref header_dict = to_dict(header);
  if (!header_dict) return failure();
  Ref section = new_section_type(type);
  if (!section) return failure();

  Ref returned = Ref::steal(PyObject_CallFunctionObjArgs(
      callable_.get(), section.get(), attrs_dict.get(), header_dict.get(), nullptr));
  if (!returned) return failure();

  // Only the dict object the hook was given counts; whatever it returned is ignored.
  attrs.clear();
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(attrs_dict.get(), &position, &key, &value)) {
    std::string_view key_text;
    std::string_view value_text;
    if (!str_utf8(key, key_text) || !str_utf8(value, value_text)) return failure();
    attrs.put(key_text, value_text);
  }
  return std::monostate{};
}

vexdal::HookResult HookCallable::failure() {
  CaughtError caught = CaughtError::take();
  if (!caught.is_reportable()) {
    // Not ours to turn into text: parse() raises it unchanged once the parser has stopped.
    *escaped_ = std::move(caught);
    return vexdal::fail(std::string());
  }
  return vexdal::fail(describe_exception(caught.value(), *escaped_));
}

}  // namespace vexdal_py
