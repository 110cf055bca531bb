// The statement parser's one entry: bytes in, a Statement or the first failure out. It knows
// nothing of Python; the caller's hooks are reached through the Hook interface.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "failure.hpp"
#include "records.hpp"
#include "result.hpp"
#include "text.hpp"

namespace vexdal {

enum class SectionType : std::uint8_t { Document, Account };

// A section's attributes as a hook may change them: texts put here are UTF-8, copied into the
// parse's own store, so the hook's buffers may go away afterwards.
class SectionAttributes {
 public:
  SectionAttributes(TextMap& map, TextStore& store) : map_(map), store_(store) {}
  const TextMap& map() const noexcept { return map_; }
  void clear() noexcept { map_.clear(Charset::Utf8); }
  // Sets key to value, as a repeated key in a section does. The attributes read from a
  // windows-1251 input become UTF-8 first, so that a key matches whichever way it came.
  void put(std::string_view key, std::string_view value);

 private:
  TextMap& map_;
  TextStore& store_;
};

// Success, or the failure text that becomes a HookError.
using HookResult = Result<std::monostate, std::string>;

class Hook {
 public:
  virtual ~Hook() = default;
  virtual HookResult call(SectionType type, SectionAttributes& attrs, const Header& header) = 0;
};

// Runs decoding, line reading and the section walk over input, which is not copied: the
// statement's texts point into it, so the caller keeps it alive and unchanged for as long as the
// statement lives. Hooks run in list order at every section end.
// An allocation that fails, the parser's or a hook's, ends the parse with OutOfMemory.
Result<Statement, StatementError> parse_statement(std::string_view input,
                                                  const std::vector<Hook*>& hooks);

}  // namespace vexdal
