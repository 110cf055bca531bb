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

// Writes the characters of UTF-8 text as code units of type Unit, for a Unit wide enough for
// every one of them. False, with the output unusable, when the text turns out not to be
// `expected` characters of UTF-8 after all: the text is meant to be valid already, so the checks
// are only those that keep the reads and writes within bounds.
template <typename Unit>
bool decode_utf8_units(std::string_view utf8, Unit* out, std::size_t expected) noexcept {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t size = utf8.size();
  std::size_t written = 0;
  for (std::size_t i = 0; i < size;) {
    const std::uint32_t lead = bytes[i];
    if (written == expected || (lead & 0xC0u) == 0x80u) return false;
    if (lead < 0x80) {
      out[written++] = static_cast<Unit>(lead);
      ++i;
    } else if (lead < 0xE0 && size - i >= 2) {
      out[written++] = static_cast<Unit>((lead & 0x1Fu) << 6 | (bytes[i + 1] & 0x3Fu));
      i += 2;
    } else if (lead < 0xF0 && size - i >= 3) {
      out[written++] = static_cast<Unit>((lead & 0x0Fu) << 12 | (bytes[i + 1] & 0x3Fu) << 6 |
                                         (bytes[i + 2] & 0x3Fu));
      i += 3;
    } else if (lead < 0xF8 && size - i >= 4) {
      out[written++] = static_cast<Unit>((lead & 0x07u) << 18 | (bytes[i + 1] & 0x3Fu) << 12 |
                                         (bytes[i + 2] & 0x3Fu) << 6 | (bytes[i + 3] & 0x3Fu));
      i += 4;
    } else {
      return false;
    }
  }
  return written == expected;
}

// decode_utf8_units for text of one- and two-byte characters only (no byte above 0xDF), such as
// Cyrillic with Latin and digits: without a branch per character, which Russian words and the
// spaces between them would keep mispredicting. The same result and the same checks.
template <typename Unit>
bool decode_utf8_pairs(std::string_view utf8, Unit* out, std::size_t expected) noexcept {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t size = utf8.size();
  std::size_t written = 0;
  std::size_t i = 0;
  std::uint32_t bad = 0;
  // Every byte but the last has one after it to read.
  while (i + 1 < size && written < expected) {
    const std::uint32_t lead = bytes[i];
    const std::uint32_t next = bytes[i + 1];
    const std::uint32_t two = lead >> 7;
    // A lead byte must be 11xxxxxx and be followed by 10xxxxxx.
    bad |= two & (((lead >> 6) ^ 3u) | ((next >> 6) != 2u ? 1u : 0u));
    out[written++] = static_cast<Unit>(two != 0 ? (lead & 0x1Fu) << 6 | (next & 0x3Fu) : lead);
    i += 1 + two;
  }
  if (i + 1 == size && written < expected) {
    const std::uint32_t last = bytes[i++];
    bad |= last >> 7;
    out[written++] = static_cast<Unit>(last);
  }
  return bad == 0 && i == size && written == expected;
}

// The same for text with no character above U+FFFF (no byte above 0xEF) into UTF-16 code
// units, with the vector instructions of the UTF-8 check where it has them: sixteen bytes a step
// for the ASCII and two-byte characters, one character at a time for the others. `pairs_only`
// says that no byte is above 0xDF, which the plain path then reads without branches.
bool decode_utf8_ucs2(std::string_view utf8, std::uint16_t* out, std::size_t expected,
                      bool pairs_only) noexcept;

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
