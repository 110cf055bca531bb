#!/usr/bin/env bash
# Runs the test suite with the ASan runtime loaded, against a module built with AddressSanitizer
# and UndefinedBehaviorSanitizer (the CMake option VEXDAL_SANITIZE) that is installed for the
# python on the PATH: `nox -s sanitize` builds it into its venv and calls this. Any report fails
# the run. Arguments go to pytest (nox -s sanitize -- -x -k hooks).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python}
work=$root/build/sanitize

# The interpreter is not instrumented, so the ASan runtime must be loaded before anything else.
cxx=${CXX:-g++}
libasan=$("$cxx" -print-file-name=libasan.so)
if [[ ! -e $libasan ]]; then
  echo "sanitize.sh: $cxx has no libasan.so (install its libasan package)" >&2
  exit 2
fi

# detect_leaks=0: CPython does not free everything at exit, so LeakSanitizer would bury real
# reports under the interpreter's own; the suite's leak test watches memory growth instead.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:strict_string_checks=1:\
detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Python objects then come from malloc, where ASan sees overruns and use after free, instead
# of from the interpreter's own arenas, where it sees nothing.
export PYTHONMALLOC=malloc

# The module must be the instrumented one installed for $python, not a build lying in the
# repository.
where=$(cd "$root" &&
  LD_PRELOAD="$libasan" "$python" -c 'import vexdal_py; print(vexdal_py.__file__)')
prefix=$("$python" -c 'import sys; print(sys.prefix)')
if [[ $where != "$prefix"/* ]]; then
  echo "sanitize.sh: vexdal_py comes from $where, not from $prefix" >&2
  exit 1
fi

# --capture=sys: a report is written to file descriptor 2 just before the process dies; with
# pytest's default descriptor capture it would vanish with the capture file.
mkdir -p "$work"
log=$work/pytest.log
status=0
LD_PRELOAD="$libasan" "$python" -m pytest -p no:cacheprovider --capture=sys "$@" 2>&1 |
  tee "$log" || status=${PIPESTATUS[0]}

# A report in a subprocess that a test starts need not fail that test; the log still shows it.
if grep -qE 'ERROR: AddressSanitizer|runtime error:|SUMMARY: [A-Za-z]+Sanitizer' "$log"; then
  echo "sanitize.sh: sanitizer report(s) in $log" >&2
  exit 1
fi
if ((status != 0)); then
  echo "sanitize.sh: pytest failed with status $status" >&2
fi
exit "$status"
