// Attributes of one document section to a Document record; knows nothing of lines or hooks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "charsets.hpp"
#include "failure.hpp"
#include "keys.hpp"
#include "records.hpp"
#include "result.hpp"

namespace vexdal {

using DocumentValues = SectionValues<document_field_count>;

inline constexpr std::array<std::string_view, document_field_count> document_keys = [] {
  std::array<std::string_view, document_field_count> keys{};
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = document_fields[i].key;
  return keys;
}();

// Indexed by Charset.
inline constexpr std::array<KeyIndex<document_field_count>, 2> document_key_index = {
    KeyIndex<document_field_count>(document_keys, Charset::Utf8),
    KeyIndex<document_field_count>(document_keys, Charset::Windows1251)};

// The field a key fills (its DocumentField value), or document_field_count for keys outside the
// table, which are ignored.
inline std::size_t document_field_of(std::string_view key, Charset charset) noexcept {
  return document_key_index[static_cast<std::size_t>(charset)].find(key);
}

// Builds a document into record: reads its dates and amount and checks its required fields. On
// failure the record is unusable and the failure says why the document cannot be built (a
// warning, not an error). The record's texts point where the values and doc_type do; a record
// whose texts lie too far apart for spans gets views kept in wide_texts.
Result<std::monostate, SectionFailure> build_document(
    const DocumentValues& values, Text doc_type, Document& record,
    std::vector<std::unique_ptr<WideTexts>>& wide_texts);

}  // namespace vexdal
