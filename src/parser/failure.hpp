// The one failure a parse can end with, and the failures of the values it reads, as values;
// messages.cpp words them. Knows nothing of Python: the module maps each kind onto an exception.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "charsets.hpp"
#include "dates.hpp"

namespace vexdal {

// Where the section walk was when it failed; context_text() names each for the messages.
enum class Context : std::uint8_t { Header, Document, Account, Finished, Init, ReadNextSection };

std::string_view context_text(Context context) noexcept;

enum class ErrorKind : std::uint8_t {
  UnexpectedSection,
  UnexpectedAttribute,
  UnrecognizedLine,
  MissingField,
  AccountParseError,
  DocumentParseError,
  HookError,
  InvalidDocument,
  Unfinished,
  NotStatement,
  EmptyInput,
  // An allocation failed: the parse could not finish, whatever the input holds.
  OutOfMemory,
};

// Which of a syntax failure's texts follows its first one, if any.
enum class SecondText : std::uint8_t { None, Value, Context };

// What a syntax kind carries besides its line number: its name, and the names of its texts in
// order (the first for StatementError::text, the second for the one `second` picks). C strings,
// as the module hands them to Python as they are: its detail classes are made from this table.
struct SyntaxKind {
  const char* name;
  const char* text;
  const char* second_text;  // nullptr when second is None
  SecondText second;
};

// The syntax kinds, in the order of ErrorKind; the kinds after them carry nothing.
inline constexpr std::array<SyntaxKind, 7> syntax_kinds = {{
    {"UnexpectedSection", "found", "context", SecondText::Context},
    {"UnexpectedAttribute", "key", "value", SecondText::Value},
    {"UnrecognizedLine", "line", nullptr, SecondText::None},
    {"MissingField", "field", "context", SecondText::Context},
    {"AccountParseError", "message", nullptr, SecondText::None},
    {"DocumentParseError", "message", nullptr, SecondText::None},
    {"HookError", "message", nullptr, SecondText::None},
}};
static_assert(static_cast<std::size_t>(ErrorKind::HookError) + 1 == syntax_kinds.size(),
              "every syntax kind has its row, and only they");

// Why a section's values could not be made into a record: a date that cannot be read, a
// required key that is missing, or an amount that cannot be read. Kept as a value rather than
// as text, since a statement may hold a warning for every two lines, and the text is made only
// when it is wanted; the views live as long as the statement's texts.
struct SectionFailure {
  enum class Kind : std::uint8_t { BadDate, MissingField, BadAmount };
  Kind kind;
  DateError date;  // BadDate
  Text text;       // MissingField: the key (UTF-8); BadAmount: the value as written
};

inline SectionFailure bad_date(DateError error) noexcept {
  return {SectionFailure::Kind::BadDate, error, {}};
}

// The message of a date that cannot be read.
std::string_view date_error_text(DateError error) noexcept;

// The failure's message: a date message, "missing field `<key>`", or the amount message.
std::string failure_text(const SectionFailure& failure);

// The syntax kinds carry a line number and the texts syntax_kinds names; the others carry
// nothing. Texts are owned UTF-8 copies, never views into the input.
struct StatementError {
  ErrorKind kind;
  std::size_t lineno = 0;
  std::string text;
  std::string value;                // for a kind whose second text is Value
  Context context = Context::Init;  // for a kind whose second text is Context
};

// Texts of the line are kept as UTF-8, whatever the input's charset.
StatementError unexpected_section(std::size_t lineno, Text found, Context context);
StatementError unexpected_attribute(std::size_t lineno, Text key, Text value);
StatementError unrecognized_line(std::size_t lineno, Text line);
StatementError missing_field(std::size_t lineno, std::string_view field, Context context);
StatementError account_parse_error(std::size_t lineno, std::string message);
StatementError hook_error(std::size_t lineno, std::string message);
StatementError plain_error(ErrorKind kind);

// The one-line message, without the line number.
std::string error_message(const StatementError& error);

}  // namespace vexdal
