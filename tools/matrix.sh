#!/usr/bin/env bash
# Runs the test suite on every interpreter and architecture the module must work on: one line
# per target, then a closing "N passed, M failed" over the targets.
#
# Usage: tools/matrix.sh [options] [TARGET|GROUP|PATTERN ...] [-- PYTEST_ARGS...]
#
# Targets (all of them by default, in this order):
#   cpython-3.9 .. cpython-3.13  each CPython found under ${PYENV_ROOT:-~/.pyenv}/versions or as
#                                python3.X on the PATH: its own venv, pip install '.[test]', pytest
#   pypy                         Debian's pypy3 on this machine, the same way
#   core                         the parser's C++ test (CMake option VEXDAL_CORE_TESTS) via ctest
#   armhf-cpython-3.11           Debian's armhf CPython 3.11 under qemu-arm, module cross-built
#   armhf-pypy                   Debian's armhf PyPy under qemu-arm, module cross-built
#   armhf-core                   the parser's C++ test cross-built, run by ctest under qemu-arm
# Groups: cpython, pypy, core (core, armhf-core), armhf (armhf-*), native (not armhf), all.
# A shell pattern selects every target it matches: 'cpython-3.1*'.
#
# Options:
#   --only LIST    comma-separated targets, groups or patterns (the same as positional ones)
#   -k EXPR        passed to pytest as -k EXPR (the core targets have no use for it)
#   --cache DIR    cache folder (default: $VEXDAL_MATRIX_CACHE, else build/matrix in the repository)
#   --keep-going   run every selected target whatever fails (the default)
#   --fail-fast    stop after the first target that fails; the rest are listed as not run
#   --clean        make venvs and build folders anew (sysroots and downloads stay); every run
#                  compiles every file anyway, so this is for a venv or CMake cache gone wrong
#   -j N, --jobs N run up to N targets at once (default 1). -j 2 takes the whole matrix from
#                  about 9 to 5.5 minutes on two cores; each line's time is then the target's
#                  while sharing the machine
#   --timeout SEC  time allowed for one target (default 3600)
#   --werror       a target whose build gives any compiler warning fails
#   --list         print the targets and their groups, then exit
#   -h, --help     this text
# Arguments after -- go to pytest as they are (e.g. -- -x --durations=5).
#
# Missing tools are installed with apt-get when running as root: pypy3, pypy3-dev, qemu-user,
# g++-arm-linux-gnueabihf, and the armhf foreign architecture is added to dpkg so that
# apt-get download can fetch armhf packages. Those are unpacked into a sysroot in the cache with
# dpkg -x; nothing armhf is installed on the machine.
#
# The cache keeps the venvs, CMake build folders, the armhf sysroot and its .deb files, the
# armhf test dependencies and pip's downloads, so a second run fetches and unpacks nothing. The
# module is compiled, in full, and installed again on every run: the current source is what runs,
# and every run reports all of its compiler warnings.
# A full log of each target is CACHE/logs/TARGET.log; a failed target's line is followed by
# the log's path and its last lines.
#
# Exit status: 0 when every selected target passed or was not found (a CPython version this
# machine lacks); 1 when any target failed or could not run; 2 for a usage error.
set -euo pipefail

script=$(readlink -f "${BASH_SOURCE[0]}")
root=$(dirname "$(dirname "$script")")

cpython_minors=(3.9 3.10 3.11 3.12 3.13)
all_targets=()
for minor in "${cpython_minors[@]}"; do all_targets+=("cpython-$minor"); done
all_targets+=(pypy core armhf-cpython-3.11 armhf-pypy armhf-core)

# Debian's armhf packages the emulated interpreters need: the C and C++ runtime, the libraries
# the standard libraries' extension modules link (ctypes needs libffi, hashlib libssl, ...), the
# two interpreters with their standard libraries, and their headers (libpython3.11-dev has the
# per-architecture pyconfig.h). pypy3-dev is the same for every architecture.
armhf_packages=(
  libc6:armhf libgcc-s1:armhf libstdc++6:armhf zlib1g:armhf libexpat1:armhf libffi8:armhf
  libssl3:armhf libbz2-1.0:armhf liblzma5:armhf libsqlite3-0:armhf libncursesw6:armhf
  libtinfo6:armhf libuuid1:armhf libcrypt1:armhf libgdbm6:armhf
  python3.11-minimal:armhf libpython3.11-minimal:armhf libpython3.11-stdlib:armhf
  libpython3.11-dev:armhf
  pypy3:armhf pypy3-lib:armhf pypy3-dev
)
armhf_triplet=arm-linux-gnueabihf

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$script"; }

# ---------------------------------------------------------------------------------------------
# Helpers for a target's run. A target runs as a child process of this script (so that set -e
# holds inside it, and a timeout can end it whole) with its output going to its log. It reports
# to the parent through a file of key=value lines.

# result KEY VALUE: one fact for the target's line (stage, version, build, tests, status, ...).
result() { printf '%s=%s\n' "$1" "${2//$'\n'/ }" >>"$MATRIX_RESULT"; }

step() { printf '\n### %(%H:%M:%S)T %s\n' -1 "$*"; }

# not_found REASON: the target cannot run here, and that is not held against the run.
not_found() {
  result status notfound
  result reason "$1"
  exit 0
}

# cannot_run REASON: the target should run here but something it needs cannot be had.
cannot_run() {
  result status notfound
  result reason "$1"
  result fatal 1
  echo "matrix: $1" >&2
  exit 1
}

# Python that sets v to the interpreter's version as the line shows it: "3.11.7",
# "3.9.16 PyPy 7.3.11".
version_code='import platform, sys
v = platform.python_version()
if platform.python_implementation() == "PyPy":
    v += " PyPy " + ".".join(map(str, sys.pypy_version_info[:3]))'

interpreter_version() { "$@" -c "$version_code
print(v)"; }

is_cpython() { # PYTHON MINOR: does it run, and is it CPython MINOR?
  "$1" -c "import platform, sys
sys.exit(platform.python_implementation() != 'CPython' or '%d.%d' % sys.version_info[:2] != '$2')" \
    >/dev/null 2>&1
}

# find_cpython 3.X: the newest pyenv 3.X.N (no dev or free-threaded builds), else python3.X on
# the PATH. A pyenv shim for a version that is not active fails to run, so it is not taken.
find_cpython() {
  local minor=$1 versions=${PYENV_ROOT:-$HOME/.pyenv}/versions best onpath
  if [[ -d $versions ]]; then
    best=$(find "$versions" -mindepth 1 -maxdepth 1 -name "$minor.*" -printf '%f\n' |
      grep -E "^${minor//./\\.}\.[0-9]+\$" | sort -V | tail -n 1 || true)
    if [[ -n $best ]] && is_cpython "$versions/$best/bin/python$minor" "$minor"; then
      echo "$versions/$best/bin/python$minor"
      return
    fi
  fi
  onpath=$(command -v "python$minor" || true)
  if [[ -n $onpath ]] && is_cpython "$onpath" "$minor"; then echo "$onpath"; fi
}

# apt_install PACKAGE...: installs what is not there yet, as root only. The package lists are
# refreshed only when the install fails with the ones the machine has.
apt_install() {
  local missing=() package
  for package; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if ((EUID != 0)) || ! command -v apt-get >/dev/null; then
    cannot_run "needs ${missing[*]} (apt-get install as root)"
  fi
  step "apt-get install ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; } ||
    cannot_run "apt-get install ${missing[*]} failed"
}

# make_venv PYTHON DIR: a venv of PYTHON, kept while the interpreter stays the same.
make_venv() {
  local python=$1 venv=$2 base
  base="$(readlink -f "$python") $("$python" -c 'import sys; print(sys.version)' | tr '\n' ' ')"
  if [[ -x $venv/bin/python && -f $venv/.matrix-base && "$(<"$venv/.matrix-base")" == "$base" ]]
  then
    step "reusing the venv $venv"
    return
  fi
  step "creating the venv $venv"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # A bundled pip can be too old for what the build needs (PyPy 3.9's cannot pass -C settings to
  # a pyproject build); upgrading once, when the venv is made, keeps later runs quick.
  "$venv/bin/python" -m pip install --upgrade pip
  printf '%s\n' "$base" >"$venv/.matrix-base"
}

# count_warnings FILE: compiler warnings in a build's output ("file:line:col: warning: ...").
count_warnings() { grep -c ': warning: ' "$1" || true; }

build_result() { # WARNINGS
  if [[ -n ${MATRIX_WERROR-} && $1 != 0 ]]; then
    result build "build has $1 warning(s), and --werror is on"
    exit 1
  fi
  case $1 in
    0) result build "build ok" ;;
    1) result build "build ok, 1 warning" ;;
    *) result build "build ok, $1 warnings" ;;
  esac
}

# run_pytest PYTHON [PYTEST_ARGS...]: runs the suite from the repository root, reports its
# counts and fails when pytest did.
run_pytest() {
  local python=$1 out=$MATRIX_WORK/pytest.out rc=0 line word n summary="" extra=()
  shift
  local -a args=(-q -p no:cacheprovider "$@")
  if [[ -n ${MATRIX_HAS_K-} ]]; then args+=(-k "$MATRIX_K"); fi
  if [[ -s $MATRIX_PYTEST_ARGS ]]; then mapfile -d '' -t extra <"$MATRIX_PYTEST_ARGS"; fi
  result stage test
  step "pytest ${args[*]} ${extra[*]}"
  cd "$root"
  "$python" -m pytest "${args[@]}" "${extra[@]}" 2>&1 | tee "$out" || rc=${PIPESTATUS[0]}
  # -q ends with "1 failed, 773 passed, 13 skipped, 6 xfailed in 181.31s (0:03:01)".
  line=$(grep -E '^(=+ )?(no tests ran|[0-9]+ [a-z]+.*) in [0-9.]+s' "$out" | tail -n 1 || true)
  if [[ -z $line ]]; then
    result tests "pytest ended with status $rc and no summary"
  else
    for word in passed failed skipped xfailed xpassed; do
      n=$(grep -oE "[0-9]+ $word" <<<"$line" | head -n 1 | cut -d' ' -f1 || true)
      summary+="${summary:+, }${n:-0} $word"
    done
    for word in error deselected; do
      n=$(grep -oE "[0-9]+ ${word}s?" <<<"$line" | head -n 1 | cut -d' ' -f1 || true)
      if [[ -n $n ]]; then summary+=", $n $word"; fi
      if [[ $word == error && -n $n && $n != 1 ]]; then summary+=s; fi
    done
    if [[ $line == *"no tests ran"* ]]; then summary="no tests ran"; fi
    result tests "$summary"
  fi
  result pytest_status "$rc"
  ((rc == 0)) || exit 1
  result status pass
}

# check_import DIR COMMAND...: the module COMMAND imports from the repository root must be the
# one in DIR, not a stray build lying in the repository.
check_import() {
  local dir=$1 where
  shift
  where=$(cd "$root" && "$@" -c 'import vexdal_py; print(vexdal_py.__file__)')
  echo "vexdal_py from $where"
  if [[ $where != "$dir"/* ]]; then
    echo "matrix: expected the module from $dir" >&2
    exit 1
  fi
}

# locked COMMAND...: targets running side by side (-j) install packages and fill the shared parts
# of the cache (tools, sysroot) one at a time.
locked() {
  local fd
  exec {fd}>"$MATRIX_CACHE/work/setup.lock"
  flock "$fd"
  "$@"
  exec {fd}>&-
}

# ---------------------------------------------------------------------------------------------
# Targets on this machine.

# A venv per interpreter, the package built and installed the way a user does it, the suite
# run against the installed module.
venv_target() { # NAME PYTHON
  local name=$1 python=$2 venv=$MATRIX_CACHE/venv/$1 build=$MATRIX_CACHE/build/$1
  result version "$(interpreter_version "$python")"
  result stage setup
  make_venv "$python" "$venv"
  result stage build
  step "pip install '.[test]'"
  cd "$root"
  # -v shows the compiler's output, so warnings reach the log. The build folder is kept for
  # looking into a failure; scikit-build-core starts it afresh in each new isolated build
  # environment, so every file is compiled (and warned about) on every run.
  "$venv/bin/python" -m pip install -v -C build-dir="$build" '.[test]' 2>&1 |
    tee "$MATRIX_WORK/build.out"
  build_result "$(count_warnings "$MATRIX_WORK/build.out")"
  result stage test
  check_import "$venv" "$venv/bin/python"
  run_pytest "$venv/bin/python"
}

target_cpython() { # 3.X
  local python
  python=$(find_cpython "$1")
  [[ -n $python ]] || not_found "no pyenv $1.N, no python$1 on the PATH"
  step "CPython $1: $python"
  venv_target "cpython-$1" "$python"
}

pypy_ready() {
  command -v pypy3 >/dev/null &&
    pypy3 -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
      2>/dev/null
}

# Debian's pypy3 with its headers (pypy3-dev), installed when missing.
ensure_pypy() {
  pypy_ready || apt_install pypy3 pypy3-dev
  pypy_ready || cannot_run "pypy3 with its headers (pypy3-dev) is not there"
}

target_pypy() {
  result stage setup
  locked ensure_pypy
  venv_target pypy "$(command -v pypy3)"
}

# configure_once BUILD_DIR CMAKE_ARGS...: a build folder is configured when it is made; after
# that the build step configures again by itself when CMakeLists.txt or the toolchain file
# changes. Configuring anew each run would cost the emulated FindPython runs (20 s for PyPy).
# The builds themselves start clean (--clean-first), as the pip builds do, so that each run
# reports every warning of the source as it is, not only those of the files that changed.
configure_once() {
  local build=$1
  shift
  if [[ -f $build/CMakeCache.txt && ( -f $build/Makefile || -f $build/build.ninja ) ]]; then
    step "reusing the configured $build"
    return
  fi
  step "cmake configure $build"
  "$MATRIX_TOOLS/bin/cmake" -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" || {
    rm -f "$build/CMakeCache.txt" # a half-done configure must not pass for a done one
    return 1
  }
}

# core_build_and_test BUILD_DIR CMAKE_ARGS...: configures with the core test on, builds and runs
# ctest (which goes through the emulator by itself when the toolchain names one).
core_build_and_test() {
  local build=$1 rc=0 line checks compiler
  shift
  result stage build
  configure_once "$build" -DVEXDAL_CORE_TESTS=ON "$@"
  # CMake names the compiler on the first configure only; its record stays in the build folder.
  compiler=$(cat "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null || true)
  if [[ $compiler =~ CMAKE_CXX_COMPILER_ID\ \"([^\"]*)\" ]]; then line=${BASH_REMATCH[1]}; fi
  if [[ $compiler =~ CMAKE_CXX_COMPILER_VERSION\ \"([^\"]*)\" ]]; then
    result version "${line-} ${BASH_REMATCH[1]}"
  fi
  step "cmake build"
  "$MATRIX_TOOLS/bin/cmake" --build "$build" --clean-first --parallel "$(nproc)" 2>&1 |
    tee "$MATRIX_WORK/build.out"
  build_result "$(count_warnings "$MATRIX_WORK/build.out")"
  result stage test
  step "ctest"
  "$MATRIX_TOOLS/bin/ctest" --test-dir "$build" -V 2>&1 | tee "$MATRIX_WORK/ctest.out" ||
    rc=${PIPESTATUS[0]}
  # ctest ends with "50% tests passed, 1 tests failed out of 2" ("100% tests passed out of 1" in
  # CMake 4); the test itself prints "N checks, M failed".
  line=$(grep -E '% tests passed' "$MATRIX_WORK/ctest.out" | tail -n 1 || true)
  checks=$(grep -oE '[0-9]+ checks, [0-9]+ failed' "$MATRIX_WORK/ctest.out" | tail -n 1 || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    result tests "ctest $((BASH_REMATCH[2] - BASH_REMATCH[1]))/${BASH_REMATCH[2]} passed${checks:+ ($checks)}"
  elif [[ $line =~ out\ of\ ([0-9]+) ]]; then
    result tests "ctest ${BASH_REMATCH[1]}/${BASH_REMATCH[1]} passed${checks:+ ($checks)}"
  else
    result tests "ctest ended with status $rc and no summary"
  fi
  ((rc == 0)) || exit 1
  result status pass
}

target_core() {
  result stage setup
  locked ensure_tools
  core_build_and_test "$MATRIX_CACHE/build/core"
}

# ---------------------------------------------------------------------------------------------
# armhf under qemu-arm.

# CMake 4.1 or later (FindPython cross-compiles properly only with policy CMP0190) from PyPI, in
# a venv of the cache, whatever CMake the machine has; a TOML reader for pyproject.toml; and the
# project's build backend, which writes the installed module's metadata for the armhf runs.
ensure_tools() {
  local python="" candidate backend
  export MATRIX_TOOLS=$MATRIX_CACHE/tools
  if ! [[ -x $MATRIX_TOOLS/bin/cmake ]] ||
    ! "$MATRIX_TOOLS/bin/python" -c 'import sys
try:
    import tomllib
except ImportError:
    import tomli' 2>/dev/null ||
    ! printf '%s\n' 4.1 "$("$MATRIX_TOOLS/bin/cmake" --version | head -n 1 | cut -d' ' -f3)" |
    sort -V -C; then
    for candidate in python3 "$(find_cpython 3.13)" "$(find_cpython 3.12)" "$(find_cpython 3.11)"; do
      if [[ -n $candidate ]] && "$candidate" -c 'import venv, ensurepip' 2>/dev/null; then
        python=$(command -v "$candidate")
        break
      fi
    done
    [[ -n $python ]] || cannot_run "no Python 3 with venv here to hold CMake"
    make_venv "$python" "$MATRIX_TOOLS"
    "$MATRIX_TOOLS/bin/python" -m pip install 'cmake>=4.1' 'tomli; python_version < "3.11"'
  fi
  mapfile -t backend < <(pyproject build-system requires)
  if [[ ! -f $MATRIX_TOOLS/.matrix-backend || "$(<"$MATRIX_TOOLS/.matrix-backend")" != "${backend[*]}" ]]
  then
    "$MATRIX_TOOLS/bin/python" -m pip install "${backend[@]}"
    printf '%s\n' "${backend[*]}" >"$MATRIX_TOOLS/.matrix-backend"
  fi
}

# pyproject KEY...: a value of pyproject.toml, a list one item a line.
pyproject() {
  "$MATRIX_TOOLS/bin/python" - "$root/pyproject.toml" "$@" <<'EOF'
import sys
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open(sys.argv[1], "rb") as f:
    value = tomllib.load(f)
for key in sys.argv[2:]:
    value = value[key]
print("\n".join(value) if isinstance(value, list) else value)
EOF
}

# wheel_metadata DIR: the .dist-info a wheel of the project would install, written by the
# project's build backend (its metadata hook builds nothing). importlib.metadata then finds the
# distribution as after pip install; the `vexdal --version` reads its version from there.
wheel_metadata() {
  (cd "$root" && "$MATRIX_TOOLS/bin/python" - "$1" "$(pyproject build-system build-backend)" <<'EOF'
import importlib
import sys

print(importlib.import_module(sys.argv[2]).prepare_metadata_for_build_wheel(sys.argv[1]))
EOF
  )
}

ensure_cross_tools() {
  command -v "$armhf_triplet-g++" >/dev/null || apt_install "g++-$armhf_triplet"
  # qemu-user has qemu-arm; qemu-user-static only qemu-arm-static. Either runs one program with
  # -L; neither needs binfmt_misc, since every armhf program is started through the emulator.
  if ! command -v qemu-arm >/dev/null && ! command -v qemu-arm-static >/dev/null; then
    apt_install qemu-user
  fi
  MATRIX_QEMU=$(command -v qemu-arm || command -v qemu-arm-static)
  export MATRIX_QEMU
}

# The sysroot: Debian's armhf packages fetched with apt-get download and unpacked with dpkg -x.
# A package whose .deb is in the cache is not fetched again; the sysroot is unpacked again only
# when the set of .deb files changes.
ensure_sysroot() {
  local debs=$MATRIX_CACHE/armhf/debs want=() package name stamp
  export MATRIX_SYSROOT=$MATRIX_CACHE/armhf/sysroot
  mkdir -p "$debs"
  for package in "${armhf_packages[@]}"; do
    name=${package%:armhf}
    compgen -G "$debs/${name}_*.deb" >/dev/null || want+=("$package")
  done
  if ((${#want[@]})); then
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
      ((EUID == 0)) || cannot_run "dpkg lacks the armhf architecture (dpkg --add-architecture armhf as root)"
      step "dpkg --add-architecture armhf"
      dpkg --add-architecture armhf
      apt-get update
    fi
    step "apt-get download ${want[*]}"
    # As root apt hands the download to the _apt user, who may not write to the cache.
    (cd "$debs" && apt-get -o APT::Sandbox::User=root download "${want[@]}") ||
      { ((EUID == 0)) && apt-get update &&
        (cd "$debs" && apt-get -o APT::Sandbox::User=root download "${want[@]}"); } ||
      cannot_run "apt-get download of the armhf packages failed"
  fi
  stamp=$(cd "$debs" && ls -- *.deb)
  if [[ -f $MATRIX_SYSROOT/.matrix-debs && "$(<"$MATRIX_SYSROOT/.matrix-debs")" == "$stamp" ]]; then
    step "reusing the sysroot $MATRIX_SYSROOT"
  else
    step "unpacking the sysroot $MATRIX_SYSROOT"
    rm -rf "$MATRIX_SYSROOT"
    mkdir -p "$MATRIX_SYSROOT"
    for package in "$debs"/*.deb; do dpkg -x "$package" "$MATRIX_SYSROOT"; done
    printf '%s\n' "$stamp" >"$MATRIX_SYSROOT/.matrix-debs"
  fi
}

ensure_armhf() {
  ensure_tools
  ensure_cross_tools
  ensure_sysroot
  emulation_plugin
}

# sysroot_program PATH: the file a path of the sysroot names, following its symlinks inside the
# sysroot (an absolute link there points into the sysroot, not at this machine).
sysroot_program() {
  local path=$MATRIX_SYSROOT$1 link
  while [[ -L $path ]]; do
    link=$(readlink "$path")
    if [[ $link == /* ]]; then path=$MATRIX_SYSROOT$link; else path=$(dirname "$path")/$link; fi
  done
  [[ -x $path ]] || cannot_run "the sysroot has no $1"
  echo "$path"
}

# emulated_interpreter PROGRAM: a host script beside PROGRAM in the sysroot that runs it under
# qemu-arm. Passing the script's own path as argv[0] (-0) makes it the interpreter's
# sys.executable, so tests that start "sys.executable -c ..." start the emulator again instead of
# an armhf binary this machine cannot execute; being beside the real one, it leads the
# interpreter to the sysroot's standard library, never this machine's.
emulated_interpreter() {
  local program=$1 wrapper=$1-qemu
  {
    echo '#!/bin/sh'
    # shellcheck disable=SC2016 # $0 and $@ are the wrapper's own, at its run
    printf 'exec %q -L %q -0 "$0" %q "$@"\n' "$MATRIX_QEMU" "$MATRIX_SYSROOT" "$program"
  } >"$wrapper"
  chmod +x "$wrapper"
  echo "$wrapper"
}

# The test dependencies of pyproject.toml's "test" extra as armhf wheels in a folder of their
# own, for PYTHONPATH. pip evaluates environment markers (python_version < "3.11" for tomli,
# exceptiongroup, ...) with the interpreter it runs on, whatever --python-version says, so it
# runs on a host interpreter of the same implementation and version as the emulated one.
armhf_test_dependencies() { # NAME HOST_PYTHON TARGET_VERSION SITE_DIR
  local name=$1 host=$2 version=$3 site=$4 venv=$MATRIX_CACHE/armhf/pip-$1 glibc minor stamp
  local -a requirements libc platforms=()
  mapfile -t requirements < <(pyproject project optional-dependencies test)
  # Every manylinux tag the sysroot's glibc accepts; pip does not widen one --platform itself,
  # and hypothesis has armv7l builds of its compiled part only as manylinux_2_17.
  libc=("$MATRIX_CACHE"/armhf/debs/libc6_2.*_armhf.deb)
  glibc=$(basename "${libc[0]}" | sed -E 's/^libc6_2\.([0-9]+).*/\1/')
  for ((minor = glibc; minor >= 17; minor--)); do platforms+=(--platform "manylinux_2_${minor}_armv7l"); done
  platforms+=(--platform manylinux2014_armv7l --platform linux_armv7l)
  stamp="$("$host" -c 'import sys; print(sys.version)' | tr '\n' ' ') ${requirements[*]} ${platforms[*]}"
  if [[ -f $site/.matrix-stamp && "$(<"$site/.matrix-stamp")" == "$stamp" ]]; then
    step "reusing the test dependencies in $site"
    return
  fi
  make_venv "$host" "$venv"
  step "pip install --target $site ${requirements[*]}"
  rm -rf "$site" "$site.new"
  # pip compiles the modules with the host interpreter; their bytecode is the emulated one's too
  # (same implementation and minor version), which spares compiling them under emulation.
  "$venv/bin/python" -m pip install --target "$site.new" --only-binary=:all: \
    --python-version "$version" "${platforms[@]}" "${requirements[@]}"
  mv "$site.new" "$site"
  printf '%s\n' "$stamp" >"$site/.matrix-stamp"
}

# Hypothesis's too_slow health check measures time; under emulation data generation runs 20 to
# 100 times slower (PyPy's JIT warming up inside qemu took one draw to 33 s), which says nothing
# about the module. This plugin turns that check, and deadlines, off for the emulated runs only.
emulation_plugin() {
  export MATRIX_PLUGINS=$MATRIX_CACHE/armhf/plugins
  local dir=$MATRIX_PLUGINS
  mkdir -p "$dir"
  cat >"$dir/vexdal_matrix_emulated.py" <<'EOF'
"""Loaded by tools/matrix.sh for runs under qemu-arm: timing checks there measure the emulator."""
from hypothesis import HealthCheck, settings

settings.register_profile("emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("emulated")
EOF
}

# NAME SYSROOT_INTERPRETER HOST_PYTHON: cross-builds the module with the project's CMakeLists.txt
# for the emulated interpreter, installs it into a folder of its own and runs the suite.
armhf_python_target() {
  local name=$1 host=$3 build=$MATRIX_CACHE/build/$1 module_dir=$MATRIX_CACHE/armhf/module-$1
  local site=$MATRIX_CACHE/armhf/site-$1 program interpreter facts suffix version
  result stage setup
  locked ensure_armhf
  program=$(sysroot_program "$2")
  interpreter=$(emulated_interpreter "$program")
  # Each start of an emulated interpreter costs seconds (PyPy's most), so it is asked things
  # once: version, machine, and the extension suffix it looks for first.
  facts=$("$interpreter" -c "$version_code
import importlib.machinery
print(v + ' (' + platform.machine() + ')')
print(importlib.machinery.EXTENSION_SUFFIXES[0])")
  version=${facts%%$'\n'*}
  suffix=${facts#*$'\n'}
  result version "$version"
  armhf_test_dependencies "$name" "$host" "${version%% *}" "$site"

  result stage build
  # CMP0190 NEW: FindPython runs the armhf interpreter through the emulator and takes headers,
  # ABI and extension suffix from it (the toolchain file says why it cannot set this itself).
  configure_once "$build" --toolchain "$root/tools/armhf-toolchain.cmake" \
    -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DVEXDAL_ARMHF_SYSROOT="$MATRIX_SYSROOT" \
    -DVEXDAL_QEMU_ARM="$MATRIX_QEMU" -DPython_EXECUTABLE="$program"
  step "cmake build"
  "$MATRIX_TOOLS/bin/cmake" --build "$build" --clean-first --parallel "$(nproc)" 2>&1 |
    tee "$MATRIX_WORK/build.out"
  # The project's own install rule lays the module out as the wheel would.
  rm -rf "$module_dir"
  "$MATRIX_TOOLS/bin/cmake" --install "$build" --prefix "$module_dir"
  wheel_metadata "$module_dir"
  build_result "$(count_warnings "$MATRIX_WORK/build.out")"

  result stage test
  # The file must carry the suffix the interpreter looks for first, or only a plain .so would
  # be found (and a wrong ABI tag not at all).
  ls -l "$module_dir"
  [[ -f $module_dir/vexdal_py$suffix ]] ||
    { echo "matrix: no vexdal_py$suffix in $module_dir" >&2; exit 1; }
  # The emulated interpreter sees this machine's files wherever the sysroot has none: it must not
  # take the user's x86_64 site-packages (~/.local) for its own.
  export PYTHONPATH=$module_dir:$MATRIX_PLUGINS:$site PYTHONNOUSERSITE=1
  check_import "$module_dir" "$interpreter"
  run_pytest "$interpreter" -p vexdal_matrix_emulated
}

target_armhf_cpython() {
  local host
  host=$(find_cpython 3.11)
  if [[ -z $host ]]; then
    cannot_run "no CPython 3.11 on this machine to fetch the armhf test dependencies with"
  fi
  armhf_python_target armhf-cpython-3.11 /usr/bin/python3.11 "$host"
}

target_armhf_pypy() {
  result stage setup
  locked ensure_pypy
  armhf_python_target armhf-pypy /usr/bin/pypy3 "$(command -v pypy3)"
}

target_armhf_core() {
  result stage setup
  locked ensure_armhf
  core_build_and_test "$MATRIX_CACHE/build/armhf-core" \
    --toolchain "$root/tools/armhf-toolchain.cmake" -DVEXDAL_ARMHF_SYSROOT="$MATRIX_SYSROOT" \
    -DVEXDAL_QEMU_ARM="$MATRIX_QEMU"
}

# The child side: runs one target, its output already going to the target's log.
run_target_child() {
  set -E
  trap 'echo "matrix: command failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
  # The suite must see only what each target installs.
  unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE VIRTUAL_ENV
  export PIP_CACHE_DIR=$MATRIX_CACHE/pip PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
  export PIP_ROOT_USER_ACTION=ignore
  mkdir -p "$MATRIX_WORK"
  case $1 in
    cpython-*) target_cpython "${1#cpython-}" ;;
    pypy) target_pypy ;;
    core) target_core ;;
    armhf-cpython-3.11) target_armhf_cpython ;;
    armhf-pypy) target_armhf_pypy ;;
    armhf-core) target_armhf_core ;;
    *) echo "matrix: no target $1" >&2; exit 2 ;;
  esac
}

if [[ ${1-} == --run-target ]]; then
  run_target_child "$2"
  exit
fi

# ---------------------------------------------------------------------------------------------
# The parent side: options, selection, one line per target, the summary.

groups_of() { # TARGET: the groups it belongs to
  case $1 in
    cpython-*) echo "cpython native all" ;;
    pypy) echo "pypy native all" ;;
    core) echo "core native all" ;;
    armhf-core) echo "core armhf all" ;;
    armhf-*) echo "armhf all" ;;
  esac
}

list_targets() {
  local target
  for target in "${all_targets[@]}"; do
    printf '%-20s groups: %s\n' "$target" "$(groups_of "$target")"
  done
}

selectors=()
pytest_args=()
cache=${VEXDAL_MATRIX_CACHE:-$root/build/matrix}
fail_fast=0
clean=0
jobs=1
timeout_seconds=3600
have_k=""
k_expr=""
need_value() { [[ $1 -ge 2 ]] || { echo "matrix.sh: $2 needs a value (see --help)" >&2; exit 2; }; }
while (($#)); do
  case $1 in
    --only) need_value $# "$1"; IFS=, read -r -a more <<<"$2"; selectors+=("${more[@]}"); shift 2 ;;
    --only=*) IFS=, read -r -a more <<<"${1#--only=}"; selectors+=("${more[@]}"); shift ;;
    -k) need_value $# "$1"; have_k=1 k_expr=$2; shift 2 ;;
    --cache) need_value $# "$1"; cache=$2; shift 2 ;;
    --cache=*) cache=${1#--cache=}; shift ;;
    --keep-going) fail_fast=0; shift ;;
    --fail-fast) fail_fast=1; shift ;;
    --clean) clean=1; shift ;;
    --werror) export MATRIX_WERROR=1; shift ;;
    -j | --jobs) need_value $# "$1"; jobs=$2; shift 2 ;;
    -j[0-9]*) jobs=${1#-j}; shift ;;
    --timeout) need_value $# "$1"; timeout_seconds=$2; shift 2 ;;
    --list) list_targets; exit 0 ;;
    -h | --help) usage; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    -*) echo "matrix.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) selectors+=("$1"); shift ;;
  esac
done
for number in "$jobs" "$timeout_seconds"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "matrix.sh: '$number' is not a count" >&2; exit 2; }
done

selects() { # TARGET SELECTOR: by name, by group, or by shell pattern
  # shellcheck disable=SC2053 # the selector may be a pattern
  [[ $1 == $2 || " $(groups_of "$1") " == *" $2 "* ]]
}

# Which targets, in the matrix's own order whatever the order asked in.
selected=()
((${#selectors[@]})) || selectors=(all)
for selector in "${selectors[@]}"; do
  matched=0
  for target in "${all_targets[@]}"; do
    if selects "$target" "$selector"; then matched=1; fi
  done
  ((matched)) || { echo "matrix.sh: no target or group matches '$selector' (see --list)" >&2; exit 2; }
done
for target in "${all_targets[@]}"; do
  for selector in "${selectors[@]}"; do
    if selects "$target" "$selector"; then selected+=("$target"); break; fi
  done
done

mkdir -p "$cache/logs" "$cache/work"
cache=$(cd "$cache" && pwd -P)
if ((clean)); then
  rm -rf "$cache/venv" "$cache/build" "$cache"/armhf/pip-* "$cache"/armhf/module-*
fi
: >"$cache/work/pytest-args"
((${#pytest_args[@]} == 0)) || printf '%s\0' "${pytest_args[@]}" >"$cache/work/pytest-args"
export MATRIX_CACHE=$cache MATRIX_HAS_K=$have_k MATRIX_K=$k_expr
export MATRIX_PYTEST_ARGS=$cache/work/pytest-args

shown() { # PATH: relative to the current folder when inside it
  case $1 in "$PWD"/*) echo "${1#"$PWD"/}" ;; *) echo "$1" ;; esac
}

line_format='%-4s  %-19s %-27s %-20s %-53s %s\n'
line() { # STATUS TARGET VERSION BUILD TESTS TIME
  local text
  # shellcheck disable=SC2059 # the format is ours
  text=$(printf "$line_format" "$@")
  echo "${text%"${text##*[! ]}"}"
}

# launch TARGET: starts the target as a child of its own, in the background; when it ends, its
# status and duration land in work/TARGET.done.
declare -A pids=()
launch() {
  local target=$1 work=$cache/work/$1
  rm -rf "$work" "$work.done" "$work.result" "$work.pid"
  : >"$work.result"
  (
    start=$SECONDS rc=0
    # timeout signals its whole process group, so a hung test dies with its pytest; its pid is
    # kept for stopping the target on Ctrl-C (a background job does not get the terminal's).
    MATRIX_RESULT=$work.result MATRIX_WORK=$work \
      timeout --kill-after=30 "$timeout_seconds" "$BASH" "$script" --run-target "$target" \
      >"$cache/logs/$target.log" 2>&1 </dev/null &
    echo $! >"$work.pid"
    wait $! || rc=$?
    echo "$rc $((SECONDS - start))" >"$work.done.new"
    mv "$work.done.new" "$work.done"
  ) &
  pids[$target]=$!
}

stop_running() {
  local target
  trap - INT TERM
  for target in "${!pids[@]}"; do
    if [[ ! -f $cache/work/$target.done && -f $cache/work/$target.pid ]]; then
      kill -TERM "$(<"$cache/work/$target.pid")" 2>/dev/null || true
    fi
  done
  wait || true
  echo
  echo "matrix.sh: interrupted" >&2
  exit 130
}
trap stop_running INT TERM

passed=0 failed=0
missing=()
declare -A r
# report TARGET: prints the line of a target that has ended, and counts it.
report() {
  local target=$1 rc elapsed time_taken build tests log=$cache/logs/$1.log key value
  read -r rc elapsed <"$cache/work/$target.done"
  r=()
  while IFS='=' read -r key value; do r[$key]=$value; done <"$cache/work/$target.result"
  time_taken=$(printf '%dm%02ds' $((elapsed / 60)) $((elapsed % 60)))
  if [[ ${r[status]-} == notfound && -z ${r[fatal]-} ]]; then
    line ---- "$target" "not found: ${r[reason]-}" "" "" ""
    missing+=("$target")
    return
  fi
  if ((rc == 0)) && [[ ${r[status]-} == pass ]]; then
    line PASS "$target" "${r[version]:--}" "${r[build]-}" "${r[tests]-}" "$time_taken"
    passed=$((passed + 1))
    return
  fi
  if [[ -n ${r[fatal]-} ]]; then
    build="could not run: ${r[reason]-}"
    tests=""
  else
    build=${r[build]:-"${r[stage]:-setup} FAILED"}
    tests=${r[tests]:--}
  fi
  if ((rc == 124 || rc == 137)); then
    build="timed out in ${r[stage]:-setup}"
    tests="after ${timeout_seconds}s"
  fi
  line FAIL "$target" "${r[version]:--}" "$build" "$tests" "$time_taken"
  failed=$((failed + 1))
  echo "      log: $(shown "$log")"
  tail -n 25 "$log" | sed 's/^/      | /'
}

header="matrix: ${#selected[@]} target$( ((${#selected[@]} == 1)) || echo s), cache $(shown "$cache")"
if [[ -n $have_k ]]; then header+=", pytest -k '$k_expr'"; fi
if ((jobs > 1)); then header+=", $jobs at a time"; fi
echo "$header"

# Up to $jobs targets run at once; lines come out in the matrix's order as targets end.
next=0 printed=0 stopped=0
while ((printed < ${#selected[@]})); do
  running=()
  for ((i = printed; i < next; i++)); do
    [[ -f $cache/work/${selected[i]}.done ]] || running+=("${selected[i]}")
  done
  while ((${#running[@]} < jobs && next < ${#selected[@]} && !stopped)); do
    launch "${selected[next]}"
    running+=("${selected[next]}")
    next=$((next + 1))
  done
  target=${selected[printed]}
  if ((printed >= next)); then
    line ---- "$target" "not run: stopped after a failure (--fail-fast)" "" "" ""
    missing+=("$target")
    printed=$((printed + 1))
    continue
  fi
  if [[ -f $cache/work/$target.done ]]; then
    wait "${pids[$target]}" || true
    if [[ -t 1 ]]; then printf '\r\033[K'; fi
    before=$failed
    report "$target"
    if ((fail_fast && failed > before)); then stopped=1; fi
    printed=$((printed + 1))
    continue
  fi
  if [[ -t 1 ]]; then
    printf '\r\033[K      running %s (logs in %s)' "${running[*]}" "$(shown "$cache/logs")"
  fi
  sleep 1
done

if ((${#missing[@]})); then
  echo "not found or not run, not counted as failures: ${missing[*]}"
fi
summary="$passed passed, $failed failed"
if ((${#missing[@]})); then summary+=", ${#missing[@]} skipped"; fi
echo "$summary"
((failed == 0))
