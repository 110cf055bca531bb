#!/usr/bin/env bash
# Builds the module against a debug build of CPython (Debian: python3-dbg) into a venv of its own
# under build/refleaks and runs the whole suite with --refleaks: each test three times, failing
# any whose total reference count grows from the second run to the third (tests/refleaks.py).
# PYTHON names the debug interpreter; extra arguments go to pytest (e.g. -x -k hooks).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
work=$root/build/refleaks
venv=$work/venv
python=${PYTHON:-$(command -v python3-dbg || command -v python3.11-dbg || true)}
if [[ -z $python ]] || ! "$python" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
  echo "refleaks.sh: needs a debug build of CPython (apt-get install python3-dbg, or PYTHON=...)" >&2
  exit 2
fi

# Two cores are plenty for the module and leave the machine usable.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
[[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
build_deps=("scikit-build-core>=0.8")
command -v cmake >/dev/null || build_deps+=(cmake ninja)
"$venv/bin/pip" install --quiet "${build_deps[@]}" "pytest>=7" "hypothesis>=6" "tqdm>=4.60"
# The module must be compiled with the debug headers: only then do its own increments and
# decrements count in the total, and a reference it drops too few shows. Debian's debug include
# folder is symlinks into the release one but for pyconfig.h, and GCC, which resolves the links
# of system headers, would then take the release pyconfig.h beside the real Python.h.
cxxflags=${CXXFLAGS:-}
if "${CXX:-c++}" --version 2>/dev/null | grep -q 'Free Software Foundation'; then
  cxxflags+=" -fno-canonical-system-headers"
fi
"$venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
  --config-settings=build-dir="$work/cmake" \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$cxxflags" \
  "$root"
# Release optimisation keeps the three runs quick. Only a module built for the debug ABI counts
# its references into the interpreter's total (_Py_RefTotal).
module=$("$venv/bin/python" -c 'import vexdal_py; print(vexdal_py.__file__)')
if [[ $(nm -D "$module") != *_Py_RefTotal* ]]; then
  echo "refleaks.sh: $module was not built with the debug headers (Py_REF_DEBUG)" >&2
  exit 2
fi

start=$SECONDS
status=0
"$venv/bin/python" -m pytest -p no:cacheprovider -q --refleaks "$@" || status=$?
echo "refleaks: suite ran three times per test in $((SECONDS - start)) s, status $status"
exit "$status"
