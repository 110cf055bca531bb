#!/usr/bin/env bash
# Runs the parser's C++ test once for each UTF-8 check and line finder the processor could be
# given (CMake option VEXDAL_FORCE_KERNEL), each build with the span limit lowered
# (VEXDAL_SPAN_LIMIT) so that documents also keep their texts as views apart. The build a machine
# makes for itself takes only its own path; this takes the others. avx2 is skipped, with a note,
# on a processor without it. Build folders stay under build/kernels, so a second run is
# incremental.
#
#   tools/kernels.sh [--python PYTHON] [KERNEL...]    (default: avx2 sse2 scalar)
#
# With --python, the module is then built with sse2 forced and the span limit lowered, installed
# with its test extra into PYTHON's environment (a venv made for the purpose, such as a nox
# session's: it is changed), and the whole Python suite runs against it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# Below a document of the C++ test's and the Python suite's usual size, above the shortest.
span_limit=400
python=
if [[ ${1:-} == --python ]]; then
  python=${2:?kernels.sh: --python needs an interpreter}
  shift 2
fi
kernels=("$@")
[[ ${#kernels[@]} -gt 0 ]] || kernels=(avx2 sse2 scalar)

for kernel in "${kernels[@]}"; do
  if [[ $kernel == avx2 ]] && ! grep -qw avx2 /proc/cpuinfo 2>/dev/null; then
    echo "kernels.sh: note: this processor has no AVX2; the avx2 path is not run" >&2
    continue
  fi
  build=$root/build/kernels/$kernel
  echo "== $kernel"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXDAL_CORE_TESTS=ON \
    -DVEXDAL_WERROR=ON -DVEXDAL_FORCE_KERNEL="$kernel" -DVEXDAL_SPAN_LIMIT=$span_limit >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" >/dev/null
  # The test checks that the forced path is the one that ran, and notes it.
  (cd "$build" && ctest -V) | grep -E "note:|checks,|FAILED|Passed|Failed"
done

if [[ -n $python ]]; then
  echo "== module: sse2, span limit $span_limit"
  build_deps=("scikit-build-core>=0.8")
  # Without build isolation nothing fetches CMake for us; a machine without one gets the wheel.
  command -v cmake >/dev/null || build_deps+=(cmake ninja)
  "$python" -m pip install --quiet "${build_deps[@]}"
  "$python" -m pip install --quiet --no-build-isolation --force-reinstall \
    -C cmake.define.VEXDAL_FORCE_KERNEL=sse2 -C cmake.define.VEXDAL_SPAN_LIMIT=$span_limit \
    -C cmake.define.VEXDAL_WERROR=ON -C build-dir="$root/build/kernels/module" "$root[test]"
  "$python" -m pytest -q -p no:cacheprovider
fi
