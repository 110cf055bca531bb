// Taking exceptions out of the error indicator and putting them back, on every supported
// interpreter: 3.12 keeps one exception object, older ones a type, a value and a traceback.
#include "errors.hpp"

#include <utility>

namespace vexdal_py {

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

Ref CaughtError::release() noexcept {
#if PY_VERSION_HEX < 0x030C0000
  type_ = Ref();
  traceback_ = Ref();  // the value holds the traceback
#endif
  return std::move(value_);
}

}  // namespace vexdal_py
