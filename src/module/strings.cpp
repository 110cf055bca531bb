// Python str from the parser's texts and back: made at once in the narrowest width, from
// windows-1251 or UTF-8 bytes. Knows nothing of statements.
#include "strings.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "lines.hpp"
#include "utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexdal_py {
namespace {

Ref no_memory() {
  PyErr_NoMemory();
  return {};
}

}  // namespace

// A str is kept in the narrowest of three widths that holds its largest character, and CPython
// compares strings of different widths as unequal, so the width must be found before the string
// is made. The texts are known to be valid UTF-8 or windows-1251, so the characters are written
// straight into the new string, with no intermediate buffer. PyPy too takes strings made this
// way, and only these: its decoding constructors leave the wide copy of every non-ASCII string
// behind when the string dies (PyPy 7.3.11).

Ref ascii_str(std::string_view ascii) {
  if (ascii.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return no_memory();
  Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 0x7F));
  if (str && !ascii.empty()) std::memcpy(PyUnicode_DATA(str.get()), ascii.data(), ascii.size());
  return str;
}

namespace {

// The number of continuation bytes (10xxxxxx) of UTF-8 text and its largest byte, in one pass:
// sixteen bytes a step where there are vector instructions.
void scan_utf8(std::string_view utf8, std::size_t& continuations, unsigned& largest) noexcept {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t size = utf8.size();
  std::size_t i = 0;
  std::size_t count = 0;
  unsigned top = 0;
#if defined(__SSE2__)
  if (size >= 16) {
    // As signed bytes the continuation bytes are exactly those below -64 (0xC0).
    const __m128i below = _mm_set1_epi8(static_cast<char>(0xC0));
    const __m128i zero = _mm_setzero_si128();
    __m128i high = zero;
    __m128i counts = zero;  // two 64-bit sums
    for (; size - i >= 16; i += 16) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
      // 0 - (-1) is 1 per continuation byte; the sum of absolute differences adds them up
      // without a popcount, which the baseline instruction set lacks.
      const __m128i ones = _mm_sub_epi8(zero, _mm_cmplt_epi8(chunk, below));
      counts = _mm_add_epi64(counts, _mm_sad_epu8(ones, zero));
      high = _mm_max_epu8(high, chunk);
    }
    alignas(16) std::uint64_t sums[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), counts);
    count = static_cast<std::size_t>(sums[0] + sums[1]);
    high = _mm_max_epu8(high, _mm_srli_si128(high, 8));
    high = _mm_max_epu8(high, _mm_srli_si128(high, 4));
    high = _mm_max_epu8(high, _mm_srli_si128(high, 2));
    high = _mm_max_epu8(high, _mm_srli_si128(high, 1));
    top = static_cast<unsigned>(_mm_cvtsi128_si32(high)) & 0xFFu;
  }
#endif
  for (; i < size; ++i) {
    const std::uint32_t byte = bytes[i];
    count += (byte & 0xC0u) == 0x80u ? 1 : 0;
    top = byte > top ? byte : top;
  }
  continuations = count;
  largest = top;
}

}  // namespace

Ref to_str(std::string_view utf8) {
  if (utf8.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return no_memory();
  // One pass for the character count and the largest lead byte, which tells the width: C2 and
  // C3 lead the characters up to U+00FF, everything above C3 needs two bytes a character, and
  // F0 and above four.
  // Most texts are ASCII (numbers, codes, dates): a quick check, and then one copy.
  if (vexdal::is_ascii(utf8)) return ascii_str(utf8);
  std::size_t continuations = 0;
  unsigned largest = 0;
  scan_utf8(utf8, continuations, largest);
  const auto interpreter_decoded = [utf8] {
    return Ref::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
  };
  // Text that is not valid UTF-8, which no caller should hand over, is left to the interpreter,
  // so that it says what is wrong with it.
  if (largest < 0xC2) return interpreter_decoded();
  const std::size_t length = utf8.size() - continuations;
  const Py_UCS4 widest = largest >= 0xF0 ? 0x10FFFF : largest >= 0xC4 ? 0xFFFF : 0xFF;
  Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), widest));
  if (!str) return str;
  bool decoded = false;
  const bool short_only = largest < 0xE0;
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND:
      decoded = vexdal::decode_utf8_pairs(utf8, PyUnicode_1BYTE_DATA(str.get()), length);
      break;
    case PyUnicode_2BYTE_KIND:
      decoded = vexdal::decode_utf8_ucs2(utf8, PyUnicode_2BYTE_DATA(str.get()), length, short_only);
      break;
    default:
      decoded = vexdal::decode_utf8_units(utf8, PyUnicode_4BYTE_DATA(str.get()), length);
      break;
  }
  return decoded ? std::move(str) : interpreter_decoded();
}

namespace {

// Per byte of windows-1251: 0 for ASCII, 1 for the characters up to U+00FF, 2 for the others.
constexpr std::array<std::uint8_t, 256> windows_1251_width = [] {
  std::array<std::uint8_t, 256> widths{};
  for (std::size_t byte = 0; byte < widths.size(); ++byte) {
    const char16_t ch = vexdal::windows_1251_char(static_cast<std::uint8_t>(byte));
    widths[byte] = ch < 0x80 ? 0 : ch < 0x100 ? 1 : 2;
  }
  return widths;
}();

template <typename Unit>
void decode_windows_1251(std::string_view bytes, Unit* out) noexcept {
  for (const char byte : bytes) {
    *out++ = static_cast<Unit>(vexdal::windows_1251_char(static_cast<std::uint8_t>(byte)));
  }
}

// decode_windows_1251 into two-byte units, sixteen bytes a step where there are vector
// instructions: ASCII and the 64 letters at C0 to FF, which stand in one run from U+0410, are
// worked out rather than looked up; a step with any other byte goes through the table.
void decode_windows_1251_wide(std::string_view bytes, Py_UCS2* out) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  static_assert(u'\u0410' - 0xC0 == 0x350 && u'\u044F' - 0xFF == 0x350);
  const __m128i zero = _mm_setzero_si128();
  const __m128i from_c0 = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i letter_offset = _mm_set1_epi16(0x350);
  for (; bytes.size() - i >= 16; i += 16, out += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    // As signed bytes, 80 to BF are exactly those below C0.
    if (_mm_movemask_epi8(_mm_cmplt_epi8(chunk, from_c0)) != 0) {
      decode_windows_1251(bytes.substr(i, 16), out);
      continue;
    }
    const __m128i letters = _mm_cmplt_epi8(chunk, zero);  // C0 to FF, the only bytes left above 7F
    const __m128i low_offset = _mm_and_si128(_mm_unpacklo_epi8(letters, letters), letter_offset);
    const __m128i high_offset = _mm_and_si128(_mm_unpackhi_epi8(letters, letters), letter_offset);
    const __m128i low = _mm_add_epi16(_mm_unpacklo_epi8(chunk, zero), low_offset);
    const __m128i high = _mm_add_epi16(_mm_unpackhi_epi8(chunk, zero), high_offset);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), high);
  }
#endif
  decode_windows_1251(bytes.substr(i), out);
}

}  // namespace

Ref to_str(vexdal::Text text) {
  if (text.charset == vexdal::Charset::Utf8) return to_str(text.bytes);
  const std::string_view bytes = text.bytes;
  if (bytes.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return no_memory();
  if (vexdal::is_ascii(bytes)) return ascii_str(bytes);
  // Every byte is one character; the widest one sets the string's width. Cyrillic letters are
  // the widest, so in Russian text the first letter settles it.
  std::uint8_t width = 0;
  for (const char byte : bytes) {
    const std::uint8_t w = windows_1251_width[static_cast<std::uint8_t>(byte)];
    width = w > width ? w : width;
    if (width == 2) break;
  }
  if (width == 0) return ascii_str(bytes);
  Ref str =
      Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), width == 2 ? 0xFFFF : 0xFF));
  if (!str) return str;
  if (width == 2) {
    decode_windows_1251_wide(bytes, PyUnicode_2BYTE_DATA(str.get()));
  } else {
    decode_windows_1251(bytes, PyUnicode_1BYTE_DATA(str.get()));
  }
  return str;
}

namespace {

std::uint64_t mixed(std::uint64_t hash, std::uint64_t word) noexcept {
  hash ^= word;
  hash *= 0xFF51AFD7ED558CCDull;
  return hash ^ (hash >> 32);
}

// A quick hash of a short text: eight bytes a step, the tail read as two overlapping words.
// Plain 64-bit arithmetic, so 32-bit builds hash the same way.
std::uint64_t text_hash(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t hash = mixed(0x9E3779B97F4A7C15ull, n);
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    hash = mixed(hash, word);
  }
  if (n >= 4) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    hash = mixed(hash, (std::uint64_t{head} << 32) | tail);
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<std::uint8_t>(p[i])}; };
    hash = mixed(hash, byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16);
  }
  hash *= 0xC4CEB9FE1A85EC53ull;
  return hash ^ (hash >> 29);
}

}  // namespace

StrCache::StrCache(StrCache&& other) noexcept
    : trials_(other.trials_),
      slots_(std::exchange(other.slots_, nullptr)),
      mask_(std::exchange(other.mask_, 0)),
      filled_(std::exchange(other.filled_, 0)),
      dates_(std::exchange(other.dates_, nullptr)) {}

StrCache::~StrCache() {
  if (dates_ != nullptr) {
    for (std::size_t i = 0; i < date_slots; ++i) Py_XDECREF(dates_[i].str);
    PyMem_Free(dates_);
  }
  if (slots_ == nullptr) return;
  for (std::size_t i = 0; i <= mask_; ++i) Py_XDECREF(slots_[i].str);
  PyMem_Free(slots_);
}

// A small table first, since most statements are small, and four times larger each time it is
// half full, up to max_slots. Entries that meet on one slot of the new table keep one of them.
bool StrCache::grow() noexcept {
  const std::size_t count = slots_ == nullptr ? 512 : (mask_ + 1) * 4;
  auto* slots = static_cast<Slot*>(PyMem_Calloc(count, sizeof(Slot)));
  if (slots == nullptr) return false;
  std::size_t filled = 0;
  for (std::size_t i = 0; slots_ != nullptr && i <= mask_; ++i) {
    Slot& old = slots_[i];
    if (old.str == nullptr) continue;
    Slot& slot = slots[old.hash & (count - 1)];
    if (slot.str == nullptr) {
      slot = old;
      ++filled;
    } else {
      Py_DECREF(old.str);
    }
  }
  PyMem_Free(slots_);
  slots_ = slots;
  mask_ = count - 1;
  filled_ = filled;
  return true;
}

Ref StrCache::get(vexdal::Text text, std::size_t field) {
  const std::string_view bytes = text.bytes;
  Trial& trial = trials_[field];
  const bool judged = trial.lookups == trial_lookups;
  if ((judged && trial.hits * 2 < trial_lookups) || bytes.size() > max_bytes) {
    return to_str(text);
  }
  // A failed growth keeps the table there is; with none, the text is made uncached.
  if ((slots_ == nullptr || (filled_ * 2 > mask_ && mask_ + 1 < max_slots)) && !grow() &&
      slots_ == nullptr) {
    return to_str(text);
  }
  if (!judged) ++trial.lookups;
  const std::uint64_t hash = text_hash(bytes);
  Slot& slot = slots_[hash & mask_];
  if (slot.str != nullptr && slot.hash == hash && slot.size == bytes.size() &&
      slot.charset == text.charset && std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0) {
    if (!judged) ++trial.hits;
    Py_INCREF(slot.str);
    return Ref::steal(slot.str);
  }
  Ref str = to_str(text);
  if (!str) return str;
  if (slot.str == nullptr) {
    ++filled_;
  } else {
    Py_DECREF(slot.str);  // a str frees no Python objects and runs no code
  }
  Py_INCREF(str.get());
  slot = Slot{hash, bytes.data(), bytes.size(), text.charset, str.get()};
  return str;
}

// A date's text as a str, written straight into it: "YYYY-MM-DD" for the years 0 to 9999, as
// date_text writes it.
Ref date_str(const vexdal::Date& date) {
  if (date.year < 0 || date.year > 9999) return ascii_str(vexdal::date_text(date));
  Ref str = Ref::steal(PyUnicode_New(10, 0x7F));
  if (!str) return str;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(str.get());
  const auto digits = [&out](unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i, value /= 10) {
      out[i] = static_cast<Py_UCS1>('0' + value % 10);
    }
    out += count;
  };
  digits(static_cast<unsigned>(date.year), 4);
  *out++ = '-';
  digits(date.month, 2);
  *out++ = '-';
  digits(date.day, 2);
  return str;
}

// A small table, as statements span a few hundred days, made at the first date read.
Ref StrCache::date(const vexdal::Date& date) {
  if (date.year < 0 || date.year > 9999) return date_str(date);
  if (dates_ == nullptr) {
    dates_ = static_cast<DateSlot*>(PyMem_Calloc(date_slots, sizeof(DateSlot)));
    if (dates_ == nullptr) return date_str(date);
  }
  // Never 0, which marks a free slot.
  const auto key = static_cast<std::uint32_t>(date.year) << 9 | std::uint32_t{date.month} << 5 |
                   date.day;
  DateSlot& slot = dates_[(key * 0x9E3779B1u) >> 22];
  if (slot.key == key) {
    Py_INCREF(slot.str);
    return Ref::steal(slot.str);
  }
  Ref str = date_str(date);
  if (!str) return str;
  Py_XDECREF(slot.str);  // a str frees no Python objects and runs no code
  Py_INCREF(str.get());
  slot = DateSlot{key, str.get()};
  return str;
}

Ref to_dict(const vexdal::Header& header) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  const bool filled = vexdal::visit_attributes(
      header.lines, header.charset, [&](std::string_view key, std::string_view value) {
        Ref py_key = to_str(vexdal::Text{key, header.charset});
        Ref py_value = py_key ? to_str(vexdal::Text{value, header.charset}) : Ref();
        return py_value && PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) == 0;
      });
  return filled ? std::move(dict) : Ref();
}

bool str_utf8(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
  if (bytes == nullptr) return false;
  out = std::string_view(bytes, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vexdal_py
