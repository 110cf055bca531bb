// Parsed statements as Arrow tables: the documents, or the intervals of the accounts, one column
// per field, built straight from the parser's records a stretch of rows at a time. Knows nothing
// of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow.hpp"
#include "mod.hpp"

namespace vexdal_columns {

// AmountText: an amount as parse() writes it, with the scale it was written with.
enum class ColumnType : std::uint8_t { Text, Date, Amount, AmountText };

struct Column {
  std::string name;  // UTF-8
  ColumnType type;
  bool nullable;
  std::uint8_t scale = 0;  // Amount: the largest scale written in the column
};

// A value that an Arrow column cannot hold exactly: decimal128 keeps 38 digits, and a column
// has one scale, so a large amount beside one with many decimals overflows.
struct Unrepresentable {
  std::size_t column;
  std::size_t row;
};

class Table {
 public:
  virtual ~Table() = default;
  std::size_t rows() const noexcept { return rows_; }
  const std::vector<Column>& columns() const noexcept { return columns_; }

  void export_schema(ArrowSchema& out) const;
  // The rows from begin as a struct array, its columns as children: at most max_rows of them,
  // and no more than keep every text column within the 2 GiB that the offsets of an Arrow utf8
  // array reach. Returns where the batch ends: begin, with out untouched, only when a single
  // text is longer than that.
  std::size_t export_batch(std::size_t begin, std::size_t max_rows, ArrowArray& out) const;

  // Asks the memory of a row's cells to come into the cache ahead of their reading: the rows
  // of a large statement lie in memory that no cache holds, and a row's texts are scattered
  // over its section.
  virtual void prefetch(std::size_t) const noexcept {}

  // Cells, false where the value is absent.
  virtual bool text(std::size_t column, std::size_t row, vexdal::Text& out) const = 0;
  virtual bool date(std::size_t column, std::size_t row, vexdal::Date& out) const = 0;
  virtual bool amount(std::size_t column, std::size_t row, vexdal::Decimal& out) const = 0;

 protected:
  // Gives each amount column the largest scale of its values; the first value that the column
  // cannot then hold, if any.
  std::optional<Unrepresentable> settle_scales();

  std::vector<Column> columns_;
  std::size_t rows_ = 0;

 private:
  // Where a batch from begin ends, and the most UTF-8 bytes each text column may take up to
  // there.
  std::size_t measure_batch(std::size_t begin, std::size_t max_rows,
                            std::vector<std::size_t>& text_bytes) const;
};

// The statement's documents: the columns a caller names, each either a Document attribute
// ("doc_number") or any other key of a document section, as written in the file ("ОКАТО"),
// which comes as text.
class DocumentsTable final : public Table {
 public:
  // Parses input, which must outlive the table; the parse's failure, or the table. With
  // amount_text, amounts come as parse() writes them rather than as decimals.
  static vexdal::Result<std::unique_ptr<DocumentsTable>, vexdal::StatementError> make(
      std::string_view input, const std::vector<std::string>& names, bool amount_text);

  const vexdal::Statement& statement() const noexcept { return statement_; }
  // The first amount the table cannot hold, found when it was made, with the line it stands on.
  const std::optional<std::pair<Unrepresentable, std::size_t>>& unrepresentable() const noexcept {
    return unrepresentable_;
  }

  void prefetch(std::size_t row) const noexcept override;
  bool text(std::size_t column, std::size_t row, vexdal::Text& out) const override;
  bool date(std::size_t column, std::size_t row, vexdal::Date& out) const override;
  bool amount(std::size_t column, std::size_t row, vexdal::Decimal& out) const override;

 private:
  class KeyCollector;
  // A column's source: a field of the record, or one of the other keys.
  struct Source {
    bool field;
    std::size_t index;  // DocumentField value, or place among the other keys
  };

  DocumentsTable() = default;

  vexdal::Statement statement_;
  std::vector<Source> sources_;
  bool text_fields_ = false;  // whether a column reads the texts of the records
  std::size_t key_count_ = 0;
  // The other keys' values, key_count_ per document; a null data() for an absent key.
  std::vector<std::string_view> key_values_;
  std::optional<std::pair<Unrepresentable, std::size_t>> unrepresentable_;
};

// One row per interval of every account, in the order of the accounts and of their intervals:
// the account's number, then the interval's six fields.
class IntervalsTable final : public Table {
 public:
  static vexdal::Result<std::unique_ptr<IntervalsTable>, vexdal::StatementError> make(
      std::string_view input);

  const vexdal::Statement& statement() const noexcept { return statement_; }
  const std::optional<Unrepresentable>& unrepresentable() const noexcept {
    return unrepresentable_;
  }
  const vexdal::Account& account_of(std::size_t row) const noexcept {
    return statement_.accounts[rows_of_[row].first];
  }

  bool text(std::size_t column, std::size_t row, vexdal::Text& out) const override;
  bool date(std::size_t column, std::size_t row, vexdal::Date& out) const override;
  bool amount(std::size_t column, std::size_t row, vexdal::Decimal& out) const override;

 private:
  IntervalsTable() = default;
  const vexdal::Interval& interval_of(std::size_t row) const noexcept {
    return account_of(row).intervals[rows_of_[row].second];
  }

  vexdal::Statement statement_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> rows_of_;  // account, interval
  std::optional<Unrepresentable> unrepresentable_;
};

// The message for a value the table cannot hold.
std::string unrepresentable_text(const Table& table, const Unrepresentable& where,
                                 std::string_view place);

}  // namespace vexdal_columns
