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
# The table readers too: without them the tests of src/columns skip and its counts say nothing.
# They publish no PyPy wheels, so there they stay out and those tests skip.
readers=()
if "$venv/bin/python" -c 'import sys; sys.exit(sys.implementation.name != "cpython")'; then
  readers=("pyarrow>=14" "polars>=1.3" "duckdb>=1.1" "pandas>=1.5" "dask[distributed]>=2023.1")
fi
"$venv/bin/pip" install --quiet "${build_deps[@]}" "pytest>=7" "hypothesis>=6" "tqdm>=4.60" \
  "gcovr>=7" "${readers[@]}"

# The core test three times: with the kernels this processor is given, and with the SSE2 and the
# plain ones forced and the span limit lowered (as tools/kernels.sh does), so that the paths other
# machines and 4 GiB sections take are counted too.
cores=("$work/core" "$work/core-sse2" "$work/core-scalar")
cmake -S "$root" -B "$work/core" -G Ninja -DVEXDAL_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
for kernel in sse2 scalar; do
  cmake -S "$root" -B "$work/core-$kernel" -G Ninja -DVEXDAL_CORE_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$flags" -DVEXDAL_FORCE_KERNEL=$kernel \
    -DVEXDAL_SPAN_LIMIT=400 >/dev/null
done
for core in "${cores[@]}"; do cmake --build "$core"; done
"$venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
  --config-settings=build-dir="$work/module" \
  --config-settings=cmake.build-type=Debug \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$flags" \
  "$root"

# Counts of earlier runs would add up with this one's.
find "${cores[@]}" "$work/module" -name '*.gcda' -delete
for core in "${cores[@]}"; do
  "$core/vexdal_core_tests" "$root/tests/data" "$root/examples/statement.txt"
done
"$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"

# Branches to the handlers of exceptions are left out (--exclude-throw-branches): every call
# that may allocate has one, and the allocation sweeps (tests/test_allocations.py,
# tests/core/allocations.cpp) are what test those paths, not the counts here. So are branches the
# compiler made on lines with no code of their own (--exclude-unreachable-branches), and those
# lines themselves (--exclude-noncode-lines): a closing brace is counted as a line because the
# destructors run when an exception unwinds are filed under it. A template's line is counted once
# however many instances it has (--merge-lines): run by any instance, it is run. The report of
# every line and branch is build/coverage/html/index.html.
mkdir -p "$work/html"
"$venv/bin/gcovr" --root "$root" --filter "$root/src/" \
  --exclude-throw-branches --exclude-unreachable-branches --exclude-noncode-lines --merge-lines \
  --txt - --txt-metric line --txt-metric branch \
  --html-details "$work/html/index.html" \
  --json "$work/coverage.json" --json-summary "$work/summary.json" \
  "${cores[@]}" "$work/module"
"$venv/bin/python" - "$work/coverage.json" "$work/summary.json" <<'PY'
import json, sys
from collections import defaultdict

# The lines no run reached, file by file, as ranges. The JSON keeps a line once per function it
# is part of (each instance of a template), so a line is missed only when it is in all of them.
print("lines not run:")
for entry in json.load(open(sys.argv[1]))["files"]:
    counts = defaultdict(int)
    for line in entry["lines"]:
        counts[line["line_number"]] += line["count"]
    missed = sorted(number for number, count in counts.items() if count == 0)
    ranges = []
    for number in missed:
        if ranges and ranges[-1][1] == number - 1:
            ranges[-1][1] = number
        else:
            ranges.append([number, number])
    if ranges:
        text = ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in ranges)
        print(f"  {entry['file']}: {text}")
totals = defaultdict(lambda: [0, 0, 0, 0])
for entry in json.load(open(sys.argv[2]))["files"]:
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
