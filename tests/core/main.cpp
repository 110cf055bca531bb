// The parser core's own test, for machines where the Python suite cannot run (cross builds under
// an emulator): value readers, statements written here, and the statement files on disk.
//
//   vexdal_core_tests DATA_DIR EXAMPLE_FILE
//
// DATA_DIR is tests/data and EXAMPLE_FILE examples/statement.txt. The exit status is 0 only when
// every check passed.
#include <cstdio>

#include "core_tests.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR EXAMPLE_FILE\n", argv[0]);
    return 2;
  }
  vexdal_test::Checker checker;
  vexdal_test::check_value_readers(checker);
  vexdal_test::check_sections(checker);
  vexdal_test::check_allocation_failures(checker);
  vexdal_test::check_kernels(checker);
  vexdal_test::check_statement_files(checker, argv[1], argv[2]);
  return checker.finish();
}
