// What a successful parse produces. Texts are views into the input and into the storage that the
// Statement owns, so nothing is copied per line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "amounts.hpp"
#include "charsets.hpp"
#include "dates.hpp"
#include "document_fields.hpp"
#include "failure.hpp"
#include "text.hpp"

namespace vexdal {

enum class Encoding : std::uint8_t { Cp1251, Utf8 };

// "utf-8" or "cp1251", as Statement.encoding reports it.
std::string_view encoding_name(Encoding encoding) noexcept;

struct Interval {
  Date date_start;
  std::optional<Date> date_end;
  Decimal start_amount;
  std::optional<Decimal> end_amount;
  std::optional<Decimal> total_income;
  std::optional<Decimal> total_expense;
};

// Equal in all six fields, amounts by numeric value.
bool same_interval(const Interval& a, const Interval& b) noexcept;

struct Account {
  std::string number;               // UTF-8, whatever the input's charset
  std::vector<Interval> intervals;  // never empty, ascending by date_start
};

// Where one text of a document lies: at an offset from the document's base.
struct TextSpan {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

// The texts of a document whose texts lie too far apart for 32-bit spans (a section of 4 GiB
// or more): kept as views, apart from the record.
using WideTexts = std::array<std::string_view, document_field_count>;

// One payment document. Text fields are spans from `base`, a pointer to the start of the texts:
// half the size of views, and so half the fresh memory a large statement asks for. Dates and
// amounts are kept as values, in the slots the field table gives them (their spans stay empty).
// An optional field is absent unless its bit is set.
struct Document {
  const char* base = nullptr;
  std::array<TextSpan, document_field_count> spans{};
  const WideTexts* wide = nullptr;  // set instead of base and spans when they cannot hold them
  std::uint32_t present = 0;
  // Fields whose text is windows-1251 bytes of the input; the others are UTF-8.
  std::uint32_t windows_1251 = 0;
  std::array<Date, date_field_count> dates;
  std::array<Decimal, amount_field_count> amounts;

  bool has(DocumentField field) const noexcept { return (present & field_bit(field)) != 0; }
  Date& date(DocumentField field) noexcept { return dates[value_slot(field)]; }
  const Date& date(DocumentField field) const noexcept { return dates[value_slot(field)]; }
  Decimal& amount(DocumentField field) noexcept { return amounts[value_slot(field)]; }
  const Decimal& amount(DocumentField field) const noexcept { return amounts[value_slot(field)]; }
  std::string_view bytes(DocumentField field) const noexcept {
    const std::size_t index = field_index(field);
    if (wide != nullptr) return (*wide)[index];
    return {base + spans[index].offset, spans[index].size};
  }
  Text operator[](DocumentField field) const noexcept {
    return {bytes(field),
            (windows_1251 & field_bit(field)) != 0 ? Charset::Windows1251 : Charset::Utf8};
  }
};

// The header as its lines stand in the text: between the first line and the first section, every
// line is a key=value line or blank. It is read again whenever it is wanted, so that a header
// of any length takes no memory of its own; a key given twice keeps its first place and its
// last value, as in a dict.
struct Header {
  std::string_view lines;
  Charset charset = Charset::Utf8;
};

// A document that could not be built: the line of its end marker, and why.
struct Warning {
  std::size_t lineno;
  SectionFailure reason;
};

// Records that never move once added: they grow a block at a time, so adding one never copies
// those before it, and whoever holds the statement may point at them for as long as it lives.
// Blocks double from 8 records up to 256, so that a small statement asks for little memory and a
// large one for blocks of a fixed size.
template <typename T>
class BlockList {
 public:
  // The slot the next record is built in, where it stays. It joins the list only when
  // committed, so a record that fails halfway leaves nothing behind; until then every call
  // returns the same slot.
  T& next_slot() {
    const Place place = locate(size_);
    if (place.block == blocks_.size()) {
      blocks_.push_back(std::make_unique<T[]>(block_length(place.block)));
    }
    return blocks_[place.block][place.offset];
  }
  void commit() noexcept { ++size_; }
  void push_back(T value) {
    next_slot() = std::move(value);
    commit();
  }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept {
    const Place place = locate(i);
    return blocks_[place.block][place.offset];
  }
  const T& operator[](std::size_t i) const noexcept {
    const Place place = locate(i);
    return blocks_[place.block][place.offset];
  }

 private:
  static constexpr std::size_t first_length = 8;
  static constexpr std::size_t last_length = 256;
  // The records held by the blocks that double, 8 + 16 + ... + 128.
  static constexpr std::size_t doubling_records = last_length - first_length;
  static constexpr std::size_t doubling_blocks = 5;

  struct Place {
    std::size_t block;
    std::size_t offset;
  };

  static constexpr std::size_t block_length(std::size_t block) noexcept {
    return block < doubling_blocks ? first_length << block : last_length;
  }
  static constexpr Place locate(std::size_t i) noexcept {
    if (i >= doubling_records) {
      const std::size_t rest = i - doubling_records;
      return {doubling_blocks + rest / last_length, rest % last_length};
    }
    std::size_t block = 0;
    while (i >= block_length(block)) i -= block_length(block++);
    return {block, i};
  }

  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

// Texts are views: into the caller's input (in `charset`), into `decoded` when decoding had to
// make a text, or into `store` (UTF-8 that hooks wrote). Whoever holds the statement keeps the
// input alive.
struct Statement {
  Encoding encoding = Encoding::Utf8;
  Charset charset = Charset::Utf8;
  Header header;
  BlockList<Account> accounts;  // in order of each number's first section
  BlockList<Document> documents;
  BlockList<Warning> warnings;
  TextBuffer decoded;
  TextStore store;
  std::vector<std::unique_ptr<WideTexts>> wide_texts;
};

}  // namespace vexdal
