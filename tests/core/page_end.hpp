// Texts that end where the readable memory ends, for the checks that a reader reads nothing past
// its view.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define VEXDAL_TEST_GUARD_PAGE 1
#endif

namespace vexdal_test {

// Bytes placed at the very end of a readable page with an unreadable page after it: a reader
// that looks one byte past its view dies there instead of reading whatever follows. Without
// mmap the bytes sit in an ordinary string and the checks only compare values.
class AtPageEnd {
 public:
  explicit AtPageEnd(std::string_view bytes) : copy_(bytes) {
#if defined(VEXDAL_TEST_GUARD_PAGE)
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* base =
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<char*>(base);
    if (bytes.size() > page_ || mprotect(base_ + page_, page_, PROT_NONE) != 0) return;
    char* at = base_ + page_ - bytes.size();
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    view_ = std::string_view(at, bytes.size());
    guarded_ = true;
#endif
  }
  AtPageEnd(const AtPageEnd&) = delete;
  AtPageEnd& operator=(const AtPageEnd&) = delete;
  ~AtPageEnd() {
#if defined(VEXDAL_TEST_GUARD_PAGE)
    if (base_ != nullptr) munmap(base_, 2 * page_);
#endif
  }
  std::string_view view() const { return guarded_ ? view_ : std::string_view(copy_); }

 private:
  std::string copy_;
  std::string_view view_;
  char* base_ = nullptr;
  std::size_t page_ = 0;
  bool guarded_ = false;
};

}  // namespace vexdal_test
