#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-19, AddressSanitizer + UndefinedBehaviorSanitizer)
# into build/fuzz and runs one of them:
#
#   scripts/fuzz.sh <target> <seconds> [libFuzzer options...]
#   scripts/fuzz.sh list
#
# Targets: field_type scalar_parse timestamp_pattern memory_value accumulator text_column csv_reader.
# The run starts from the committed seeds in tests/fuzz/corpus/<target> (read
# only) and keeps what it discovers in build/fuzz/corpus/<target>; a finding
# is written to build/fuzz/artifacts/<target>/ and the script exits non-zero.
# Replay one input with: build/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(field_type scalar_parse timestamp_pattern memory_value accumulator text_column csv_reader)

usage() {
  echo "usage: scripts/fuzz.sh <target> <seconds> [libFuzzer options...]   (targets: ${TARGETS[*]})" >&2
  exit 2
}

if [ "${1:-}" = list ]; then
  printf '%s\n' "${TARGETS[@]}"
  exit 0
fi
[ $# -ge 2 ] || usage
target=${1#fuzz_}
seconds=$2
shift 2
[[ " ${TARGETS[*]} " == *" $target "* ]] || { echo "fuzz.sh: unknown target '$target'" >&2; usage; }
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "fuzz.sh: seconds must be a whole number, got '$seconds'" >&2; usage; }

# clang-19 and its sanitizer/fuzzer runtimes.
. scripts/debian_packages.sh
ensure_debian_packages fuzz.sh clang-19 libclang-rt-19-dev
# The build reads Arrow's location from pyarrow in the virtual environment.
scripts/bootstrap.sh

BUILD=build/fuzz
.venv/bin/cmake -S tests/fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$BUILD" -j"${JOBS:-2}" --target "fuzz_$target"

seeds=tests/fuzz/corpus/$target
work=$BUILD/corpus/$target
artifacts=$BUILD/artifacts/$target
mkdir -p "$work" "$artifacts" "$seeds"
options=()
[ -f "tests/fuzz/dict/$target.dict" ] && options+=("-dict=tests/fuzz/dict/$target.dict")
# Columns of more than 16 KB of text take other ways through the check.
[ "$target" = text_column ] && options+=("-max_len=70000")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
exec "$BUILD/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=4096 \
  -artifact_prefix="$artifacts/" "${options[@]}" "$@" "$work" "$seeds"
