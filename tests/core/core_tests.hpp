// What the suites of the core's test executable share: parse outcomes written as UTF-8 text, so
// that a table row can hold what is expected and a failure shows both sides. The suites that main
// runs are declared at the end.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "mod.hpp"

namespace vexdal_test {

using ParseResult = vexdal::Result<vexdal::Statement, vexdal::StatementError>;

// The UTF-8 text in windows-1251 bytes; every character must have one.
std::string windows_1251(std::string_view utf8);

// A whole file's bytes, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

// One line: the encoding, the counts of accounts, intervals, documents and warnings, then the
// first account's number, the first document's number, date and amount, and the first warning,
// each when there is one. A failure gives its kind, line and message instead.
std::string summary(const ParseResult& parsed);

// Everything the records hold, texts as UTF-8; the encoding is left out, so that a statement and
// its transcription into the other charset dump alike.
std::string dump(const vexdal::Statement& statement);

void check_value_readers(Checker& checker);
void check_sections(Checker& checker);
// Fails each allocation of a parse in turn; needs this executable's own operator new.
void check_allocation_failures(Checker& checker);
// Each path the processor could take, against a plain reading; the one this build runs is noted.
void check_kernels(Checker& checker);
// data_dir (tests/data) and the example must be present.
void check_statement_files(Checker& checker, const std::string& data_dir,
                           const std::string& example);

}  // namespace vexdal_test
