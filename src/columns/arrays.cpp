// Arrow arrays from a table's cells: the buffers, the values' Arrow forms, the schema, and the
// batches. Every buffer belongs to its own array, so a consumer may keep one column and drop
// the rest.
#include "tables.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace vexdal_columns {
namespace {

using vexdal::Charset;
using vexdal::Decimal;

// ---- Buffers ------------------------------------------------------------------------------------

void* allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

// What one column's array owns: up to three buffers.
struct ColumnData {
  std::array<void*, 3> owned{};
  std::array<const void*, 3> buffers{};
  ~ColumnData() {
    for (void* block : owned) std::free(block);
  }
  void* take(std::size_t slot, std::size_t size) {
    owned[slot] = allocate(size);
    buffers[slot] = owned[slot];
    return owned[slot];
  }
};

void release_column(ArrowArray* array) {
  delete static_cast<ColumnData*>(array->private_data);
  array->release = nullptr;
}

// The parent of a batch owns only the children's structures: a child moved out by the consumer
// has its release cleared, and keeps its buffers.
struct BatchData {
  std::vector<ArrowArray> children;  // value-initialised: unreleased ones have a release
  std::vector<ArrowArray*> pointers;
  const void* validity = nullptr;
  ~BatchData() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_batch(ArrowArray* array) {
  delete static_cast<BatchData*>(array->private_data);
  array->release = nullptr;
}

void start_column(ArrowArray& out, ColumnData* data, std::size_t rows, std::int64_t buffers) {
  out.length = static_cast<std::int64_t>(rows);
  out.null_count = 0;
  out.offset = 0;
  out.n_buffers = buffers;
  out.n_children = 0;
  out.buffers = data->buffers.data();
  out.children = nullptr;
  out.dictionary = nullptr;
  out.release = release_column;
  out.private_data = data;
}

// ---- Values -------------------------------------------------------------------------------------

// The UTF-8 form of each windows-1251 byte, padded to four bytes so that one copy of a fixed
// size writes any of them; the last byte is its length.
constexpr std::array<std::array<char, 4>, 256> windows_1251_utf8 = [] {
  std::array<std::array<char, 4>, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const char32_t cp = vexdal::windows_1251_char(static_cast<std::uint8_t>(byte));
    auto& entry = table[byte];
    if (cp < 0x80) {
      entry = {static_cast<char>(cp), 0, 0, 1};
    } else if (cp < 0x800) {
      entry = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F)), 0, 2};
    } else {
      entry = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
               static_cast<char>(0x80 | (cp & 0x3F)), 3};
    }
  }
  return table;
}();

constexpr std::uint64_t high_bits = 0x8080808080808080u;

std::uint64_t load_word(const char* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Writes the text as UTF-8 at out, which has three bytes of room beyond the text's UTF-8 size;
// returns where it ends.
char* write_utf8(const vexdal::Text& text, char* out) noexcept {
  const char* at = text.bytes.data();
  const char* const end = at + text.bytes.size();
  if (text.charset == Charset::Utf8) {
    if (at != end) std::memcpy(out, at, text.bytes.size());
    return out + text.bytes.size();
  }
  const auto put = [&out](char byte) noexcept {
    const auto& utf8 = windows_1251_utf8[static_cast<std::uint8_t>(byte)];
    std::memcpy(out, utf8.data(), 4);
    out += utf8[3];
  };
  // Eight bytes at a time: a run of ASCII, which reads the same in both charsets, as it is,
  // and any other eight each through the table without asking again, since Cyrillic text
  // has few runs of ASCII to find.
  for (; end - at >= 8; at += 8) {
    if ((load_word(at) & high_bits) == 0) {
      std::memcpy(out, at, 8);
      out += 8;
      continue;
    }
    for (std::size_t i = 0; i < 8; ++i) put(at[i]);
  }
  while (at != end) put(*at++);
  return out;
}

// Days since 1970-01-01 in the proleptic Gregorian calendar, for any year the parser reads.
std::int32_t days_since_epoch(const vexdal::Date& date) noexcept {
  const std::int64_t year = std::int64_t{date.year} - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t month = date.month;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return static_cast<std::int32_t>(era * 146097 + day_of_era - 719468);
}

// 128 bits as four limbs, least significant first.
using Limbs = std::array<std::uint32_t, 4>;

// 10^38, which no decimal128 of precision 38 reaches.
constexpr Limbs decimal128_limit = {0x00000000u, 0x098A2240u, 0x5A86C47Au, 0x4B3B4CA8u};

// The amount's digits at the scale given, or false when they reach 10^38.
bool scaled_digits(const Decimal& amount, std::uint8_t scale, Limbs& out) noexcept {
  out = {amount.magnitude[0], amount.magnitude[1], amount.magnitude[2], 0};
  for (std::uint8_t s = amount.scale; s < scale; ++s) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : out) {
      const std::uint64_t product = std::uint64_t{limb} * 10 + carry;
      limb = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) return false;
  }
  for (std::size_t i = out.size(); i-- > 0;) {
    if (out[i] != decimal128_limit[i]) return out[i] < decimal128_limit[i];
  }
  return false;
}

// A decimal128 value: 16 bytes of two's complement in the machine's byte order.
void write_decimal(const Decimal& amount, std::uint8_t scale, unsigned char* out) noexcept {
  Limbs limbs;
  scaled_digits(amount, scale, limbs);  // the table checked that it fits
  if (amount.negative) {
    std::uint64_t carry = 1;
    for (std::uint32_t& limb : limbs) {
      const std::uint64_t sum = std::uint64_t{static_cast<std::uint32_t>(~limb)} + carry;
      limb = static_cast<std::uint32_t>(sum);
      carry = sum >> 32;
    }
  }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  std::reverse(limbs.begin(), limbs.end());
#endif
  std::memcpy(out, limbs.data(), 16);
}

// ---- Schema -------------------------------------------------------------------------------------

// What one schema owns; a child owns its own, so that a child moved out outlives its parent.
struct SchemaData {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema* child : data->pointers) {
    if (child->release != nullptr) child->release(child);
  }
  delete data;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema& out, SchemaData* data, std::int64_t flags) {
  out.format = data->format.c_str();
  out.name = data->name.c_str();
  out.metadata = nullptr;
  out.flags = flags;
  out.n_children = static_cast<std::int64_t>(data->pointers.size());
  out.children = data->pointers.empty() ? nullptr : data->pointers.data();
  out.dictionary = nullptr;
  out.release = release_schema;
  out.private_data = data;
}

std::string format_of(const Column& column) {
  switch (column.type) {
    case ColumnType::Text:
    case ColumnType::AmountText:
      return "u";
    case ColumnType::Date:
      return "tdD";
    case ColumnType::Amount:
      return "d:38," + std::to_string(column.scale);
  }
  return "n";
}

constexpr std::size_t max_text_bytes = INT32_MAX;

}  // namespace

// ---- Table --------------------------------------------------------------------------------------

void Table::export_schema(ArrowSchema& out) const {
  auto data = std::make_unique<SchemaData>();
  data->format = "+s";
  data->children.resize(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    auto child = std::make_unique<SchemaData>();
    child->format = format_of(columns_[i]);
    child->name = columns_[i].name;
    fill_schema(data->children[i], child.release(), columns_[i].nullable ? ARROW_FLAG_NULLABLE : 0);
    data->pointers.push_back(&data->children[i]);
  }
  fill_schema(out, data.release(), 0);
}

namespace {

// One column of a batch while it is filled, a row at a time. Rows go across all columns in
// turn, so that the input is read once, front to back: a column at a time would visit every
// document once per column, and the documents of a large statement are far apart in memory.
class ColumnBuilder {
 public:
  ColumnBuilder(const Column& column, std::size_t rows, std::size_t text_bytes)
      : type_(column.type), scale_(column.scale), rows_(rows),
        data_(std::make_unique<ColumnData>()) {
    switch (type_) {
      case ColumnType::Text:
        offsets_ = static_cast<std::int32_t*>(data_->take(1, (rows + 1) * sizeof(std::int32_t)));
        offsets_[0] = 0;
        // text_bytes is the most the texts can take, and the last character is copied in four
        // bytes.
        chars_ = at_ = static_cast<char*>(data_->take(2, text_bytes + 4));
        break;
      case ColumnType::AmountText:
        offsets_ = static_cast<std::int32_t*>(data_->take(1, (rows + 1) * sizeof(std::int32_t)));
        offsets_[0] = 0;
        break;
      case ColumnType::Date:
        days_ = static_cast<std::int32_t*>(data_->take(1, rows * sizeof(std::int32_t)));
        break;
      case ColumnType::Amount:
        decimals_ = static_cast<unsigned char*>(data_->take(1, rows * 16));
        break;
    }
  }

  void add(const Table& table, std::size_t column, std::size_t row, std::size_t i) {
    bool present = false;
    switch (type_) {
      case ColumnType::Text: {
        vexdal::Text text;
        present = table.text(column, row, text);
        if (present) at_ = write_utf8(text, at_);
        offsets_[i + 1] = static_cast<std::int32_t>(at_ - chars_);
        break;
      }
      case ColumnType::AmountText: {
        Decimal amount;
        present = table.amount(column, row, amount);
        if (present) amount_texts_ += vexdal::amount_text(amount);
        offsets_[i + 1] = static_cast<std::int32_t>(amount_texts_.size());
        break;
      }
      case ColumnType::Date: {
        vexdal::Date date;
        present = table.date(column, row, date);
        days_[i] = present ? days_since_epoch(date) : 0;
        break;
      }
      case ColumnType::Amount: {
        Decimal amount;
        present = table.amount(column, row, amount);
        if (present) {
          write_decimal(amount, scale_, decimals_ + 16 * i);
        } else {
          std::memset(decimals_ + 16 * i, 0, 16);
        }
        break;
      }
    }
    if (!present) {
      // The bitmap is made at the first null: a column without one needs none.
      if (bits_ == nullptr) {
        bits_ = static_cast<std::uint8_t*>(data_->take(0, (rows_ + 7) / 8));
        std::memset(bits_, 0xFF, (rows_ + 7) / 8);
      }
      bits_[i / 8] = static_cast<std::uint8_t>(bits_[i / 8] & ~(1u << (i % 8)));
      ++nulls_;
    }
  }

  // Hands the column over as an array; the builder is empty afterwards.
  void finish(std::size_t rows, ArrowArray& out) {
    if (type_ == ColumnType::Text) {
      // The characters had room for their largest size; what they did not use goes back.
      const auto used = static_cast<std::size_t>(at_ - chars_);
      if (void* fitted = std::realloc(data_->owned[2], used + 4)) {
        data_->owned[2] = fitted;
        data_->buffers[2] = fitted;
      }
    }
    if (type_ == ColumnType::AmountText) {
      char* chars = static_cast<char*>(data_->take(2, amount_texts_.size()));
      if (!amount_texts_.empty()) std::memcpy(chars, amount_texts_.data(), amount_texts_.size());
    }
    const bool varying = type_ == ColumnType::Text || type_ == ColumnType::AmountText;
    start_column(out, data_.release(), rows, varying ? 3 : 2);
    out.null_count = nulls_;
  }

 private:
  ColumnType type_;
  std::uint8_t scale_;
  std::size_t rows_;
  std::unique_ptr<ColumnData> data_;
  std::uint8_t* bits_ = nullptr;
  std::int32_t* offsets_ = nullptr;
  char* chars_ = nullptr;
  char* at_ = nullptr;
  std::int32_t* days_ = nullptr;
  unsigned char* decimals_ = nullptr;
  std::string amount_texts_;  // amount texts are short: a batch of them stays far below 2 GiB
  std::int64_t nulls_ = 0;
};

}  // namespace

// A text's UTF-8 size at most, from its record alone: a windows-1251 byte takes up to three
// bytes. The texts themselves are read once, when they are written.
namespace {
std::size_t utf8_bound(const vexdal::Text& text) noexcept {
  return text.charset == Charset::Utf8 ? text.bytes.size() : 3 * text.bytes.size();
}
}  // namespace

std::size_t Table::measure_batch(std::size_t begin, std::size_t max_rows,
                                 std::vector<std::size_t>& text_bytes) const {
  const std::size_t last = begin + std::min(max_rows, rows_ - begin);
  text_bytes.assign(columns_.size(), 0);
  for (std::size_t row = begin; row < last; ++row) {
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (columns_[c].type != ColumnType::Text) continue;
      vexdal::Text text;
      const std::size_t size = this->text(c, row, text) ? utf8_bound(text) : 0;
      if (text_bytes[c] + size > max_text_bytes) {
        // The row goes to the next batch: take back what it added to the columns before.
        for (std::size_t before = 0; before < c; ++before) {
          if (columns_[before].type == ColumnType::Text && this->text(before, row, text)) {
            text_bytes[before] -= utf8_bound(text);
          }
        }
        return row;
      }
      text_bytes[c] += size;
    }
  }
  return last;
}

std::size_t Table::export_batch(std::size_t begin, std::size_t max_rows, ArrowArray& out) const {
  std::vector<std::size_t> text_bytes;
  const std::size_t end = measure_batch(begin, max_rows, text_bytes);
  if (end == begin && begin < rows_) return begin;
  const std::size_t rows = end - begin;
  std::vector<ColumnBuilder> builders;
  builders.reserve(columns_.size());
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    builders.emplace_back(columns_[c], rows, text_bytes[c]);
  }
  for (std::size_t i = 0; i < rows; ++i) {
    // Four rows ahead: the memory of one comes in while the row before it is written.
    prefetch(begin + i + 4);
    for (std::size_t c = 0; c < columns_.size(); ++c) builders[c].add(*this, c, begin + i, i);
  }

  auto data = std::make_unique<BatchData>();
  data->children.resize(columns_.size());
  data->pointers.resize(columns_.size());
  // A finished column belongs to data at once, so a failure of the next one frees it too.
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    builders[c].finish(rows, data->children[c]);
    data->pointers[c] = &data->children[c];
  }
  out.length = static_cast<std::int64_t>(rows);
  out.null_count = 0;
  out.offset = 0;
  out.n_buffers = 1;
  out.n_children = static_cast<std::int64_t>(columns_.size());
  out.buffers = &data->validity;
  out.children = data->pointers.empty() ? nullptr : data->pointers.data();
  out.dictionary = nullptr;
  out.release = release_batch;
  out.private_data = data.release();
  return end;
}

std::optional<Unrepresentable> Table::settle_scales() {
  std::optional<Unrepresentable> first;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (columns_[c].type != ColumnType::Amount) continue;
    std::uint8_t scale = 0;
    Decimal value;
    for (std::size_t row = 0; row < rows_; ++row) {
      if (amount(c, row, value)) scale = std::max(scale, value.scale);
    }
    columns_[c].scale = scale;
    Limbs digits;
    for (std::size_t row = 0; row < rows_ && !first; ++row) {
      if (amount(c, row, value) && !scaled_digits(value, scale, digits)) first = {c, row};
    }
  }
  return first;
}

std::string unrepresentable_text(const Table& table, const Unrepresentable& where,
                                 std::string_view place) {
  Decimal value;
  table.amount(where.column, where.row, value);
  const Column& column = table.columns()[where.column];
  return "amount " + vexdal::amount_text(value) + std::string(place) +
         " cannot be held exactly in column " + column.name + ", decimal128(38, " +
         std::to_string(column.scale) + ") by the largest scale written in it";
}

}  // namespace vexdal_columns
