#!/usr/bin/env bash
# Fuzzes the statement parser with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer
# for the given number of seconds (default 300) on every core, and prints how many inputs it ran.
# Any crash, hang, memory blow-up or broken invariant fails the run and is left under
# build/fuzz/findings; copy it into tests/data/fuzz/ so that the test suite replays it for good.
#
#   tools/fuzz.sh [SECONDS] [--merge]
#
# --merge afterwards folds what the run found into fuzz/corpus, the small corpus kept in the
# repository (the test suite replays it through the module), within its size limits.
# It needs clang with libFuzzer (Debian: clang); as root it installs it when it is missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

seconds=300
merge=false
for arg in "$@"; do
  case $arg in
    --merge) merge=true ;;
    ''|*[!0-9]*) echo "usage: tools/fuzz.sh [SECONDS] [--merge]" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done

if ! command -v clang++ >/dev/null; then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    # The package lists are refreshed only when the install fails with those the machine has. A
    # refresh that fails for one list (a mirror in the middle of a sync, another architecture's
    # index) still leaves the others to install from; the install says whether that sufficed.
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq clang >/dev/null ||
      { apt-get update -qq || true; apt-get install -y -qq clang >/dev/null; } ||
      { echo "fuzz.sh: apt-get install clang failed" >&2; exit 2; }
  else
    echo "fuzz.sh: clang++ is missing (Debian: apt-get install clang)" >&2
    exit 2
  fi
fi

work=$root/build/fuzz
cmake -S "$root" -B "$work/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVEXDAL_FUZZ=ON >/dev/null
cmake --build "$work/cmake" --parallel >/dev/null
fuzzer=$work/cmake/vexdal_fuzz

# Seeds are the statements the tests use and the example, each behind the byte that picks the
# fuzzer's hook: none, one that changes every kind of attribute, and one that also fails.
seeds=$work/seeds
mkdir -p "$seeds" "$work/corpus" "$work/findings"
for file in "$root"/tests/data/*.txt "$root"/examples/statement.txt; do
  name=$(basename "$file")
  for mode in 00 1f ff; do
    { printf "\\x$mode"; cat "$file"; } >"$seeds/$mode-$name"
  done
done

# The sanitizers stop at the first report; a finding also leaves its input in findings/.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
rm -f "$work"/findings/*
log=$work/fuzz.log
status=0
"$fuzzer" -fork="$(nproc)" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -dict="$root/fuzz/statement.dict" -artifact_prefix="$work/findings/" \
  -print_final_stats=1 "$work/corpus" "$root/fuzz/corpus" "$seeds" \
  $(find "$root/tests/data/fuzz" -maxdepth 0 -type d 2>/dev/null) >"$log" 2>&1 || status=$?

# In fork mode the status lines read "#<executions>: cov: ...": the last one is the total.
executions=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
findings=$(find "$work/findings" -type f | sort)
echo "fuzz.sh: ${executions:-0} executions in ${seconds} s on $(nproc) cores" \
  "($(find "$work/corpus" -type f | wc -l) inputs in the working corpus)"
if [[ -n $findings || $status != 0 ]]; then
  tail -40 "$log" >&2
  echo "fuzz.sh: findings (exit status $status):" >&2
  echo "${findings:-none saved}" >&2
  exit 1
fi

if $merge; then
  # Keep the repository's corpus small: the inputs that add coverage, up to 200 files of at most
  # 4 KiB (1 MiB in all at the very most).
  kept=$work/merged
  rm -rf "$kept" && mkdir -p "$kept"
  "$fuzzer" -merge=1 -max_len=4096 "$kept" "$root/fuzz/corpus" "$work/corpus" >/dev/null 2>&1
  rm -f "$root"/fuzz/corpus/*
  find "$kept" -type f -printf '%s %p\n' | sort -n | head -200 | cut -d' ' -f2- |
    while read -r file; do cp "$file" "$root/fuzz/corpus/"; done
  echo "fuzz.sh: fuzz/corpus holds $(find "$root/fuzz/corpus" -type f | wc -l) inputs," \
    "$(cat "$root"/fuzz/corpus/* | wc -c) bytes"
fi
