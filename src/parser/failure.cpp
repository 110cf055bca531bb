// Failure kinds and their messages: the only place the English texts of parse errors live.
#include "failure.hpp"

#include <array>

#include "amounts.hpp"

namespace vexdal {

std::string_view context_text(Context context) noexcept {
  static constexpr std::array<std::string_view, 6> texts = {
      "header", "document", "account", "finished", "init", "read_next_section"};
  return texts[static_cast<std::size_t>(context)];
}

StatementError unexpected_section(std::size_t lineno, Text found, Context context) {
  return {ErrorKind::UnexpectedSection, lineno, utf8_string(found), {}, context};
}

StatementError unexpected_attribute(std::size_t lineno, Text key, Text value) {
  return {ErrorKind::UnexpectedAttribute, lineno, utf8_string(key), utf8_string(value),
          Context::Init};
}

StatementError unrecognized_line(std::size_t lineno, Text line) {
  return {ErrorKind::UnrecognizedLine, lineno, utf8_string(line), {}, Context::Init};
}

StatementError missing_field(std::size_t lineno, std::string_view field, Context context) {
  return {ErrorKind::MissingField, lineno, std::string(field), {}, context};
}

StatementError account_parse_error(std::size_t lineno, std::string message) {
  return {ErrorKind::AccountParseError, lineno, std::move(message), {}, Context::Init};
}

StatementError hook_error(std::size_t lineno, std::string message) {
  return {ErrorKind::HookError, lineno, std::move(message), {}, Context::Init};
}

std::string failure_text(const SectionFailure& failure) {
  switch (failure.kind) {
    case SectionFailure::Kind::Message:
      return std::string(failure.text.bytes);
    case SectionFailure::Kind::MissingField:
      return "missing field `" + std::string(failure.text.bytes) + "`";
    case SectionFailure::Kind::BadAmount: {
      std::string scratch;
      return amount_message(utf8_view(failure.text, scratch));
    }
  }
  return {};
}

StatementError plain_error(ErrorKind kind) { return {kind, 0, {}, {}, Context::Init}; }

std::string error_message(const StatementError& error) {
  const auto join = [](std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view piece : pieces) out += piece;
    return out;
  };
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
  }
  return {};
}

}  // namespace vexdal
