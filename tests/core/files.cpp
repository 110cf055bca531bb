// Every statement file of tests/data against what it must give: each file there needs a row here,
// so that a file added to the folder is checked too. Expectations were taken from the module's
// output on the same bytes.
#include <algorithm>
#include <filesystem>
#include <iterator>

#include "core_tests.hpp"

namespace vexdal_test {
namespace {

namespace fs = std::filesystem;

struct FileCase {
  std::string_view name;
  std::string_view expected;  // as summary() writes it
};

// examples/statement.txt, under whatever path it is given.
constexpr FileCase example = {
    "statement.txt",
    "cp1251, accounts 2, intervals 2, documents 12, warnings 1; account 40702810400000012345; "
    "document 214 2026-03-02 356000.00; warning 381: invalid value: string \"74 800,00\", expected "
    "a Decimal type representing a fixed-point number"};

// The files of tests/data by name (tests/data/SOURCES.md says where each comes from).
constexpr FileCase samples[] = {
    {"anon-cp1251-lf-12docs.txt",
     "cp1251, accounts 1, intervals 1, documents 6, warnings 6; account 12345678901234567890; "
     "document 25 2020-01-20 17000.00; warning 265: missing field `НазначениеПлатежа`"},
    {"anon-cp1251-lf-5docs.txt",
     "cp1251, accounts 1, intervals 1, documents 1, warnings 4; account 12345678901234567890; "
     "document 545 2019-10-29 2650.00; warning 55: missing field `НазначениеПлатежа`"},
    {"bad-mixed-enc-eol-1c_to_kl.txt",
     "UnrecognizedLine at line 10: Unrecognized line: 'СекцияДокумент'"},
    {"bad-not-a-statement.txt", "NotStatement at line 0: Input is not a 1C statement"},
    {"bad-truncated-utf8-lf.txt", "Unfinished at line 0: Statement is not finished"},
    {"bko-cp1251-crlf-01.txt",
     "cp1251, accounts 1, intervals 1, documents 13, warnings 0; account 40702810200000000001; "
     "document 697162 2016-01-11 83.23"},
    {"bko-cp1251-crlf-03.txt",
     "cp1251, accounts 1, intervals 1, documents 3, warnings 0; account 40702810000000074935; "
     "document 69147 2024-01-01 6936.00"},
    {"bko-cp1251-lf-02.txt",
     "cp1251, accounts 1, intervals 1, documents 2, warnings 0; account 40000000000000000000; "
     "document 1 2015-01-01 1000.00"},
    {"bko-utf8-crlf-01.txt",
     "utf-8, accounts 1, intervals 1, documents 13, warnings 0; account 40702810200000000001; "
     "document 697162 2016-01-11 83.23"},
    {"generic-cp1251-lf-v101.txt",
     "cp1251, accounts 1, intervals 1, documents 1, warnings 0; account 00000000000000000001; "
     "document 3 2023-03-31 108159.12"},
    {"made-bad-headerless-cp1251-lf.txt", "NotStatement at line 0: Input is not a 1C statement"},
    {"made-cp1251-crlf-v101.txt",
     "cp1251, accounts 1, intervals 1, documents 2, warnings 0; account 40702810100000003333; "
     "document 101 2013-01-11 23.00"},
    {"made-cp1251-crlf-wirdows.txt",
     "UnexpectedAttribute at line 19: Unexpected attribute 'Документ' = 'Платежное поручение'"},
    {"made-cp1251-lf-02.txt",
     "cp1251, accounts 1, intervals 1, documents 4, warnings 0; account 40702810700000006666; "
     "document 54223654 2023-02-19 26.00"},
    {"made-cp1251-lf-baddate.txt",
     "cp1251, accounts 1, intervals 1, documents 14, warnings 0; account 40702810600000005555; "
     "document 1084052 2023-02-20 18.00"},
    {"made-cp1251-lf-strayline.txt",
     "UnrecognizedLine at line 59: Unrecognized line: '\"Левая строка\"'"},
    {"made-utf8-lf-2accounts.txt",
     "utf-8, accounts 2, intervals 2, documents 2, warnings 0; account 40702810000000008881; "
     "document 1 2023-02-01 10.10"},
    {"made-utf8-lf-6docs.txt",
     "utf-8, accounts 0, intervals 0, documents 6, warnings 0; document 2335 2023-02-20 0.01"},
    {"made-utf8-lf-tax.txt",
     "utf-8, accounts 0, intervals 0, documents 1, warnings 0; document 288 2023-02-20 0.01"},
    {"made-utf8-lf-v101.txt",
     "utf-8, accounts 0, intervals 0, documents 1, warnings 0; document 119 2023-02-20 0.01"},
    {"minimal-cp1251-lf.txt",
     "UnexpectedSection at line 3: Unexpected section 'КонецФайла' in context 'header'"},
    {"synthetic-utf8-crlf-2accounts.txt",
     "utf-8, accounts 2, intervals 2, documents 6, warnings 0; account 40700000000000000000; "
     "document 1 2022-09-21 99.00"},
    {"testbank-utf8-lf-01.txt",
     "utf-8, accounts 1, intervals 1, documents 4, warnings 0; account 40702810801500116391; "
     "document 61298 2022-04-15 700"},
};

void check_file(Checker& checker, const fs::path& path, const FileCase* expected) {
  Checker::Case name(checker, path.string());
  if (!VEXDAL_CHECK(checker, expected != nullptr)) return;  // a file without an expectation
  const std::optional<std::string> bytes = read_file(path.string());
  if (!VEXDAL_CHECK(checker, bytes.has_value())) return;
  VEXDAL_CHECK_EQUAL(checker, summary(vexdal::parse_statement(*bytes, {})), expected->expected);
}

// A bank's export and its UTF-8 copy, made by other tools than ours: unlike a transcription made
// here, they would show a code-page table wrong in both directions alike.
void check_same_statement(Checker& checker, const fs::path& cp1251, const fs::path& utf8) {
  Checker::Case name(checker, cp1251.string() + " against " + utf8.string());
  const std::optional<std::string> cp1251_bytes = read_file(cp1251.string());
  const std::optional<std::string> utf8_bytes = read_file(utf8.string());
  if (!VEXDAL_CHECK(checker, cp1251_bytes && utf8_bytes)) return;
  const ParseResult cp1251_parsed = vexdal::parse_statement(*cp1251_bytes, {});
  const ParseResult utf8_parsed = vexdal::parse_statement(*utf8_bytes, {});
  if (!VEXDAL_CHECK(checker, cp1251_parsed && utf8_parsed)) return;
  VEXDAL_CHECK_EQUAL(checker, dump(cp1251_parsed.value()), dump(utf8_parsed.value()));
}

const FileCase* sample_case(std::string_view name) {
  const auto* found = std::find_if(std::begin(samples), std::end(samples),
                                   [&](const FileCase& row) { return row.name == name; });
  return found == std::end(samples) ? nullptr : found;
}

// The *.txt files of a folder in name order; none when it cannot be listed.
std::vector<fs::path> statement_files(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".txt") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

void check_statement_files(Checker& checker, const std::string& data_dir,
                           const std::string& example_path) {
  check_file(checker, example_path, &example);
  const std::vector<fs::path> shipped = statement_files(data_dir);
  {
    Checker::Case name(checker, data_dir);
    VEXDAL_CHECK(checker, shipped.size() == std::size(samples));
  }
  for (const fs::path& path : shipped) {
    check_file(checker, path, sample_case(path.filename().string()));
  }
  check_same_statement(checker, fs::path(data_dir) / "bko-cp1251-crlf-01.txt",
                       fs::path(data_dir) / "bko-utf8-crlf-01.txt");
}

}  // namespace vexdal_test
