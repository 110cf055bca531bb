// Moving texts between the two charsets, for the few places that need characters rather than
// bytes: value readers, messages, account numbers and equality across statements.
#include "charsets.hpp"

#include <cstring>

namespace vexdal {
namespace {

// Reads one character of a text in either charset and advances pos past it.
char32_t next_char(Text text, std::size_t& pos) noexcept {
  if (text.charset == Charset::Utf8) return next_code_point(text.bytes, pos);
  return windows_1251_char(static_cast<std::uint8_t>(text.bytes[pos++]));
}

// The UTF-8 of each byte's character, so that transcoding is a lookup per byte.
struct Utf8Char {
  char bytes[3] = {};
  std::uint8_t size = 0;
  constexpr void push_back(char byte) noexcept { bytes[size++] = byte; }
};

constexpr std::array<Utf8Char, 256> windows_1251_utf8 = [] {
  std::array<Utf8Char, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    append_utf8(table[byte], windows_1251_char(static_cast<std::uint8_t>(byte)));
  }
  return table;
}();

}  // namespace

std::string utf8_string(Text text) {
  if (text.charset == Charset::Utf8) return std::string(text.bytes);
  // Every character of the code page takes one to three bytes in UTF-8.
  std::string out(text.bytes.size() * 3, '\0');
  std::size_t size = 0;
  for (const char byte : text.bytes) {
    const Utf8Char& utf8 = windows_1251_utf8[static_cast<std::uint8_t>(byte)];
    for (std::size_t i = 0; i < utf8.size; ++i) out[size++] = utf8.bytes[i];
  }
  out.resize(size);
  return out;
}

bool same_characters(Text a, Text b) noexcept {
  if (a.charset == b.charset) return a.bytes == b.bytes;
  std::size_t pos_a = 0;
  std::size_t pos_b = 0;
  while (pos_a < a.bytes.size() && pos_b < b.bytes.size()) {
    if (next_char(a, pos_a) != next_char(b, pos_b)) return false;
  }
  return pos_a == a.bytes.size() && pos_b == b.bytes.size();
}

}  // namespace vexdal
