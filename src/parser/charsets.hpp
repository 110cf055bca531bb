// The two byte encodings that statement texts are kept in: UTF-8, and windows-1251 read straight
// from the input without transcoding it. Knows characters, not the statement format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "utf8.hpp"

namespace vexdal {

enum class Charset : std::uint8_t { Utf8, Windows1251 };

// A text of the statement: its bytes and how they encode characters. What the input says stays
// in the input's own bytes; what a hook writes is UTF-8.
struct Text {
  std::string_view bytes;
  Charset charset = Charset::Utf8;
};

// Bytes 0x80 to 0xFF of windows-1251 as browsers read them. 0x98, unassigned by the code page,
// maps to the C1 control U+0098, so every byte is exactly one character and none fails.
inline constexpr std::array<char16_t, 128> windows_1251_high = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 0xC0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 0xC8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 0xD0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 0xD8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // 0xE0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // 0xE8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // 0xF0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // 0xF8
};

constexpr char16_t windows_1251_char(std::uint8_t byte) noexcept {
  return byte < 0x80 ? char16_t{byte} : windows_1251_high[byte - 0x80u];
}

constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Eight bytes as one integer, the first byte lowest whatever the processor's byte order: a
// single load where it is little-endian.
inline std::uint64_t little_endian_word(const char* bytes) noexcept {
  const auto at = [bytes](int i) { return std::uint64_t{static_cast<std::uint8_t>(bytes[i])}; };
  // Written out rather than as a loop, so that compilers see the load it is.
  return at(0) | at(1) << 8 | at(2) << 16 | at(3) << 24 | at(4) << 32 | at(5) << 40 | at(6) << 48 |
         at(7) << 56;
}

// True when every byte is below 0x80: such bytes read the same in both charsets. Inline, eight
// bytes a step with the last step overlapping the one before: the texts checked are a few dozen
// bytes, checked once for every string made, where a call and a byte loop for the tail would
// cost more than the check.
inline bool is_ascii(std::string_view bytes) noexcept {
  const char* at = bytes.data();
  const std::size_t n = bytes.size();
  if (n >= 8) {
    const auto word = [at](std::size_t i) {
      std::uint64_t value;
      std::memcpy(&value, at + i, sizeof value);
      return value;
    };
    constexpr std::uint64_t high = 0x8080808080808080u;
    // Stops at the first word with a high byte: a long text that is not ASCII mostly has one in
    // its first few words.
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if ((word(i) & high) != 0) return false;
    }
    return (word(n - 8) & high) == 0;
  }
  if (n >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, at, sizeof first);
    std::memcpy(&last, at + n - 4, sizeof last);
    return ((first | last) & 0x80808080u) == 0;
  }
  unsigned seen = 0;
  for (std::size_t i = 0; i < n; ++i) seen |= static_cast<std::uint8_t>(at[i]);
  return (seen & 0x80u) == 0;
}

// The text's characters as an owned UTF-8 string.
std::string utf8_string(Text text);

// The text as UTF-8: its own bytes when they already are (UTF-8, or ASCII in either charset),
// else a transcoded copy kept in scratch, which must outlive the returned view. Inline, as every
// value an account section reads comes through here, and nearly all are their own bytes.
inline std::string_view utf8_view(Text text, std::string& scratch) {
  if (text.charset == Charset::Utf8 || is_ascii(text.bytes)) return text.bytes;
  scratch = utf8_string(text);
  return scratch;
}

// Whether two texts hold the same characters, whatever their charsets.
bool same_characters(Text a, Text b) noexcept;

// A UTF-8 literal spelled in a charset, made at compile time, so that keys and markers can be
// compared byte for byte with lines that were never transcoded.
class Spelling {
 public:
  constexpr Spelling() = default;
  constexpr Spelling(std::string_view utf8, Charset charset) {
    if (charset == Charset::Utf8) {
      for (const char byte : utf8) push_back(byte);
      return;
    }
    for (std::size_t pos = 0; pos < utf8.size();) {
      push_back(windows_1251_byte(next_code_point(utf8, pos)));
    }
  }
  constexpr std::string_view view() const noexcept { return {bytes_.data(), size_}; }

 private:
  // Keys and markers hold only characters the code page has; any other stops the compilation.
  static constexpr char windows_1251_byte(char32_t cp) {
    if (cp < 0x80) return static_cast<char>(cp);
    for (std::size_t i = 0; i < windows_1251_high.size(); ++i) {
      if (windows_1251_high[i] == cp) return static_cast<char>(0x80 + i);
    }
    throw "character outside windows-1251";
  }
  constexpr void push_back(char byte) {
    if (size_ == bytes_.size()) throw "spelling too long";
    bytes_[size_++] = byte;
  }

  std::array<char, 48> bytes_{};
  std::size_t size_ = 0;
};

}  // namespace vexdal
