#!/usr/bin/env bash
# The part of the test matrix that nox cannot do: 32-bit ARM (armhf) without Docker. Debian's
# armhf packages are unpacked into a sysroot, the module or the parser's C++ test is cross-built
# against it with tools/armhf-toolchain.cmake, and everything armhf runs under qemu-arm. Ends with
# one line: PASS or FAIL, target, version, build (with its count of compiler warnings), tests.
#
# Usage: tools/matrix.sh [--werror] [--results FILE] TARGET [-- PYTEST_ARGS...]
#
#   armhf-cpython-3.11  Debian's armhf CPython 3.11, module cross-built, the suite run
#   armhf-pypy          Debian's armhf PyPy, the same way
#   armhf-core          the parser's C++ test cross-built, run by ctest
#
# `nox -s armhf-cpython-3.11` (and the others) calls it with --werror, from a venv whose python
# is the host twin of the emulated interpreter (same implementation and version: it fetches the
# armhf test dependencies of pyproject.toml's "test" extra) and holds CMake 4.1 or later and the
# project's build backend. --werror fails a build with any compiler warning; --results writes
# the line's facts as KEY=VALUE lines for `nox -s table`.
#
# As root it installs what is missing with apt-get: g++-arm-linux-gnueabihf, qemu-user, and
# the armhf foreign architecture, so that apt-get download fetches the armhf packages into the
# cache; nothing armhf is installed on the machine. The cache (build/armhf, or
# $VEXDAL_ARMHF_CACHE) keeps the .deb files, the sysroot, the CMake build folders and the armhf
# test dependencies; the module is compiled in full on every run, so all warnings are counted.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${VEXDAL_ARMHF_CACHE:-$root/build/armhf}
triplet=arm-linux-gnueabihf

# The emulated interpreters' packages: the C and C++ runtime, the libraries of the standard
# library's extension modules (ctypes needs libffi, hashlib libssl, ...), both interpreters with
# their standard libraries, and their headers (libpython3.11-dev has the per-architecture
# pyconfig.h). pypy3-dev is the same for every architecture.
armhf_packages=(
  libc6:armhf libgcc-s1:armhf libstdc++6:armhf zlib1g:armhf libexpat1:armhf libffi8:armhf
  libssl3:armhf libbz2-1.0:armhf liblzma5:armhf libsqlite3-0:armhf libncursesw6:armhf
  libtinfo6:armhf libuuid1:armhf libcrypt1:armhf libgdbm6:armhf
  python3.11-minimal:armhf libpython3.11-minimal:armhf libpython3.11-stdlib:armhf
  libpython3.11-dev:armhf
  pypy3:armhf pypy3-lib:armhf pypy3-dev
)

werror=0 results=/dev/null target="" pytest_args=()
while (($#)); do
  case $1 in
    --werror) werror=1; shift ;;
    --results) results=$2; shift 2 ;;
    --) shift; pytest_args=("$@"); break ;;
    armhf-cpython-3.11 | armhf-pypy | armhf-core) target=$1; shift ;;
    -h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "matrix.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ -n $target ]] || { echo "matrix.sh: name a target (see --help)" >&2; exit 2; }

declare -A facts=([status]=FAIL [version]=- [build]="setup FAILED" [tests]=-)
# The line, and the facts for --results, whatever way the run ends.
finish() {
  local key
  printf '%-4s  %-19s %-27s %-30s %s\n' "${facts[status]}" "$target" "${facts[version]}" \
    "${facts[build]}" "${facts[tests]}"
  for key in status version build tests; do printf '%s=%s\n' "$key" "${facts[$key]}"; done \
    >"$results"
}
trap finish EXIT
step() { printf '\n### %(%H:%M:%S)T %s\n' -1 "$*"; }
fail() { echo "matrix.sh: $*" >&2; exit 1; }

# apt_install PACKAGE...: installs what is not there yet, as root only; the package lists are
# refreshed only when the install fails with the ones the machine has. A refresh that fails for
# one list (a mirror in the middle of a sync) still leaves the others to install from.
apt_install() {
  ((EUID == 0)) && command -v apt-get >/dev/null || fail "needs $* (apt-get install as root)"
  step "apt-get install $*"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "$@" ||
    { apt-get update || true; apt-get install -y --no-install-recommends "$@"; } ||
    fail "apt-get install $* failed"
}

# The cross compiler and the emulator. qemu-user has qemu-arm, qemu-user-static only
# qemu-arm-static; either runs one program with -L, neither needs binfmt_misc.
command -v "$triplet-g++" >/dev/null || apt_install "g++-$triplet"
command -v qemu-arm >/dev/null || command -v qemu-arm-static >/dev/null || apt_install qemu-user
qemu=$(command -v qemu-arm || command -v qemu-arm-static)
command -v cmake >/dev/null && printf '%s\n' 4.1 "$(cmake --version | head -n 1 | cut -d' ' -f3)" |
  sort -V -C || fail "needs CMake 4.1 or later on the PATH (FindPython cross-compiles with CMP0190)"

# The sysroot: the packages fetched with apt-get download and unpacked with dpkg -x. A package
# whose .deb is in the cache is not fetched again; the sysroot is unpacked again only when the
# set of .deb files changes.
debs=$cache/debs sysroot=$cache/sysroot want=()
mkdir -p "$debs"
for package in "${armhf_packages[@]}"; do
  compgen -G "$debs/${package%:armhf}_*.deb" >/dev/null || want+=("$package")
done
if ((${#want[@]})); then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    ((EUID == 0)) || fail "dpkg lacks armhf (as root: dpkg --add-architecture armhf)"
    step "dpkg --add-architecture armhf"
    dpkg --add-architecture armhf
    apt-get update || true  # the download below says whether the lists it needs came
  fi
  step "apt-get download ${want[*]}"
  # As root apt hands the download to the _apt user, who may not write to the cache.
  (cd "$debs" && apt-get -o APT::Sandbox::User=root download "${want[@]}") ||
    { ((EUID == 0)) && { apt-get update || true; } &&
      (cd "$debs" && apt-get -o APT::Sandbox::User=root download "${want[@]}"); } ||
    fail "apt-get download of the armhf packages failed"
fi
stamp=$(cd "$debs" && ls -- *.deb)
if [[ ! -f $sysroot/.debs || "$(<"$sysroot/.debs")" != "$stamp" ]]; then
  step "unpacking the sysroot $sysroot"
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for package in "$debs"/*.deb; do dpkg -x "$package" "$sysroot"; done
  printf '%s\n' "$stamp" >"$sysroot/.debs"
fi

toolchain=(--toolchain "$root/tools/armhf-toolchain.cmake" -DVEXDAL_ARMHF_SYSROOT="$sysroot"
           -DVEXDAL_QEMU_ARM="$qemu")

# build DIR CMAKE_ARGS...: configures once (configuring again costs the emulated FindPython runs,
# 20 s for PyPy; the build step configures by itself when CMakeLists.txt changes), then builds
# from clean so that every warning of the source is counted on every run. Warnings do not stop
# the build, so that all of them are seen; --werror fails it after.
build() {
  local dir=$1 warnings
  shift
  facts[build]="build FAILED"
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    step "cmake configure $dir"
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" "$@" ||
      { rm -f "$dir/CMakeCache.txt"; fail "cmake configure failed"; }
  fi
  step "cmake build"
  cmake --build "$dir" --clean-first --parallel "$(nproc)" 2>&1 | tee "$dir/build.out"
  warnings=$(grep -c ': warning: ' "$dir/build.out" || true)
  case $warnings in
    0) facts[build]="build ok" ;;
    1) facts[build]="build ok, 1 warning" ;;
    *) facts[build]="build ok, $warnings warnings" ;;
  esac
  if ((werror && warnings)); then fail "${facts[build]}, and --werror is on"; fi
}

if [[ $target == armhf-core ]]; then
  build "$cache/build/core" -DVEXDAL_CORE_TESTS=ON
  compiler=$(cat "$cache"/build/core/CMakeFiles/*/CMakeCXXCompiler.cmake)
  [[ $compiler =~ CMAKE_CXX_COMPILER_ID\ \"([^\"]*)\" ]] && facts[version]=${BASH_REMATCH[1]}
  [[ $compiler =~ CMAKE_CXX_COMPILER_VERSION\ \"([^\"]*)\" ]] &&
    facts[version]+=" ${BASH_REMATCH[1]}"
  step "ctest (under qemu-arm, as the toolchain file says)"
  facts[tests]="ctest FAILED"
  ctest --test-dir "$cache/build/core" -V 2>&1 | tee "$cache/build/core/ctest.out"
  checks=$(grep -oE '[0-9]+ checks, [0-9]+ failed' "$cache/build/core/ctest.out" | tail -n 1 ||
    true)
  facts[tests]="ctest passed ($checks)"
  facts[status]=PASS
  exit 0
fi

# A host script beside the interpreter in the sysroot that runs it under qemu-arm. Passing the
# script's own path as argv[0] (-0) makes it the interpreter's sys.executable, so tests that
# start "sys.executable -c ..." start the emulator again instead of an armhf binary this machine
# cannot execute; being beside the real one, it leads the interpreter to the sysroot's standard
# library, never this machine's. Absolute links inside the sysroot point into it.
program=$sysroot/usr/bin/python3.11
[[ $target == armhf-pypy ]] && program=$sysroot/usr/bin/pypy3
while [[ -L $program ]]; do
  link=$(readlink "$program")
  if [[ $link == /* ]]; then program=$sysroot$link; else program=$(dirname "$program")/$link; fi
done
[[ -x $program ]] || fail "the sysroot has no $program"
interpreter=$program-qemu
{
  echo '#!/bin/sh'
  # shellcheck disable=SC2016 # $0 and $@ are the wrapper's own, at its run
  printf 'exec %q -L %q -0 "$0" %q "$@"\n' "$qemu" "$sysroot" "$program"
} >"$interpreter"
chmod +x "$interpreter"

# Each start of an emulated interpreter costs seconds (PyPy's most), so it is asked things once:
# version, machine, and the extension suffix it looks for first.
info=$("$interpreter" -c 'import importlib.machinery, platform, sys
v = platform.python_version()
if platform.python_implementation() == "PyPy":
    v += " PyPy " + ".".join(map(str, sys.pypy_version_info[:3]))
print(v + " (" + platform.machine() + ")")
print(importlib.machinery.EXTENSION_SUFFIXES[0])')
facts[version]=${info%%$'\n'*}
suffix=${info#*$'\n'}
version=${facts[version]%% *}
host_version=$(python -c 'import platform; print(platform.python_version())')
[[ $host_version == "${version%.*}".* ]] ||
  fail "the host python is $host_version, the emulated one $version: they must be the same minor"

# The "test" extra as armhf wheels in a folder of their own, for PYTHONPATH. pip evaluates
# environment markers (python_version < "3.11" for tomli, ...) with the interpreter it runs on,
# whatever --python-version says, hence the host twin. Every manylinux tag the sysroot's glibc
# accepts: pip does not widen one --platform itself, and hypothesis has armv7l builds of its
# compiled part only as manylinux_2_17.
site=$cache/site-$target
mapfile -t requirements < <(python - "$root/pyproject.toml" <<'EOF'
import sys
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
EOF
)
libc=("$debs"/libc6_2.*_armhf.deb)
glibc=$(basename "${libc[0]}" | sed -E 's/^libc6_2\.([0-9]+).*/\1/')
platforms=()
for ((minor = glibc; minor >= 17; minor--)); do
  platforms+=(--platform "manylinux_2_${minor}_armv7l")
done
platforms+=(--platform manylinux2014_armv7l --platform linux_armv7l)
want="$(python -c 'import sys; print(sys.version)' | tr '\n' ' ') ${requirements[*]}"
if [[ ! -f $site/.stamp || "$(<"$site/.stamp")" != "$want" ]]; then
  # Some packages publish no armv7l build (the table readers; polars only for its runtime, a
  # dependency, hence the probe with them): the tests that need them skip, as on PyPy.
  wanted=("${requirements[@]}")
  requirements=()
  for requirement in "${wanted[@]}"; do
    if python -m pip download --quiet --only-binary=:all: --python-version "$version" \
      "${platforms[@]}" -d "$cache/probe" "$requirement" >/dev/null 2>&1; then
      requirements+=("$requirement")
    else
      echo "matrix.sh: no armv7l wheel of $requirement: the tests that need it skip"
    fi
  done
  step "pip install --target $site ${requirements[*]}"
  rm -rf "$site" "$site.new"
  # Their bytecode, compiled by the host twin, is the emulated interpreter's too.
  python -m pip install --target "$site.new" --only-binary=:all: --python-version "$version" \
    "${platforms[@]}" "${requirements[@]}"
  mv "$site.new" "$site"
  printf '%s\n' "$want" >"$site/.stamp"
fi

# Hypothesis's too_slow health check measures time; under emulation data generation runs 20 to
# 100 times slower, which says nothing about the module. This plugin turns that check, and
# deadlines, off for the emulated runs only.
plugins=$cache/plugins
mkdir -p "$plugins"
cat >"$plugins/vexdal_matrix_emulated.py" <<'EOF'
"""Loaded by tools/matrix.sh for runs under qemu-arm: timing checks there measure the emulator."""
from hypothesis import HealthCheck, settings

settings.register_profile("emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("emulated")
EOF

# CMP0190 NEW: FindPython runs the armhf interpreter through the emulator and takes headers, ABI
# and extension suffix from it (the toolchain file says why it cannot set this itself).
build "$cache/build/$target" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DPython_EXECUTABLE="$program"
# The project's own install rule lays the module out as the wheel would, and the build backend
# writes the .dist-info a wheel would install (its metadata hook builds nothing), so that
# `vexdal --version` finds the distribution as after pip install.
module_dir=$cache/module-$target
rm -rf "$module_dir"
cmake --install "$cache/build/$target" --prefix "$module_dir"
(cd "$root" && python -c 'import sys
from scikit_build_core.build import prepare_metadata_for_build_wheel
prepare_metadata_for_build_wheel(sys.argv[1])' "$module_dir")
[[ -f $module_dir/vexdal_py$suffix ]] || fail "no vexdal_py$suffix in $module_dir"

# The emulated interpreter sees this machine's files wherever the sysroot has none: it must not
# take the user's x86_64 site-packages (~/.local) for its own, nor a module lying elsewhere.
export PYTHONPATH=$module_dir:$plugins:$site PYTHONNOUSERSITE=1
where=$(cd "$root" && "$interpreter" -c 'import vexdal_py; print(vexdal_py.__file__)')
[[ $where == "$module_dir"/* ]] || fail "vexdal_py comes from $where, not from $module_dir"
step "pytest under qemu-arm"
facts[tests]="pytest FAILED"
out=$cache/pytest-$target.out
status=0
(cd "$root" && "$interpreter" -m pytest -q -p no:cacheprovider -p vexdal_matrix_emulated \
  "${pytest_args[@]}") 2>&1 | tee "$out" || status=${PIPESTATUS[0]}
# -q ends with "1 failed, 773 passed, 13 skipped, 6 xfailed in 181.31s (0:03:01)".
line=$(grep -E '^(=+ )?[0-9]+ [a-z]+.* in [0-9.]+s' "$out" | tail -n 1 || true)
summary=""
for word in passed failed skipped xfailed; do
  n=$(grep -oE "[0-9]+ $word" <<<"$line" | head -n 1 | cut -d' ' -f1 || true)
  summary+="${summary:+, }${n:-0} $word"
done
facts[tests]=$summary
((status == 0)) || fail "pytest ended with status $status"
facts[status]=PASS
