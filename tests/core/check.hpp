// The checks of the core's test executable: a failed check prints its place, the case it ran for
// and both values, and the run goes on, so that one run under an emulator shows every failure.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "quote.hpp"

namespace vexdal_test {

// UTF-8 text in double quotes with escapes, so that a stray space or control character shows.
inline std::string quoted(std::string_view text) {
  std::string out;
  vexdal::append_quoted(out, text);
  return out;
}

class Checker {
 public:
  // Names the case the checks belong to while the returned guard lives; cases nest.
  class Case {
   public:
    Case(Checker& checker, std::string name) : checker_(checker) {
      checker_.cases_.push_back(std::move(name));
    }
    Case(const Case&) = delete;
    Case& operator=(const Case&) = delete;
    ~Case() { checker_.cases_.pop_back(); }

   private:
    Checker& checker_;
  };

  // Texts are UTF-8 and shown quoted.
  bool equal(std::string_view actual, std::string_view expected, const char* what, const char* file,
             int line) {
    if (actual == expected) return pass();
    std::string message =
        std::string(what) + " is " + quoted(actual) + ", expected " + quoted(expected);
    // Long texts such as a statement's summary differ in a few characters: show where, from the
    // start of the character that differs.
    std::size_t same = 0;
    while (same < actual.size() && same < expected.size() && actual[same] == expected[same]) {
      ++same;
    }
    while (same > 0 && (static_cast<unsigned char>(actual[same]) & 0xC0u) == 0x80u) --same;
    if (same > 0) {
      message += "\n    from there: " + quoted(actual.substr(same)) + " against " +
                 quoted(expected.substr(same));
    }
    return failed(file, line, message);
  }
  bool equal(std::size_t actual, std::size_t expected, const char* what, const char* file,
             int line) {
    if (actual == expected) return pass();
    return failed(file, line,
                  std::string(what) + " is " + std::to_string(actual) + ", expected " +
                      std::to_string(expected));
  }
  bool holds(bool condition, const char* what, const char* file, int line) {
    return condition ? pass() : failed(file, line, std::string(what) + " is false");
  }

  // A note that is no failure, such as a sample file this machine lacks.
  void note(std::string_view text) {
    std::printf("note: %.*s\n", static_cast<int>(text.size()), text.data());
  }

  // Prints the tally; the exit status of the run.
  int finish() const {
    std::printf("%zu checks, %zu failed\n", checks_, failures_);
    return failures_ == 0 ? 0 : 1;
  }

 private:
  bool pass() {
    ++checks_;
    return true;
  }
  bool failed(const char* file, int line, const std::string& message) {
    ++checks_;
    ++failures_;
    std::string where;
    for (const std::string& name : cases_) where += "[" + name + "] ";
    std::printf("%s:%d: FAILED %s%s\n", file, line, where.c_str(), message.c_str());
    return false;
  }

  std::vector<std::string> cases_;
  std::size_t checks_ = 0;
  std::size_t failures_ = 0;
};

}  // namespace vexdal_test

// Macros only for the place of the check and the text of what was checked.
#define VEXDAL_CHECK(checker, condition) \
  (checker).holds((condition), #condition, __FILE__, __LINE__)
#define VEXDAL_CHECK_EQUAL(checker, actual, expected) \
  (checker).equal((actual), (expected), #actual, __FILE__, __LINE__)
