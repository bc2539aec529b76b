#!/usr/bin/env bash
# Builds the C++ unit tests with ThreadSanitizer (Debug) in build/tsan and
# runs the ones that share a tokenizer between threads: the stress tests,
# the pre-token cache, the batch engine and the pair-validity memo. Any race
# report fails the test that produced it, and so the script.
#
#   tools/tsan-stress.sh [CTEST ARGS ...]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/tsan"

tests=()
for name in test_stress test_pcache test_batch; do
  [ -f "$root/tests/cpp/$name.cpp" ] && tests+=("$name")
done
for src in "$root"/tests/cpp/test_*memo*.cpp; do
  [ -f "$src" ] && tests+=("$(basename "$src" .cpp)")
done
if [ ${#tests[@]} -eq 0 ]; then
  echo "tsan-stress: none of the stress tests exist yet" >&2
  exit 2
fi

echo "== building ${tests[*]} with ThreadSanitizer in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZELKOR_BUILD_TESTS=ON -DZELKOR_BUILD_PYTHON=OFF -DZELKOR_SANITIZE=thread >/dev/null
cmake --build "$build" --target "${tests[@]}" -j2

# A report makes the test exit with 66; halting at the first keeps the
# output readable.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4"
regex="^($(IFS='|'; echo "${tests[*]}"))\$"
echo "== ctest -R '$regex'"
ctest --test-dir "$build" -R "$regex" --output-on-failure --timeout 1800 "$@"
