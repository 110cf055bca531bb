// Attributes of one document section to a Document record; knows nothing of lines or hooks.
#pragma once

#include <string>
#include <string_view>

#include "records.hpp"
#include "result.hpp"
#include "text.hpp"

namespace vexdal {

// The document, or the one message that explains why it cannot be built (a warning, not an
// error). The record's texts are views of the map's values and of doc_type.
Result<Document, std::string> build_document(const TextMap& attrs, std::string_view doc_type);

}  // namespace vexdal
