// Raw input to text: strict UTF-8 is used in place; anything else is decoded the way browsers do,
// with windows-1251 as the fallback. Knows encodings and the first line, not the line grammar.
#include "decode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

namespace vexdal {
namespace {

constexpr std::string_view utf8_mark = "\xEF\xBB\xBF";
constexpr std::string_view utf16le_mark = "\xFF\xFE";
constexpr std::string_view utf16be_mark = "\xFE\xFF";
constexpr char32_t replacement_char = 0xFFFD;

constexpr std::uint8_t byte_at(std::string_view bytes, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(bytes[i]);
}

// The decoders below write through a sink: first a counter, so the text is allocated once at its
// exact size, then a writer into that allocation.
class SizeCounter {
 public:
  void append(std::string_view run) noexcept { size_ += run.size(); }
  void put(char32_t cp) noexcept { size_ += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
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
  void push_back(char byte) noexcept { *out_++ = byte; }

 private:
  char* out_;
};

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

// The decoder a byte-order mark picks, with the mark dropped; false when there is no mark.
template <typename Sink>
bool decode_marked(std::string_view bytes, Sink& out) {
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
    return false;
  }
  return true;
}

// UTF-8 text of a marked input, counted first so that it is allocated once at its exact size.
TextBuffer decode_marked_text(std::string_view bytes) {
  // No decoder writes more than three bytes per input byte, so below this bound the count cannot
  // wrap. Above it (only conceivable with 32-bit sizes) the text could not be held anyway, and the
  // caller reports a failed allocation as it does for any other.
  if (bytes.size() > std::numeric_limits<std::size_t>::max() / 3) throw std::bad_alloc();
  SizeCounter counter;
  decode_marked(bytes, counter);
  TextBuffer text(counter.size());
  TextWriter writer(text.data());
  decode_marked(bytes, writer);
  return text;
}

// Letters, digits, ASCII punctuation, the usual line and page controls, and everything from the
// Cyrillic block up. Latin-1 and Greek count against the text: in a windows-1251 file they stand
// for bytes that were never meant as that code page.
constexpr bool is_text_char(char32_t cp) noexcept {
  if (cp >= 0x400) return true;
  return (cp >= 0x20 && cp <= 0x7E) || cp == '\t' || cp == '\n' || cp == '\f' || cp == '\r';
}

constexpr std::array<bool, 256> windows_1251_text_byte = [] {
  std::array<bool, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    table[byte] = is_text_char(windows_1251_char(static_cast<std::uint8_t>(byte)));
  }
  return table;
}();

// Guards the fallback paths, which accept any bytes at all: a binary file must not pass as a
// windows-1251 statement. A sample of the start is enough to tell, however long the input.
bool looks_like_text(Text text) noexcept {
  constexpr std::size_t sample_chars = 20480;
  constexpr std::size_t failing_percent = 95;  // this share of good characters or less fails
  std::size_t total = 0;
  std::size_t good = 0;
  if (text.charset == Charset::Windows1251) {
    // One byte is one character.
    total = std::min(text.bytes.size(), sample_chars);
    for (std::size_t i = 0; i < total; ++i) {
      good += windows_1251_text_byte[static_cast<std::uint8_t>(text.bytes[i])] ? 1u : 0u;
    }
  } else {
    std::size_t pos = 0;
    while (pos < text.bytes.size() && total < sample_chars) {
      if (is_text_char(next_code_point(text.bytes, pos))) ++good;
      ++total;
    }
  }
  return total != 0 && good * 100 / total > failing_percent;
}

// The first line, without its LF and one CR before that, must be the format's name. A CR with no
// LF after it stays in the line, so a file with CR-only line ends is refused. The name is ASCII,
// so the bytes compare alike in both charsets.
bool names_the_format(std::string_view text) noexcept {
  constexpr std::string_view format_line = "1CClientBankExchange";
  if (text.substr(0, format_line.size()) != format_line) return false;
  const std::string_view rest = text.substr(format_line.size());
  return rest.empty() || rest.front() == '\n' || rest.substr(0, 2) == "\r\n";
}

}  // namespace

Result<DecodedText, StatementError> decode_statement(std::string_view input) {
  const auto not_statement = [] { return fail(plain_error(ErrorKind::NotStatement)); };
  if (valid_utf8_prefix(input) == input.size()) {
    // Exporters write the mark; it is not part of the first line. Dropping it moves only the
    // start of the view, so line numbers are unaffected.
    std::string_view text = input;
    if (text.substr(0, utf8_mark.size()) == utf8_mark) text.remove_prefix(utf8_mark.size());
    if (!names_the_format(text)) return not_statement();
    return DecodedText{text, {}, Charset::Utf8, Encoding::Utf8};
  }
  DecodedText decoded{input, {}, Charset::Windows1251, Encoding::Cp1251};
  // Every byte of windows-1251 is one character, and the format's lines, markers, keys, dates
  // and amounts can all be found in those bytes as they came: the text stays the input. Only a
  // byte-order mark makes a decoded copy.
  if (input.substr(0, utf8_mark.size()) == utf8_mark || input.substr(0, 2) == utf16le_mark ||
      input.substr(0, 2) == utf16be_mark) {
    decoded.decoded = decode_marked_text(input);
    decoded.text = decoded.decoded.view();
    decoded.charset = Charset::Utf8;
  }
  if (!looks_like_text(Text{decoded.text, decoded.charset}) || !names_the_format(decoded.text)) {
    return not_statement();
  }
  return decoded;
}

}  // namespace vexdal
