// The hook bridge: Python callables behind the parser's Hook interface. Python exceptions never
// cross into the parser; they become the hook's failure text.
#pragma once

#include <Python.h>

#include <string>

#include "mod.hpp"
#include "ref.hpp"

namespace vexdal_py {

// An exception taken out of the interpreter's error indicator, to be raised again later.
class CaughtError {
 public:
  // Takes the pending exception (one must be set), normalised.
  static CaughtError take();
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }
  PyObject* value() const noexcept { return value_.get(); }
  // Sets it as the pending exception again; the object is empty afterwards.
  void restore() noexcept;

 private:
  Ref value_;
#if PY_VERSION_HEX < 0x030C0000
  Ref type_;
  Ref traceback_;
#endif
};

// One element of parse()'s hooks. A hook that raises something that is not an Exception (Ctrl-C,
// SystemExit) must not be swallowed into a HookError: it is parked in `escaped` for parse() to
// raise once the parser has unwound.
class HookCallable final : public vexdal::Hook {
 public:
  HookCallable(Ref callable, CaughtError& escaped)
      : callable_(std::move(callable)), escaped_(&escaped) {}
  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                          const vexdal::Header& header) override;

 private:
  vexdal::HookResult failure();

  Ref callable_;
  CaughtError* escaped_;
};

}  // namespace vexdal_py
