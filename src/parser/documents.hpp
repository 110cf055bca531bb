// Attributes of one document section to a Document record; knows nothing of lines or hooks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "charsets.hpp"
#include "keys.hpp"
#include "records.hpp"
#include "result.hpp"

namespace vexdal {

// The values a section gave the keys of a fixed table, all in one charset.
template <std::size_t N>
struct SectionValues {
  std::array<std::string_view, N> text{};
  std::uint32_t seen = 0;  // one bit per key, in table order
  Charset charset = Charset::Utf8;

  void clear(Charset values_charset) noexcept {
    seen = 0;
    charset = values_charset;
  }
  // A key given again replaces its earlier value.
  void set(std::size_t index, std::string_view value) noexcept {
    text[index] = value;
    seen |= std::uint32_t{1} << index;
  }
  bool has(std::size_t index) const noexcept { return (seen >> index & 1u) != 0; }
  Text operator[](std::size_t index) const noexcept { return {text[index], charset}; }
};

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

// The document, or the one message that explains why it cannot be built (a warning, not an
// error). The record's texts are views of the values and of doc_type.
Result<Document, std::string> build_document(const DocumentValues& values, Text doc_type);

}  // namespace vexdal
