// Raw input to text: strict UTF-8 is used in place; anything else is decoded the way browsers do,
// with windows-1251 as the fallback. Knows encodings and the first line, not the line grammar.
#include "decode.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

#include "utf8.hpp"

namespace vexdal {
namespace {

constexpr std::string_view utf8_mark = "\xEF\xBB\xBF";
constexpr std::string_view utf16le_mark = "\xFF\xFE";
constexpr std::string_view utf16be_mark = "\xFE\xFF";
constexpr char32_t replacement_char = 0xFFFD;

// Bytes 0x80 to 0xFF of windows-1251 as browsers read them. 0x98, unassigned by the code page,
// maps to the C1 control U+0098, so every byte decodes to exactly one character and none fails.
constexpr std::array<char16_t, 128> windows_1251_high = {
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

// A character of the code page in UTF-8: one to three bytes, as every one lies in the BMP.
struct CodePageChar {
  std::array<char, 3> bytes{};
  std::uint8_t size = 0;
  constexpr void push_back(char byte) noexcept { bytes[size++] = byte; }
};

// All 256 bytes, so that decoding is one lookup per byte with no branch on the byte's value.
constexpr std::array<CodePageChar, 256> windows_1251_utf8 = [] {
  std::array<CodePageChar, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    append_utf8(table[byte],
                byte < 0x80 ? static_cast<char32_t>(byte) : windows_1251_high[byte - 0x80]);
  }
  return table;
}();

constexpr std::uint8_t byte_at(std::string_view bytes, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(bytes[i]);
}

// The start of bytes as one UTF-8 sequence: a complete, well-formed character, or else the
// maximal subpart (the longest start of some well-formed sequence, at least one byte), which a
// decoder replaces with one U+FFFD.
struct Sequence {
  std::size_t length;
  bool complete;
};

// The second byte's range rules out overlong forms (E0, F0), surrogates (ED) and code points
// above U+10FFFF (F4); further continuation bytes are always 80 to BF.
Sequence scan_sequence(std::string_view bytes) noexcept {
  const std::uint8_t lead = byte_at(bytes, 0);
  if (lead < 0x80) return {1, true};
  std::size_t continuations = 0;
  std::uint8_t lower = 0x80;
  std::uint8_t upper = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) lower = 0xA0;
    if (lead == 0xED) upper = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) lower = 0x90;
    if (lead == 0xF4) upper = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (i == bytes.size()) return {i, false};
    const std::uint8_t next = byte_at(bytes, i);
    if (next < lower || next > upper) return {i, false};
    lower = 0x80;
    upper = 0xBF;
  }
  return {continuations + 1, true};
}

// How many leading bytes form well-formed UTF-8; bytes.size() when all of them do. Dates, amounts
// and account numbers make long ASCII runs, passed over eight bytes at a time.
std::size_t valid_utf8_prefix(std::string_view bytes) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080u;
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    if (byte_at(bytes, i) < 0x80) {
      for (std::uint64_t word; size - i >= 8; i += 8) {
        std::memcpy(&word, bytes.data() + i, sizeof word);
        if ((word & high_bits) != 0) break;
      }
      while (i < size && byte_at(bytes, i) < 0x80) ++i;
      continue;
    }
    // Cyrillic letters are two-byte sequences: take those without the general scan.
    const std::uint8_t lead = byte_at(bytes, i);
    if (lead >= 0xC2 && lead <= 0xDF && size - i >= 2 && (byte_at(bytes, i + 1) & 0xC0) == 0x80) {
      i += 2;
      continue;
    }
    const Sequence sequence = scan_sequence(bytes.substr(i));
    if (!sequence.complete) return i;
    i += sequence.length;
  }
  return size;
}

// The decoders below write through a sink: first a counter, so the text is allocated once at its
// exact size, then a writer into that allocation.
class SizeCounter {
 public:
  void append(std::string_view run) noexcept { size_ += run.size(); }
  void put(char32_t cp) noexcept { size_ += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
  void put(const CodePageChar& c) noexcept { size_ += c.size; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
};

class TextWriter {
 public:
  explicit TextWriter(char* out) noexcept : out_(out) {}
  void append(std::string_view run) noexcept {
    if (run.empty()) return;  // memcpy must not see the null pointer of an empty view
    std::memcpy(out_, run.data(), run.size());
    out_ += run.size();
  }
  void put(char32_t cp) noexcept { append_utf8(*this, cp); }
  // Copies all three bytes whatever the size, which keeps the loop free of branches; the buffer
  // has two spare bytes after the text for this.
  void put(const CodePageChar& c) noexcept {
    std::memcpy(out_, c.bytes.data(), c.bytes.size());
    out_ += c.size;
  }
  void push_back(char byte) noexcept { *out_++ = byte; }

 private:
  char* out_;
};

template <typename Sink>
void decode_windows_1251(std::string_view bytes, Sink& out) {
  for (const char byte : bytes) out.put(windows_1251_utf8[static_cast<std::uint8_t>(byte)]);
}

// Well-formed runs are copied as they are; each maximal subpart of a broken sequence becomes one
// U+FFFD, as browsers and Python's "replace" error handler do.
template <typename Sink>
void decode_utf8_lossy(std::string_view bytes, Sink& out) {
  while (!bytes.empty()) {
    const std::size_t valid = valid_utf8_prefix(bytes);
    out.append(bytes.substr(0, valid));
    bytes.remove_prefix(valid);
    if (bytes.empty()) return;
    out.put(replacement_char);
    bytes.remove_prefix(scan_sequence(bytes).length);
  }
}

// A surrogate without its partner becomes U+FFFD; a high surrogate followed by anything but a low
// one is replaced and the unit after it is read afresh. A leftover odd byte, alone or after a
// pending high surrogate, is one more U+FFFD.
template <typename Sink>
void decode_utf16(std::string_view bytes, bool big_endian, Sink& out) {
  const auto is_high = [](char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; };
  const auto is_low = [](char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
  char32_t pending_high = 0;
  std::size_t i = 0;
  for (; bytes.size() - i >= 2; i += 2) {
    const char32_t first = byte_at(bytes, i);
    const char32_t second = byte_at(bytes, i + 1);
    const char32_t unit = big_endian ? (first << 8 | second) : (second << 8 | first);
    if (pending_high != 0) {
      const char32_t high = std::exchange(pending_high, 0);
      if (is_low(unit)) {
        out.put(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      out.put(replacement_char);
    }
    if (is_high(unit)) {
      pending_high = unit;
    } else {
      out.put(is_low(unit) ? replacement_char : unit);
    }
  }
  if (pending_high != 0 || i < bytes.size()) out.put(replacement_char);
}

// A byte-order mark picks the decoder and is dropped; without one the bytes are windows-1251.
template <typename Sink>
void decode_with_fallback(std::string_view bytes, Sink& out) {
  const auto starts_with = [bytes](std::string_view mark) {
    return bytes.substr(0, mark.size()) == mark;
  };
  if (starts_with(utf8_mark)) {
    decode_utf8_lossy(bytes.substr(utf8_mark.size()), out);
  } else if (starts_with(utf16le_mark)) {
    decode_utf16(bytes.substr(utf16le_mark.size()), false, out);
  } else if (starts_with(utf16be_mark)) {
    decode_utf16(bytes.substr(utf16be_mark.size()), true, out);
  } else {
    decode_windows_1251(bytes, out);
  }
}

TextBuffer decode_legacy(std::string_view bytes) {
  // No decoder writes more than three bytes per input byte, so below this bound the count cannot
  // wrap. Above it (only conceivable with 32-bit sizes) the text could not be held anyway, and the
  // caller reports a failed allocation as it does for any other.
  constexpr std::size_t spare = 2;
  if (bytes.size() > (std::numeric_limits<std::size_t>::max() - spare) / 3) throw std::bad_alloc();
  SizeCounter counter;
  decode_with_fallback(bytes, counter);
  TextBuffer text(counter.size() + spare);
  TextWriter writer(text.data());
  decode_with_fallback(bytes, writer);
  text.truncate(counter.size());
  return text;
}

// Letters, digits, ASCII punctuation, the usual line and page controls, and everything from the
// Cyrillic block up. Latin-1 and Greek count against the text: in a decoded windows-1251 file
// they stand for bytes that were never meant as that code page.
constexpr bool is_text_char(char32_t cp) noexcept {
  if (cp >= 0x400) return true;
  return (cp >= 0x20 && cp <= 0x7E) || cp == '\t' || cp == '\n' || cp == '\f' || cp == '\r';
}

// Guards the fallback path, which accepts any bytes at all: a binary file must not pass as a
// windows-1251 statement. A sample of the start is enough to tell, however long the input.
bool looks_like_text(std::string_view text) noexcept {
  constexpr std::size_t sample_chars = 20480;
  constexpr std::size_t failing_percent = 95;  // this share of good characters or less fails
  std::size_t total = 0;
  std::size_t good = 0;
  std::size_t pos = 0;
  while (pos < text.size() && total < sample_chars) {
    if (is_text_char(next_code_point(text, pos))) ++good;
    ++total;
  }
  return total != 0 && good * 100 / total > failing_percent;
}

// The first line, without its LF and one CR before that, must be the format's name. A CR with no
// LF after it stays in the line, so a file with CR-only line ends is refused.
bool names_the_format(std::string_view text) noexcept {
  constexpr std::string_view format_line = "1CClientBankExchange";
  if (text.substr(0, format_line.size()) != format_line) return false;
  const std::string_view rest = text.substr(format_line.size());
  return rest.empty() || rest.front() == '\n' || rest.substr(0, 2) == "\r\n";
}

}  // namespace

Result<DecodedText, StatementError> decode_statement(TextBuffer input) {
  const std::string_view bytes = input.view();
  if (valid_utf8_prefix(bytes) == bytes.size()) {
    // Exporters write the mark; it is not part of the first line. The bytes stay in place, so line
    // numbers and views are unaffected.
    if (bytes.substr(0, utf8_mark.size()) == utf8_mark) input.drop_front(utf8_mark.size());
    if (!names_the_format(input.view())) return fail(plain_error(ErrorKind::NotStatement));
    return DecodedText{std::move(input), Encoding::Utf8};
  }
  TextBuffer text = decode_legacy(bytes);
  if (!looks_like_text(text.view()) || !names_the_format(text.view())) {
    return fail(plain_error(ErrorKind::NotStatement));
  }
  return DecodedText{std::move(text), Encoding::Cp1251};
}

}  // namespace vexdal
