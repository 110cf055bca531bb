#!/usr/bin/env bash
# Every allocation failed in turn: tests/test_allocations.py through the module built into a venv
# of its own under build/oom, then the C++ core test (whose sweep fails each operator new of a
# parse) built with AddressSanitizer and UndefinedBehaviorSanitizer.
# PYTHON names the interpreter (default python3); it needs _testcapi.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
work=$root/build/oom
venv=$work/venv
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
start=$SECONDS

[[ -x $venv/bin/python ]] || "${PYTHON:-python3}" -m venv "$venv"
build_deps=("scikit-build-core>=0.8")
command -v cmake >/dev/null || build_deps+=(cmake ninja)
"$venv/bin/pip" install --quiet "${build_deps[@]}" "pytest>=7" "hypothesis>=6"
"$venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
  --config-settings=build-dir="$work/module" "$root"
"$venv/bin/python" -m pytest -p no:cacheprovider -q tests/test_allocations.py

cmake -S "$root" -B "$work/core" -G Ninja -DVEXDAL_CORE_TESTS=ON -DVEXDAL_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/core"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$work/core/vexdal_core_tests" "$root/tests/data" "$root/examples/statement.txt"
echo "oom: done in $((SECONDS - start)) s"
