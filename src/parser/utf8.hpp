// UTF-8: telling valid input from the rest, and small helpers over text already known to be valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexdal {

// Reads the code point that starts at text[pos] and advances pos past it. The text must be valid
// UTF-8 and pos < text.size().
constexpr char32_t next_code_point(std::string_view text, std::size_t& pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  if (lead < 0xE0) {
    const char32_t cp = (char32_t{lead & 0x1Fu} << 6) | (byte(pos + 1) & 0x3Fu);
    pos += 2;
    return cp;
  }
  if (lead < 0xF0) {
    const char32_t cp = (char32_t{lead & 0x0Fu} << 12) | (char32_t{byte(pos + 1) & 0x3Fu} << 6) |
                        (byte(pos + 2) & 0x3Fu);
    pos += 3;
    return cp;
  }
  const char32_t cp = (char32_t{lead & 0x07u} << 18) | (char32_t{byte(pos + 1) & 0x3Fu} << 12) |
                      (char32_t{byte(pos + 2) & 0x3Fu} << 6) | (byte(pos + 3) & 0x3Fu);
  pos += 4;
  return cp;
}

// The start of bytes as one UTF-8 sequence: a complete, well-formed character, or else the
// maximal subpart (the longest start of some well-formed sequence, at least one byte), which a
// decoder replaces with one U+FFFD. bytes must not be empty.
struct Sequence {
  std::size_t length;
  bool complete;
};
Sequence scan_sequence(std::string_view bytes) noexcept;

// How many leading bytes form well-formed UTF-8 (strict: no overlong forms, no surrogates, nothing
// above U+10FFFF); bytes.size() when all of them do.
std::size_t valid_utf8_prefix(std::string_view bytes) noexcept;

// Which check valid_utf8_prefix runs on this processor: "avx2", "sse2" or "scalar".
const char* utf8_kernel_name() noexcept;

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
template <typename String>
constexpr void append_utf8(String& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The Unicode White_Space property (PropList.txt); the set has not changed since Unicode 6.3.
constexpr bool is_white_space(char32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// True when every character of the text is white space (the empty text included).
inline bool is_blank(std::string_view text) noexcept {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (!is_white_space(next_code_point(text, pos))) return false;
  }
  return true;
}

}  // namespace vexdal
