// The hook bridge: Python callables behind the parser's Hook interface. Python exceptions never
// cross into the parser; they become the hook's failure text.
#pragma once

#include <Python.h>

#include <string>

#include "errors.hpp"
#include "mod.hpp"
#include "ref.hpp"

namespace vexdal_py {

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
