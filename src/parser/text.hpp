// Storage for the texts of one parse. The statement's keys and values are views into the input, a
// decoded text or a TextStore; all keep their bytes in place until the parse result is dropped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "charsets.hpp"

namespace vexdal {

// An owned byte buffer whose bytes never move, so views into it survive moves of the buffer.
class TextBuffer {
 public:
  TextBuffer() = default;
  explicit TextBuffer(std::size_t size) : bytes_(new char[size == 0 ? 1 : size]), size_(size) {}
  char* data() noexcept { return bytes_.get(); }
  std::string_view view() const noexcept { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

// Keeps copies of texts that do not stand in the input (what hooks write back).
class TextStore {
 public:
  // The view stays valid until the store is cleared or dropped, whatever is kept after it.
  std::string_view keep(std::string_view text);
  // Room for size bytes in one piece (nullptr for none), valid as long as kept texts are.
  char* reserve(std::size_t size);
  // Drops every text kept; views into the store are no longer valid.
  void clear() noexcept {
    blocks_.clear();
    used_ = block_size;
  }

 private:
  static constexpr std::size_t block_size = 16 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = block_size;  // of the last block; a full block forces a new one
};

// Insertion-ordered text map: a repeated key keeps its first position and takes the new value.
// Holds views, all in one charset; whoever fills it keeps the bytes alive.
class TextMap {
 public:
  using Entry = std::pair<std::string_view, std::string_view>;

  explicit TextMap(Charset charset = Charset::Utf8) noexcept : charset_(charset) {}
  Charset charset() const noexcept { return charset_; }

  void set(std::string_view key, std::string_view value);
  // set() for a key known not to be in the map: the entry goes at the end, unchecked, and is
  // looked at only by the set() after it.
  void append(std::string_view key, std::string_view value) { entries_.emplace_back(key, value); }
  // Empties the map for texts in the given charset.
  void clear(Charset charset) noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }

 private:
  // Sections hold a few dozen keys; a hash index only pays off above that, and keeps hostile
  // sections with huge numbers of keys linear.
  static constexpr std::size_t index_threshold = 32;
  // Below the threshold, one bit per key of a small hash of it (length and two bytes): a key
  // whose bit is clear cannot be in the map, which spares most new keys the comparisons with
  // every key before them. Hooked sections pass each key through here.
  static unsigned key_bit(std::string_view key) noexcept;
  // Takes the entries appended since the last set() into the bits or the index.
  void catch_up();
  std::array<std::uint64_t, 4> seen_{};
  std::size_t known_ = 0;  // entries the bits or the index account for
  Charset charset_;
  std::vector<Entry> entries_;
  std::unordered_map<std::string_view, std::size_t> index_;
};

}  // namespace vexdal
