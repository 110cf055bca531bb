// Exceptions taken out of the interpreter's error indicator: by the hook bridge, which turns
// them into failure texts and keeps Ctrl-C for later, and by argument conversion, which wraps them.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vexdal_py {

// An exception taken out of the error indicator, normalised, its traceback attached.
class CaughtError {
 public:
  // Takes the pending exception; one must be set.
  static CaughtError take();
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }
  PyObject* value() const noexcept { return value_.get(); }
  // An Exception that may become a hook's failure text. Ctrl-C, SystemExit and the like must
  // not be swallowed, and running out of memory is no fault of the statement or its hook: a
  // HookError would send the user looking for one, so a MemoryError passes through unchanged.
  bool is_reportable() const noexcept {
    return PyErr_GivenExceptionMatches(value_.get(), PyExc_Exception) != 0 &&
           PyErr_GivenExceptionMatches(value_.get(), PyExc_MemoryError) == 0;
  }
  // Sets it as the pending exception again; the object is empty afterwards.
  void restore() noexcept;
  // The exception object, for the caller to keep; the object is empty afterwards.
  Ref release() noexcept;

 private:
  Ref value_;
#if PY_VERSION_HEX < 0x030C0000
  Ref type_;
  Ref traceback_;
#endif
};

}  // namespace vexdal_py
