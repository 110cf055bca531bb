// The hook bridge: shows a section to a Python callable as two fresh dicts and writes the changed
// attribute dict back. Exceptions are turned into failure texts here and go no further.
#include "hooks.hpp"

#include <utility>

#include "classes.hpp"
#include "text.hpp"

namespace vexdal_py {
namespace {

// Holds the interpreter lock for a scope, taking it only if this thread lacks it.
class GilScope {
 public:
  GilScope() noexcept : state_(PyGILState_Ensure()) {}
  ~GilScope() { PyGILState_Release(state_); }
  GilScope(const GilScope&) = delete;
  GilScope& operator=(const GilScope&) = delete;

 private:
  PyGILState_STATE state_;
};

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

}  // namespace

CaughtError CaughtError::take() {
  CaughtError caught;
#if PY_VERSION_HEX >= 0x030C0000
  caught.value_ = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  caught.type_ = Ref::steal(type);
  caught.value_ = Ref::steal(value);
  caught.traceback_ = Ref::steal(traceback);
#endif
  return caught;
}

void CaughtError::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

namespace {

// "QualifiedTypeName: str(exc)", always valid UTF-8. If str() itself is interrupted by something
// that is not an Exception, that is parked in `escaped` like any other such exception.
std::string describe_exception(PyObject* exc, CaughtError& escaped) {
  std::string text;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref qualname = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    text = utf8_of_text(qualname.get());
  } else {
    PyErr_Clear();
    text = Py_TYPE(exc)->tp_name;
  }
  text += ": ";
  Ref message = Ref::steal(PyObject_Str(exc));
  if (message) {
    text += utf8_of_text(message.get());
    return text;
  }
  CaughtError failure = CaughtError::take();
  if (!PyErr_GivenExceptionMatches(failure.value(), PyExc_Exception)) escaped = std::move(failure);
  text += "<exception str() failed>";
  return text;
}

}  // namespace

vexdal::HookResult HookCallable::call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                                      const vexdal::Header& header) {
  GilScope gil;
  return call_locked(type, attrs, header);
}

vexdal::HookResult HookCallable::call_locked(vexdal::SectionType type,
                                             vexdal::SectionAttributes& attrs,
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
  if (!PyErr_GivenExceptionMatches(caught.value(), PyExc_Exception)) {
    // Not ours to turn into text: parse() raises it unchanged once the parser has stopped.
    *escaped_ = std::move(caught);
    return vexdal::fail(std::string());
  }
  return vexdal::fail(describe_exception(caught.value(), *escaped_));
}

}  // namespace vexdal_py
