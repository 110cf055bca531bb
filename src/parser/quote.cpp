// The quoted text form of the amount message and of every representation. Works on valid UTF-8
// only and knows nothing of where the text came from.
#include "quote.hpp"

#include <cstddef>
#include <cstdint>

#include "unicode.hpp"
#include "utf8.hpp"

namespace vexdal {
namespace {

// Printable ASCII other than the two characters that take a backslash.
constexpr bool is_plain_ascii(std::uint8_t byte) noexcept {
  return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
}

// Lead bytes D0 and D1 start U+0400..U+047F, the Russian alphabet and its neighbours: all
// printable, none combining (unicode.cpp checks that against its tables at compile time). Statement
// texts are mostly these, so they skip the table lookup.
constexpr bool is_plain_cyrillic_lead(std::uint8_t byte) noexcept {
  return byte == 0xD0 || byte == 0xD1;
}

void append_hex(std::string& out, char32_t cp) {
  constexpr char digits[] = "0123456789abcdef";
  char buffer[8];
  std::size_t start = sizeof buffer;
  do {
    buffer[--start] = digits[cp & 0xFu];
    cp >>= 4;
  } while (cp != 0);
  out.append(buffer + start, sizeof buffer - start);
}

void append_escape(std::string& out, char32_t cp) {
  switch (cp) {
    case U'\\':
      out += "\\\\";
      return;
    case U'"':
      out += "\\\"";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\0':
      out += "\\0";
      return;
    default:
      out += "\\u{";
      append_hex(out, cp);
      out += '}';
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  // Characters that stay as they are are copied in runs, so the usual all-printable text costs
  // one append.
  std::size_t run_start = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Tested with branches, not a table of lengths: the step then does not wait for the load.
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    if (is_plain_ascii(lead)) {
      ++pos;
      continue;
    }
    if (is_plain_cyrillic_lead(lead)) {
      pos += 2;
      continue;
    }
    const std::size_t char_start = pos;
    const char32_t cp = next_code_point(text, pos);
    // A combining mark is escaped even when printable: shown raw it would fuse with the
    // character or quote before it.
    if (cp >= 0x80 && is_printable(cp) && !is_grapheme_extend(cp)) continue;
    out.append(text, run_start, char_start - run_start);
    append_escape(out, cp);
    run_start = pos;
  }
  out.append(text, run_start, text.size() - run_start);
  out += '"';
}

}  // namespace vexdal
