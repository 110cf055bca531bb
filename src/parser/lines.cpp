// Statement text to classified lines: line ends, blank lines, markers and key=value lines, in the
// text's own charset. Knows the lexical form of a line only; which line may follow which is the
// section walk's business.
#include "lines.hpp"

#include <array>
#include <cstring>

#include "keys.hpp"

// The vector instructions where every x86 processor has them; a test build may force the words
// of plain integers that other processors use (VEXDAL_FORCE_KERNEL=scalar in CMake).
#if defined(__SSE2__) && !defined(VEXDAL_FORCE_KERNEL_SCALAR)
#define VEXDAL_SSE2_LINES 1
#include <emmintrin.h>
#endif

namespace vexdal {
namespace {

struct Marker {
  std::string_view line;  // UTF-8
  LineKind kind;
};

constexpr std::array<Marker, 5> fixed_markers = {{
    {"1CClientBankExchange", LineKind::StatementStart},
    {"СекцияРасчСчет", LineKind::AccountStart},
    {"КонецРасчСчет", LineKind::AccountEnd},
    {"КонецДокумента", LineKind::DocumentEnd},
    {"КонецФайла", LineKind::FileEnd},
}};

// The markers as they stand in a text of one charset.
struct MarkerSpellings {
  Spelling document_start;  // the key of a document section's first line
  std::array<Spelling, fixed_markers.size()> fixed{};
  // Whether a line that starts with this byte can be blank at all: most lines start with a
  // letter or digit and are settled by this one lookup.
  std::array<bool, 256> may_start_blank{};

  constexpr explicit MarkerSpellings(Charset charset) : document_start("СекцияДокумент", charset) {
    for (std::size_t i = 0; i < fixed.size(); ++i)
      fixed[i] = Spelling(fixed_markers[i].line, charset);
    for (std::size_t byte = 0; byte < may_start_blank.size(); ++byte) {
      const auto value = static_cast<std::uint8_t>(byte);
      if (charset == Charset::Windows1251) {
        may_start_blank[byte] = is_white_space(windows_1251_char(value));
      } else {
        // The lead bytes of U+0085 and U+00A0 (C2), and of the white space at U+1680, U+2000 to
        // U+205F and U+3000 (E1 to E3).
        may_start_blank[byte] = (value < 0x80 && is_white_space(value)) || value == 0xC2 ||
                                (value >= 0xE1 && value <= 0xE3);
      }
    }
  }
};

constexpr MarkerSpellings utf8_markers(Charset::Utf8);
constexpr MarkerSpellings windows_1251_markers(Charset::Windows1251);

bool is_blank_line(std::string_view line, Charset charset) noexcept {
  if (charset == Charset::Windows1251) {
    for (const char byte : line) {
      if (!is_white_space(windows_1251_char(static_cast<std::uint8_t>(byte)))) return false;
    }
    return true;
  }
  return is_blank(line);
}

bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && equal_bytes(a.data(), b.data(), a.size());
}

// One bit for each of the eight bytes of word (first byte lowest) that equals byte. Exact: the
// high bit of a byte is set only where the byte is zero after the XOR, with no borrow between
// bytes, and the multiplication gathers those eight bits into the top byte.
[[maybe_unused]] inline unsigned matching_bytes(std::uint64_t word, char byte) noexcept {
  constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Fu;
  const std::uint64_t x = word ^ (0x0101010101010101u * static_cast<std::uint8_t>(byte));
  const std::uint64_t zero = ~(((x & low7) + low7) | x | low7);
  return static_cast<unsigned>(((zero >> 7) * 0x0102040810204080u) >> 56);
}

// The bits of LF and "=" in a block of marked_bytes bytes.
constexpr std::size_t marked_bytes = 64;
struct Marks {
  std::uint64_t line_feeds;
  std::uint64_t equals;
};

// Marks the block at bytes. Inline in load_block, so that the walk's crossing into the next block
// costs no more calls and no stack.
inline Marks mark_block(const char* bytes) noexcept {
  Marks marks{0, 0};
#if defined(VEXDAL_SSE2_LINES)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i eq = _mm_set1_epi8('=');
  for (std::size_t i = 0; i < marked_bytes; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    // A mask of 16 bytes is below 2^16 already, so it needs no narrowing on its way to 64 bits.
    marks.line_feeds |=
        std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lf)))}
        << i;
    marks.equals |=
        std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, eq)))}
        << i;
  }
#else
  // Eight bytes at a time in plain integers where there are no vector instructions (ARM).
  for (std::size_t i = 0; i < marked_bytes; i += 8) {
    const std::uint64_t word = little_endian_word(bytes + i);
    marks.line_feeds |= std::uint64_t{matching_bytes(word, '\n')} << i;
    marks.equals |= std::uint64_t{matching_bytes(word, '=')} << i;
  }
#endif
  return marks;
}

// The LF bits of the scanned_bytes bytes at bytes, for next_keyed(), which scans twice at most.
constexpr std::size_t scanned_bytes = 32;
inline std::uint32_t line_feeds_in(const char* bytes) noexcept {
#if defined(VEXDAL_SSE2_LINES)
  const __m128i lf = _mm_set1_epi8('\n');
  const auto half = [&lf](const char* at) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lf)));
  };
  return half(bytes) | half(bytes + 16) << 16;
#else
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < scanned_bytes; i += 8) {
    bits |= std::uint32_t{matching_bytes(little_endian_word(bytes + i), '\n')} << i;
  }
  return bits;
#endif
}

// The text's last bytes, fewer than a block, are copied into zeros, which are neither LF nor "=",
// so nothing is read past the text. Apart, as it runs once a text and needs a buffer.
[[gnu::noinline]] Marks mark_last_block(const char* bytes, std::size_t size) noexcept {
  alignas(16) char padded[marked_bytes] = {};
  std::memcpy(padded, bytes, size);
  return mark_block(padded);
}

}  // namespace

LineSplitter::LineSplitter(std::string_view text) noexcept
    : data_(text.data()), size_(text.size()) {
  if (size_ > 0) load_block();
}

void LineSplitter::load_block() noexcept {
  static_assert(block_size == marked_bytes, "a block is what one marking covers");
  const char* bytes = data_ + block_;
  const Marks marks =
      size_ - block_ >= block_size ? mark_block(bytes) : mark_last_block(bytes, size_ - block_);
  line_feeds_ = marks.line_feeds;
  equals_ = marks.equals;
}

bool LineSplitter::next_keyed(std::string_view key, std::string_view& line) noexcept {
  const std::size_t start = cursor_;
  const std::size_t value = start + key.size() + 1;
  if (size_ - start < key.size() + 1 + scanned_bytes) return false;
  if (data_[value - 1] != '=' || !equal_bytes(data_ + start, key.data(), key.size())) return false;
  std::size_t scanned = value;
  std::uint32_t line_feeds = line_feeds_in(data_ + scanned);
  if (line_feeds == 0) {
    // A longer value, as a note in Cyrillic mostly is in UTF-8, takes one scan more.
    scanned += scanned_bytes;
    if (size_ - scanned < scanned_bytes) return false;
    line_feeds = line_feeds_in(data_ + scanned);
    if (line_feeds == 0) return false;
  }
  const std::size_t end = scanned + static_cast<unsigned>(__builtin_ctz(line_feeds));
  // The line has its "=", so it is not empty and the byte before its LF is its own.
  line = {data_ + start, (data_[end - 1] == '\r' ? end - 1 : end) - start};
  move_unmarked(end + 1);
  return true;
}

bool LineSplitter::next_exact(std::string_view text, std::string_view& line) noexcept {
  const std::size_t start = cursor_;
  // Room for the text and a CR LF: a shorter rest is the text's last line, left to next().
  if (text.empty() || size_ - start < text.size() + 2) return false;
  if (!equal_bytes(data_ + start, text.data(), text.size())) return false;
  std::size_t end = start + text.size();
  if (data_[end] == '\r') ++end;
  if (data_[end] != '\n') return false;
  line = {data_ + start, text.size()};
  move_unmarked(end + 1);
  return true;
}

void LineSplitter::mark_at_cursor() noexcept {
  // Only asked for while the cursor is inside the text, so its block has bytes to mark.
  unmarked_ = false;
  block_ = cursor_ - cursor_ % block_size;
  load_block();
  const std::uint64_t kept = ~std::uint64_t{0} << (cursor_ - block_);
  line_feeds_ &= kept;
  equals_ &= kept;
}

bool LineSplitter::next_across_blocks(std::string_view& line, std::size_t& equals) noexcept {
  // The block marked has no LF left: the line goes on into the next blocks, or ends the text.
  if (cursor_ >= size_) return false;
  if (unmarked_) {
    mark_at_cursor();
    if (line_feeds_ != 0) return next(line, equals);
  }
  const std::size_t start = cursor_;
  std::size_t first_equals = equals_ != 0 ? block_ + lowest_bit(equals_) : no_equals;
  for (;;) {
    block_ += block_size;
    if (block_ >= size_) {
      // A last line without LF keeps all it has, a CR at its end included.
      cursor_ = size_;
      line = {data_ + start, size_ - start};
      break;
    }
    load_block();
    if (line_feeds_ != 0) {
      const unsigned bit = lowest_bit(line_feeds_);
      if (first_equals == no_equals && equals_ != 0 && lowest_bit(equals_) < bit) {
        first_equals = block_ + lowest_bit(equals_);
      }
      end_line(start, bit, line);
      break;
    }
    if (first_equals == no_equals && equals_ != 0) first_equals = block_ + lowest_bit(equals_);
  }
  equals = first_equals == no_equals ? no_equals : first_equals - start;
  return true;
}

LinesWithoutEquals::LinesWithoutEquals(std::string_view text) noexcept
    : data_(text.data()), size_(text.size()) {
  if (size_ > 0) load_block();
}

void LinesWithoutEquals::load_block() noexcept {
  const char* bytes = data_ + block_;
  const Marks marks = size_ - block_ >= marked_bytes ? mark_block(bytes)
                                                     : mark_last_block(bytes, size_ - block_);
  marked_ = true;
  line_feeds_ = marks.line_feeds;
  // Every byte but a LF is a one here, and an "=" added in starts a carry that runs up to the
  // next LF and sets its bit: the LFs that end up set end a line with "=". A carry out of the
  // block is an "=" on the line that goes on into the next.
  const std::uint64_t others = ~marks.line_feeds;
  std::uint64_t sum = 0;
  std::uint64_t with_equals = 0;
  const bool first = __builtin_add_overflow(others, marks.equals, &sum);
  const bool second = __builtin_add_overflow(sum, carry_, &with_equals);
  carry_ = first || second ? 1 : 0;
  ends_ = marks.line_feeds & ~with_equals;
}

bool LinesWithoutEquals::next(std::string_view& line) noexcept {
  while (marked_) {
    if (ends_ != 0) {
      const auto bit = static_cast<unsigned>(__builtin_ctzll(ends_));
      ends_ &= ends_ - 1;
      const std::uint64_t before = line_feeds_ & ((std::uint64_t{1} << bit) - 1);
      const std::size_t start =
          before != 0 ? block_ + marked_bytes - static_cast<unsigned>(__builtin_clzll(before))
                      : line_start_;
      const std::size_t end = block_ + bit;
      const std::size_t stop = end > start && data_[end - 1] == '\r' ? end - 1 : end;
      line = {data_ + start, stop - start};
      return true;
    }
    if (line_feeds_ != 0) {
      line_start_ = block_ + marked_bytes - static_cast<unsigned>(__builtin_clzll(line_feeds_));
    }
    block_ += marked_bytes;
    if (block_ < size_) {
      load_block();
      continue;
    }
    marked_ = false;
    // A last line without LF keeps all it has, a CR at its end included.
    if (line_start_ < size_ && carry_ == 0) {
      line = {data_ + line_start_, size_ - line_start_};
      return true;
    }
  }
  return false;
}

std::size_t LinesWithoutEquals::number_of(std::string_view line) const noexcept {
  const auto before = static_cast<std::size_t>(line.data() - data_);
  std::size_t lineno = 1;
  for (std::size_t i = 0; i < before; ++i) {
    if (data_[i] == '\n') ++lineno;
  }
  return lineno;
}

LineReader::LineReader(std::string_view text, Charset charset) noexcept
    : splitter_(text), charset_(charset) {
  const MarkerSpellings& markers =
      charset_ == Charset::Windows1251 ? windows_1251_markers : utf8_markers;
  may_start_blank_ = markers.may_start_blank.data();
  document_start_ = markers.document_start.view();
  for (std::size_t i = 0; i < fixed_markers.size(); ++i) {
    marker_lines_[static_cast<std::size_t>(fixed_markers[i].kind)] = markers.fixed[i].view();
  }
}

bool LineReader::classify(std::string_view line, std::size_t equals, LineToken& token) noexcept {
  const MarkerSpellings& markers =
      charset_ == Charset::Windows1251 ? windows_1251_markers : utf8_markers;
  // Blank lines still count, so line numbers stay physical. The next line is cut into a copy, so
  // that line itself never needs an address and stays in registers: copying it into the token
  // from memory just written would wait for those stores.
  while (line.empty() || (markers.may_start_blank[static_cast<std::uint8_t>(line[0])] &&
                          is_blank_line(line, charset_))) {
    std::string_view next_line;
    if (!splitter_.next(next_line, equals)) return false;
    line = next_line;
    ++lineno_;
  }
  token.lineno = lineno_;
  if (equals != LineSplitter::no_equals) {
    token.key = line.substr(0, equals);
    token.value = line.substr(equals + 1);
    token.kind = same_text(token.key, markers.document_start.view()) ? LineKind::DocumentStart
                                                                     : LineKind::Attribute;
    return true;
  }
  token.key = line;
  token.value = {};
  token.kind = LineKind::Unrecognized;
  // The markers differ from each other, so the first that matches is the line's.
  for (std::size_t i = 0; i < fixed_markers.size(); ++i) {
    if (same_text(line, markers.fixed[i].view())) {
      token.kind = fixed_markers[i].kind;
      break;
    }
  }
  return true;
}

bool is_unrecognized(std::string_view line, Charset charset) noexcept {
  const MarkerSpellings& markers =
      charset == Charset::Windows1251 ? windows_1251_markers : utf8_markers;
  if (line.empty() || (markers.may_start_blank[static_cast<std::uint8_t>(line[0])] &&
                       is_blank_line(line, charset))) {
    return false;
  }
  for (const Spelling& marker : markers.fixed) {
    if (same_text(line, marker.view())) return false;
  }
  return true;
}

const char* line_kernel_name() noexcept {
#if defined(VEXDAL_SSE2_LINES)
  return "sse2";
#else
  return "words";
#endif
}

}  // namespace vexdal
