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

// A section's attributes as a hook may change them. Until a hook clears or puts anything, the
// section is built from the attributes as they were read, exactly as without hooks. Texts put
// here are UTF-8 and live in a store that lasts until the section is built, so the hook's buffers
// may go away afterwards.
class SectionAttributes {
 public:
  // section: a number that tells this section from the others of the parse.
  SectionAttributes(TextMap& map, TextStore& store, std::size_t section)
      : map_(map), store_(store), section_(section) {}
  const TextMap& map() const noexcept { return map_; }
  std::size_t section() const noexcept { return section_; }
  void clear() noexcept {
    map_.clear(Charset::Utf8);
    changed_ = true;
  }
  // Sets key to value, as a repeated key in a section does; both are copied.
  void put(std::string_view key, std::string_view value);
  // The same for texts that last until the section is built: entries of the map as it stood
  // before clear(), or texts from keep(). A text that is not UTF-8 is copied as UTF-8; the others
  // are not copied.
  void put_kept(Text key, Text value);
  // A copy of text that lasts until the section is built.
  std::string_view keep(std::string_view text) { return store_.keep(text); }
  // Whether a hook has cleared or put anything.
  bool changed() const noexcept { return changed_; }

 private:
  // The attributes read from a windows-1251 input become UTF-8 before a UTF-8 text joins them,
  // so that a key matches whichever way it came.
  void make_utf8();

  TextMap& map_;
  TextStore& store_;
  std::size_t section_;
  bool changed_ = false;
};

// Success, or the failure text that becomes a HookError.
using HookResult = Result<std::monostate, std::string>;

class Hook {
 public:
  virtual ~Hook() = default;
  virtual HookResult call(SectionType type, SectionAttributes& attrs, const Header& header) = 0;
};

// Told of every document section that becomes a document, in the order of the documents: the
// section's stretch of the statement's text (from its first line to its end marker), the
// charset of that text, and the number of its first line. For a caller that wants more of a
// section than its fields, such as keys outside the table; without one, a document costs a test.
// A std::bad_alloc it throws ends the parse with OutOfMemory, as the parser's own do.
class DocumentObserver {
 public:
  virtual ~DocumentObserver() = default;
  virtual void kept(std::string_view section, Charset charset, std::size_t lineno) = 0;
};

// Runs decoding, line reading and the section walk over input, which is not copied: the
// statement's texts point into it, so the caller keeps it alive and unchanged for as long as the
// statement lives. Hooks run in list order at every section end.
// An allocation that fails, the parser's or a hook's, ends the parse with OutOfMemory.
Result<Statement, StatementError> parse_statement(std::string_view input,
                                                  const std::vector<Hook*>& hooks);
// The same, telling observer (which may be null) of each document kept.
Result<Statement, StatementError> parse_statement(std::string_view input,
                                                  const std::vector<Hook*>& hooks,
                                                  DocumentObserver* observer);

}  // namespace vexdal
