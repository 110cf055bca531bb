// Cuts the decoded text into classified lines. Knows the lexical form of lines, not their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "failure.hpp"
#include "result.hpp"

namespace vexdal {

enum class LineKind : std::uint8_t {
  Attribute,
  StatementStart,
  AccountStart,
  AccountEnd,
  DocumentStart,
  DocumentEnd,
  FileEnd,
};

// One non-blank line. Views point into the decoded text.
struct LineToken {
  std::size_t lineno;  // physical line, from 1; blank lines count
  LineKind kind;
  // Attribute: text before the first "=". DocumentStart: "СекцияДокумент". Other markers: the
  // whole line, so that `display` can show it.
  std::string_view key;
  // Attribute: text after the first "="; DocumentStart: the document type; otherwise empty.
  std::string_view value;
};

// The marker line as it stood, for "Unexpected section" errors.
inline std::string_view display_text(const LineToken& token) noexcept {
  if (token.kind == LineKind::DocumentStart) {
    return {token.key.data(), token.key.size() + 1 + token.value.size()};
  }
  return token.key;
}

// Every token in line order, or UnrecognizedLine for the first line that is neither a marker nor
// contains "=".
Result<std::vector<LineToken>, StatementError> tokenize(std::string_view text);

}  // namespace vexdal
