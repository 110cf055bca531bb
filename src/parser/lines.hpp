// Cuts the statement text into classified lines, one at a time, storing none. Knows the lexical
// form of lines, not their order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "charsets.hpp"
#include "keys.hpp"

namespace vexdal {

enum class LineKind : std::uint8_t {
  Attribute,
  StatementStart,
  AccountStart,
  AccountEnd,
  DocumentStart,
  DocumentEnd,
  FileEnd,
  Unrecognized,  // neither a marker nor a line with "="
};

// One non-blank line. Views point into the text.
struct LineToken {
  std::size_t lineno;  // physical line, from 1; blank lines count
  LineKind kind;
  // Attribute: text before the first "=". DocumentStart: "СекцияДокумент". Other markers and
  // unrecognized lines: the whole line, so that errors can show it.
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

// Finds where each line ends and where its first "=" stands. Works through the text 64 bytes at a
// time, marking both characters in two bit masks, so a line costs a few bit operations instead of
// two searches.
class LineSplitter {
 public:
  static constexpr std::size_t no_equals = static_cast<std::size_t>(-1);

  explicit LineSplitter(std::string_view text) noexcept;
  // The next line without its line end: a LF, or a CR LF, ends a line; a CR anywhere else stays
  // in it. equals is the offset of its first "=" within the line, or no_equals. False at the end.
  bool next(std::string_view& line, std::size_t& equals) noexcept {
    // Inline for the common case, a line that ends in the block already marked: its start is in
    // that block too, so its first "=" is the first one left there, if it comes before the LF.
    if (line_feeds_ == 0) return next_across_blocks(line, equals);
    const std::size_t start = cursor_;
    const unsigned bit = lowest_bit(line_feeds_);
    equals = no_equals;
    if (equals_ != 0) {
      const unsigned first = lowest_bit(equals_);
      if (first < bit) equals = block_ + first - start;
    }
    end_line(start, bit, line);
    return true;
  }

  // The line at the cursor, taken without marking its bytes, when it starts with key and "=" and
  // its LF stands within the 32 bytes after the "=" or, where the text has them, the 64: as
  // next() gives it, its first "=" right after key. False, with nothing read, for any other
  // line. key must hold neither "=" nor LF. Sections whose writers repeat their keys in the same
  // order are read this way; the blocks are marked again only when next() is asked for a line.
  bool next_keyed(std::string_view key, std::string_view& line) noexcept;

  // The line at the cursor, taken the same way, when it is text itself ended by a LF or CR LF
  // in the text. False, with nothing read, for any other line; text must not be empty.
  bool next_exact(std::string_view text, std::string_view& line) noexcept;

 private:
  static constexpr std::size_t block_size = 64;
  // Marks the block the cursor is in, its bits before the cursor cleared, after next_keyed().
  void mark_at_cursor() noexcept;
  // Puts the cursor past a line taken without marking its block; the blocks stay unmarked.
  void move_unmarked(std::size_t cursor) noexcept {
    cursor_ = cursor;
    line_feeds_ = 0;
    equals_ = 0;
    unmarked_ = true;
  }
  static unsigned lowest_bit(std::uint64_t bits) noexcept {
    return static_cast<unsigned>(__builtin_ctzll(bits));
  }
  // Ends the line that began at start with the LF at bit of the block marked: its bits, up to and
  // including that LF, are forgotten, and a CR before the LF is no part of the line.
  void end_line(std::size_t start, unsigned bit, std::string_view& line) noexcept {
    const std::uint64_t later = bit == 63 ? 0 : ~std::uint64_t{0} << (bit + 1);
    line_feeds_ &= later;
    equals_ &= later;
    const std::size_t end = block_ + bit;
    cursor_ = end + 1;
    const std::size_t stop = end > start && data_[end - 1] == '\r' ? end - 1 : end;
    line = {data_ + start, stop - start};
  }
  void load_block() noexcept;
  // next() for a line that goes on past the block marked, or the end of the text.
  bool next_across_blocks(std::string_view& line, std::size_t& equals) noexcept;

  const char* data_;
  std::size_t size_;
  std::size_t cursor_ = 0;  // where the next line starts
  std::size_t block_ = 0;   // offset of the block the masks describe
  // Bits of LF and "=" in the current block, cleared for the bytes before the cursor. Both are
  // zero while unmarked_, so that next() takes the way that marks the cursor's block first.
  std::uint64_t line_feeds_ = 0;
  std::uint64_t equals_ = 0;
  bool unmarked_ = false;  // next_keyed() has moved the cursor past the block marked
};

// The lines of a text that hold no "=", cut as LineSplitter cuts them. A block of the text is
// marked as LineSplitter marks it, and one addition tells which of its LFs end a line with "=":
// those lines, nearly all of a statement, cost no step of their own. A check that looks only at
// markers and blank lines needs no more.
class LinesWithoutEquals {
 public:
  explicit LinesWithoutEquals(std::string_view text) noexcept;
  // The next such line without its line end; false at the end.
  bool next(std::string_view& line) noexcept;
  // The physical number, from 1, of a line it gave. Counted from the text's start, as a check
  // mostly needs none, and at most one.
  std::size_t number_of(std::string_view line) const noexcept;

 private:
  void load_block() noexcept;

  const char* data_;
  std::size_t size_;
  std::size_t block_ = 0;  // offset of the block marked
  bool marked_ = false;    // false once the text's blocks are all done
  std::uint64_t line_feeds_ = 0;  // of the block
  std::uint64_t ends_ = 0;        // the LFs left in it that end a line without "="
  // Whether the line that goes on into the block has had an "=" before it.
  std::uint64_t carry_ = 0;
  std::size_t line_start_ = 0;  // of the line that goes on into the block
};

// Whether a line without "=" is neither blank nor one of the markers, as LineReader finds it.
bool is_unrecognized(std::string_view line, Charset charset) noexcept;

// How LineSplitter marks a block on this target: "sse2", or "words" of plain integers.
const char* line_kernel_name() noexcept;

// Every non-blank line of a text, classified, in order.
class LineReader {
 public:
  LineReader(std::string_view text, Charset charset) noexcept;
  // Reads the next line into token when it is an attribute whose key is key, a key this reader
  // gave for an attribute before; false, with nothing read, when it is any other line, or one it
  // cannot take at once (LineSplitter::next_keyed), which next() then reads.
  bool next_keyed(std::string_view key, LineToken& token) noexcept {
    std::string_view line;
    if (!splitter_.next_keyed(key, line)) return false;
    token.lineno = ++lineno_;
    token.kind = LineKind::Attribute;
    token.key = {line.data(), key.size()};
    token.value = {line.data() + key.size() + 1, line.size() - key.size() - 1};
    return true;
  }

  // Reads the next line into token when it is the marker of kind, one of the markers without
  // "=", as next() would; false, with nothing read, when it is any other line, or one that ends
  // the text, which next() then reads. A walk that knows which marker mostly comes next takes it
  // this way.
  bool next_marker(LineKind kind, LineToken& token) noexcept {
    std::string_view line;
    if (!splitter_.next_exact(marker_lines_[static_cast<std::size_t>(kind)], line)) return false;
    token.lineno = ++lineno_;
    token.kind = kind;
    token.key = line;
    token.value = {};
    return true;
  }

  // Reads the next non-blank line into token; false at the end of the text.
  bool next(LineToken& token) noexcept {
    std::string_view line;
    std::size_t equals = 0;
    if (!splitter_.next(line, equals)) return false;
    ++lineno_;
    // Inline for most lines: a key=value line whose first byte cannot begin white space is
    // neither blank nor a marker.
    if (equals == LineSplitter::no_equals || may_start_blank_[static_cast<std::uint8_t>(line[0])]) {
      return classify(line, equals, token);
    }
    token.lineno = lineno_;
    token.key = {line.data(), equals};
    token.value = {line.data() + equals + 1, line.size() - equals - 1};
    token.kind = token.key.size() == document_start_.size() &&
                         equal_bytes(token.key.data(), document_start_.data(), equals)
                     ? LineKind::DocumentStart
                     : LineKind::Attribute;
    return true;
  }

 private:
  // next() for the line already cut and counted, when it may be blank or has no "=".
  bool classify(std::string_view line, std::size_t equals, LineToken& token) noexcept;

  LineSplitter splitter_;
  Charset charset_;
  std::size_t lineno_ = 0;
  const bool* may_start_blank_;     // by first byte, in the text's charset
  std::string_view document_start_;  // the document marker's key in the text's charset
  // The markers without "=" in the text's charset, by kind; empty for the other kinds.
  std::array<std::string_view, static_cast<std::size_t>(LineKind::Unrecognized) + 1>
      marker_lines_{};
};

// Calls visit(key, value) for each key=value line of text, in order, while it returns true.
template <typename Visit>
bool visit_attributes(std::string_view text, Charset charset, Visit visit) {
  LineReader reader(text, charset);
  LineToken token;
  while (reader.next(token)) {
    if (token.kind == LineKind::Attribute && !visit(token.key, token.value)) return false;
  }
  return true;
}

}  // namespace vexdal
