// Text storage for one parse: a bump allocator for hook texts and the ordered attribute map.
#include "text.hpp"

#include "keys.hpp"

namespace vexdal {

std::string_view TextStore::keep(std::string_view text) {
  if (text.empty()) return {};
  char* at = reserve(text.size());
  std::memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

char* TextStore::reserve(std::size_t size) {
  if (size == 0) return nullptr;
  if (size > block_size / 4) {
    // Large texts get a block of their own so that they do not waste the shared block's tail.
    auto block = std::make_unique<char[]>(size);
    char* at = block.get();
    blocks_.insert(blocks_.end() - (blocks_.empty() ? 0 : 1), std::move(block));
    return at;
  }
  if (block_size - used_ < size) {
    blocks_.push_back(std::make_unique<char[]>(block_size));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  used_ += size;
  return at;
}

unsigned TextMap::key_bit(std::string_view key) noexcept {
  const std::size_t size = key.size();
  if (size == 0) return 0;
  const auto byte = [key](std::size_t i) {
    return static_cast<unsigned>(static_cast<std::uint8_t>(key[i]));
  };
  return (static_cast<unsigned>(size) * 37u + byte(size - 1) * 7u + byte(size / 2)) & 255u;
}

void TextMap::catch_up() {
  if (entries_.size() < index_threshold) {
    for (std::size_t i = known_; i < entries_.size(); ++i) {
      const unsigned bit = key_bit(entries_[i].first);
      seen_[bit >> 6] |= std::uint64_t{1} << (bit & 63u);
    }
  } else {
    for (std::size_t i = known_ < index_threshold ? 0 : known_; i < entries_.size(); ++i) {
      index_.emplace(entries_[i].first, i);
    }
  }
  known_ = entries_.size();
}

void TextMap::set(std::string_view key, std::string_view value) {
  if (known_ != entries_.size()) catch_up();
  if (entries_.size() < index_threshold) {
    const unsigned bit = key_bit(key);
    std::uint64_t& word = seen_[bit >> 6];
    const std::uint64_t mask = std::uint64_t{1} << (bit & 63u);
    if ((word & mask) != 0) {
      // Inline comparisons: a section's keys are compared with all those before it.
      for (Entry& entry : entries_) {
        if (entry.first.size() == key.size() &&
            equal_bytes(entry.first.data(), key.data(), key.size())) {
          entry.second = value;
          return;
        }
      }
    }
    word |= mask;
    entries_.emplace_back(key, value);
    known_ = entries_.size();
    if (entries_.size() == index_threshold) {
      for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    }
    return;
  }
  const auto [slot, inserted] = index_.emplace(key, entries_.size());
  if (inserted) {
    entries_.emplace_back(key, value);
    known_ = entries_.size();
  } else {
    entries_[slot->second].second = value;
  }
}

void TextMap::clear(Charset charset) noexcept {
  charset_ = charset;
  seen_ = {};
  known_ = 0;
  entries_.clear();
  index_.clear();
}

}  // namespace vexdal
