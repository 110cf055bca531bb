// Decoded text to classified lines: line ends, blank lines, markers and key=value lines. Knows the
// lexical form of a line only; which line may follow which is the section walk's business.
#include "lines.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "utf8.hpp"

namespace vexdal {
namespace {

// The prefix of a document section's first line; the document type follows its "=".
constexpr std::string_view document_start = "СекцияДокумент";

struct Marker {
  std::string_view line;
  LineKind kind;
};

constexpr std::array<Marker, 5> fixed_markers = {{
    {"1CClientBankExchange", LineKind::StatementStart},
    {"СекцияРасчСчет", LineKind::AccountStart},
    {"КонецРасчСчет", LineKind::AccountEnd},
    {"КонецДокумента", LineKind::DocumentEnd},
    {"КонецФайла", LineKind::FileEnd},
}};

// Cuts the next line off the front of text. It loses its LF and one CR before that; a CR with no
// LF after it stays, as does anything after the last LF.
std::string_view take_line(std::string_view& text) noexcept {
  const void* lf = std::memchr(text.data(), '\n', text.size());
  if (lf == nullptr) return std::exchange(text, std::string_view());
  const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data());
  std::string_view line = text.substr(0, length);
  text.remove_prefix(length + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Nearly every line starts with a printable ASCII byte or a letter, so the answer comes from the
// first character; only lines that start with white space are read further.
bool is_blank_line(std::string_view line) noexcept {
  std::size_t pos = 0;
  while (pos < line.size()) {
    const auto byte = static_cast<unsigned char>(line[pos]);
    if (byte > 0x20 && byte < 0x80) return false;
    if (!is_white_space(next_code_point(line, pos))) return false;
  }
  return true;
}

std::optional<LineToken> classify(std::string_view line, std::size_t lineno) noexcept {
  if (const void* found = std::memchr(line.data(), '=', line.size())) {
    const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - line.data());
    const std::string_view key = line.substr(0, at);
    const std::string_view value = line.substr(at + 1);
    const LineKind kind = key == document_start ? LineKind::DocumentStart : LineKind::Attribute;
    return LineToken{lineno, kind, key, value};
  }
  for (const Marker& marker : fixed_markers) {
    if (line == marker.line) return LineToken{lineno, marker.kind, line, {}};
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<LineToken>, StatementError> tokenize(std::string_view text) {
  // At most one token per line: reserving once spares the copies of a growing vector, which on a
  // large statement cost more than this extra pass. Statement lines are longer than eight bytes, so
  // a text of mostly blank lines does not reserve more than a real statement of its size would.
  std::vector<LineToken> tokens;
  const auto line_ends = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  tokens.reserve(std::min(line_ends, text.size() / 8) + 1);
  // Blank lines still count, so line numbers stay physical. A line needs at least its LF, so the
  // count cannot pass the text's size.
  std::size_t lineno = 0;
  while (!text.empty()) {
    const std::string_view line = take_line(text);
    ++lineno;
    if (is_blank_line(line)) continue;
    std::optional<LineToken> token = classify(line, lineno);
    if (!token) return fail(unrecognized_line(lineno, line));
    tokens.push_back(*token);
  }
  return tokens;
}

}  // namespace vexdal
