// The failures a parse can end with, made as values; their words are in messages.cpp.
#include "failure.hpp"

namespace vexdal {

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

StatementError plain_error(ErrorKind kind) { return {kind, 0, {}, {}, Context::Init}; }

}  // namespace vexdal
