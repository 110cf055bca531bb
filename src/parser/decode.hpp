// Raw input to text: valid UTF-8 is taken as it is, anything else is decoded the way browsers do
// with windows-1251 as the fallback; then the first line must name the format.
#pragma once

#include "failure.hpp"
#include "records.hpp"
#include "result.hpp"
#include "text.hpp"

namespace vexdal {

struct DecodedText {
  TextBuffer text;  // valid UTF-8
  Encoding encoding;
};

// Fails only with NotStatement.
Result<DecodedText, StatementError> decode_statement(TextBuffer input);

}  // namespace vexdal
