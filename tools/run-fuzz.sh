#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, Debug at -O1, AddressSanitizer
# and UndefinedBehaviorSanitizer) into build/fuzz and runs each for SECONDS
# on a scratch copy of its seed corpus, so the committed corpus never grows.
# Exits non-zero when a target fails to build or finds a crash, a leak, a
# sanitizer report or a failed check; the inputs that did it are kept in
# build/fuzz/findings/<target>/.
#
#   tools/run-fuzz.sh [SECONDS] [TARGET ...]     (default: 60 seconds, every target)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS] [TARGET ...]" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in "$root"/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

# Input size limits: small images keep construction fast, short texts keep
# the reference checks inside the targets cheap.
max_len_of() {
  case "$1" in
    fuzz_vocab_image) echo 4096 ;;
    fuzz_specials_image) echo 2048 ;;
    fuzz_uclass_image) echo 8192 ;;
    fuzz_encode) echo 1024 ;;
    fuzz_specials_encode) echo 600 ;;
    *) echo 4096 ;;
  esac
}

cxx=clang++
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "run-fuzz: $cxx not found (libFuzzer needs clang)" >&2
  exit 2
fi

echo "== building ${targets[*]} in $build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZELKOR_BUILD_FUZZ=ON -DZELKOR_BUILD_PYTHON=OFF -DZELKOR_BUILD_TESTS=OFF \
  -DZELKOR_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelkor-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
summary=()
for t in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/$t"
  work="$scratch/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "$seeds" ]; then cp "$seeds"/* "$work/corpus/" 2>/dev/null || true; fi
  echo "== $t: ${seconds}s, max_len $(max_len_of "$t")"
  log="$work/log"
  status=0
  "$build/$t" "$work/corpus" -max_total_time="$seconds" -max_len="$(max_len_of "$t")" \
    -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    tail -n 60 "$log"
    keep="$build/findings/$t"
    mkdir -p "$keep"
    cp "$work/artifacts"/* "$keep/" 2>/dev/null || true
    cp "$log" "$keep/log"
    failed+=("$t")
    summary+=("$t: FAILED (exit $status), ${execs:-?} runs, coverage ${cov:-?} edges; see $keep")
  else
    summary+=("$t: ok, ${execs:-?} runs, coverage ${cov:-?} edges")
  fi
done

echo "== summary"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzz: failures in ${failed[*]}" >&2
  exit 1
fi
