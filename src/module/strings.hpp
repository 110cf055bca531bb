// Python str from the parser's texts, and the UTF-8 of a str for the parser.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "charsets.hpp"
#include "records.hpp"
#include "ref.hpp"
#include "text.hpp"

namespace vexdal_py {

// A new str from valid UTF-8 text, or an empty Ref with the error indicator set.
Ref to_str(std::string_view utf8);
// A new str from a text in either charset, or an empty Ref with the error indicator set.
Ref to_str(vexdal::Text text);
// A new str from ASCII text (dates, amounts, counts), or an empty Ref with the error set.
Ref ascii_str(std::string_view ascii);
// A new str of a date as date_text writes it, or an empty Ref with the error set.
Ref date_str(const vexdal::Date& date);

// The strs already made from one statement's texts, found again by their bytes. Statements
// repeat most of their values (the holder's own account, name and bank in every document, a few
// hundred counterparties), so a str made once serves every later read of the same text: a read
// then costs a hash and a compare instead of an allocation and a decode, and values kept by the
// caller share their memory. It is a cache, not a record: it holds at most `max_slots` strs of
// at most `max_bytes` bytes each, and a text that lands on a taken slot replaces what was there,
// so its memory stays bounded however large the statement. The texts' bytes must outlive it.
// Used with the GIL held, like everything that makes strs.
class StrCache {
 public:
  static constexpr std::size_t max_slots = std::size_t{1} << 15;
  static constexpr std::size_t max_bytes = 128;

  StrCache() noexcept = default;
  StrCache(StrCache&& other) noexcept;
  StrCache& operator=(StrCache&&) = delete;
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache();

  // Like to_str(text): a new reference, or an empty Ref with the error set. A text the cache
  // cannot take (too long, or no memory for the table) is made as to_str makes it. field tells
  // the values of one field from another's: a field whose values rarely repeat (a number, a
  // purpose) stops being looked up, as a probe of the table costs more than the str.
  Ref get(vexdal::Text text, std::size_t field);

  // The fields a caller tells apart: a document's, or the first places of a hook's section.
  static constexpr std::size_t field_count = 32;
  static_assert(vexdal::document_field_count <= field_count);

  // Like date_str(date), the same str for the same day.
  Ref date(const vexdal::Date& date);

 private:
  struct Slot {
    std::uint64_t hash;
    const char* bytes;
    std::size_t size;
    vexdal::Charset charset;
    PyObject* str;  // owned; nullptr for a free slot
  };
  bool grow() noexcept;

  // A field's first trial_lookups texts are looked up; it stays in the cache only when at
  // least half of them were found.
  static constexpr std::uint32_t trial_lookups = 256;
  struct Trial {
    std::uint32_t lookups = 0;
    std::uint32_t hits = 0;
  };
  std::array<Trial, field_count> trials_{};

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;  // slot count - 1, once there are slots
  std::size_t filled_ = 0;

  struct DateSlot {
    std::uint32_t key;  // the date's fields packed, 0 for a free slot
    PyObject* str;      // owned
  };
  static constexpr std::size_t date_slots = 1024;
  DateSlot* dates_ = nullptr;
};

// A new dict of str -> str of the header's lines in order, a repeated key keeping its first place
// and its last value; or an empty Ref with the error indicator set.
Ref to_dict(const vexdal::Header& header);

// The UTF-8 bytes of a str (subclasses accepted); they live as long as the object. On failure
// returns false with the error set: TypeError "'T' object cannot be converted to 'PyString'" for a
// non-str, the interpreter's UnicodeEncodeError for lone surrogates.
bool str_utf8(PyObject* object, std::string_view& out);

}  // namespace vexdal_py
