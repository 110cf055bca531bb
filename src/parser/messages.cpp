// Every text the parser shows its users, one table per kind: the names of encodings and
// contexts, the messages of the failures a parse ends with, and those of the values it could not
// read. Changing a message, or adding an encoding or a failure, starts here.
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "quote.hpp"
#include "records.hpp"

namespace vexdal {
namespace {

std::string join(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (const std::string_view piece : pieces) out += piece;
  return out;
}

}  // namespace

std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::Cp1251:
      return "cp1251";
    case Encoding::Utf8:
      return "utf-8";
  }
  return {};
}

std::string_view context_text(Context context) noexcept {
  switch (context) {
    case Context::Header:
      return "header";
    case Context::Document:
      return "document";
    case Context::Account:
      return "account";
    case Context::Finished:
      return "finished";
    case Context::Init:
      return "init";
    case Context::ReadNextSection:
      return "read_next_section";
  }
  return {};
}

std::string error_message(const StatementError& error) {
  switch (error.kind) {
    case ErrorKind::UnexpectedSection:
      return join(
          {"Unexpected section '", error.text, "' in context '", context_text(error.context), "'"});
    case ErrorKind::UnexpectedAttribute:
      return join({"Unexpected attribute '", error.text, "' = '", error.value, "'"});
    case ErrorKind::UnrecognizedLine:
      return join({"Unrecognized line: '", error.text, "'"});
    case ErrorKind::MissingField:
      return join(
          {"Missing field '", error.text, "' in context '", context_text(error.context), "'"});
    case ErrorKind::AccountParseError:
      return join({"Account parse error: ", error.text});
    case ErrorKind::DocumentParseError:
      return join({"Document parse error: ", error.text});
    case ErrorKind::HookError:
      return join({"Hook error: ", error.text});
    case ErrorKind::InvalidDocument:
      return "Invalid document";
    case ErrorKind::Unfinished:
      return "Statement is not finished";
    case ErrorKind::NotStatement:
      return "Input is not a 1C statement";
    case ErrorKind::EmptyInput:
      return "Input is empty";
    case ErrorKind::OutOfMemory:
      return "Out of memory";
  }
  return {};
}

std::string_view date_error_text(DateError error) noexcept {
  switch (error) {
    case DateError::Empty:
      return "empty string is not a valid date";
    case DateError::PrematureEnd:
      return "premature end of input";
    case DateError::InvalidCharacters:
      return "input contains invalid characters";
    case DateError::TrailingInput:
      return "trailing input";
    case DateError::OutOfRange:
      return "input is out of range";
  }
  return {};
}

std::string failure_text(const SectionFailure& failure) {
  switch (failure.kind) {
    case SectionFailure::Kind::BadDate:
      return std::string(date_error_text(failure.date));
    case SectionFailure::Kind::MissingField:
      return join({"missing field `", failure.text.bytes, "`"});
    case SectionFailure::Kind::BadAmount: {
      // The same message for every kind of bad amount; it quotes the value as written.
      std::string scratch;
      std::string message = "invalid value: string ";
      append_quoted(message, utf8_view(failure.text, scratch));
      message += ", expected a Decimal type representing a fixed-point number";
      return message;
    }
  }
  return {};
}

}  // namespace vexdal
