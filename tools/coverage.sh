#!/usr/bin/env bash
# Line and branch coverage of src/ under the Python suite and the C++ core test, measured with gcov
# through gcovr: builds both with --coverage under build/coverage (a venv of its own for the
# module), runs them, prints per file what was missed and ends with one line per folder.
# Extra arguments go to pytest (e.g. tools/coverage.sh -x).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
work=$root/build/coverage
venv=$work/venv
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# -O0 keeps each line its own counter; atomic updates keep counts exact under the thread tests.
flags="--coverage -fprofile-update=atomic -O0"

[[ -x $venv/bin/python ]] || python3 -m venv "$venv"
build_deps=("scikit-build-core>=0.8")
command -v cmake >/dev/null || build_deps+=(cmake ninja)
"$venv/bin/pip" install --quiet "${build_deps[@]}" "pytest>=7" "hypothesis>=6" "tqdm>=4.60" \
  "gcovr>=7"

cmake -S "$root" -B "$work/core" -G Ninja -DVEXDAL_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/core"
"$venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
  --config-settings=build-dir="$work/module" \
  --config-settings=cmake.build-type=Debug \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$flags" \
  "$root"

# Counts of earlier runs would add up with this one's.
find "$work/core" "$work/module" -name '*.gcda' -delete
"$work/core/vexdal_core_tests" "$root/tests/data" "$root/examples/statement.txt" \
  "$root/../shared/samples"
"$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"

# Branches to the handlers of exceptions are left out: every call that may allocate has one,
# and the allocation sweeps (tests/test_allocations.py, tests/core/allocations.cpp) are what
# test those paths, not the counts here. So are branches the compiler made on lines with no
# code of their own (the ends of scopes that run destructors).
"$venv/bin/gcovr" --root "$root" --filter "$root/src/" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --txt-metric line --txt-metric branch \
  --json-summary "$work/summary.json" \
  "$work/core" "$work/module"
"$venv/bin/python" - "$work/summary.json" <<'PY'
import json, sys
from collections import defaultdict

totals = defaultdict(lambda: [0, 0, 0, 0])
for entry in json.load(open(sys.argv[1]))["files"]:
    folder = entry["filename"].rsplit("/", 1)[0]
    counts = totals[folder]
    counts[0] += entry["line_covered"]
    counts[1] += entry["line_total"]
    counts[2] += entry["branch_covered"]
    counts[3] += entry["branch_total"]
for folder, (lines, line_total, branches, branch_total) in sorted(totals.items()):
    print(f"{folder}: lines {100 * lines / line_total:.1f}%, "
          f"branches {100 * branches / branch_total:.1f}%")
PY
