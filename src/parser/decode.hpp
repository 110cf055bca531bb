// Raw input to text: valid UTF-8 is taken as it is, anything else is read the way browsers do with
// windows-1251 as the fallback; then the first line must name the format.
#pragma once

#include <string_view>

#include "charsets.hpp"
#include "failure.hpp"
#include "records.hpp"
#include "result.hpp"
#include "text.hpp"

namespace vexdal {

// The statement's text. Usually the input itself, in its own bytes: UTF-8, or windows-1251 that
// is never transcoded. Only a byte-order mark that picks UTF-8 with broken sequences, or UTF-16,
// makes a decoded UTF-8 copy, which `decoded` then owns.
struct DecodedText {
  std::string_view text;
  TextBuffer decoded;
  Charset charset;
  Encoding encoding;
};

// Fails only with NotStatement. The text may point into input, which must outlive it.
Result<DecodedText, StatementError> decode_statement(std::string_view input);

}  // namespace vexdal
