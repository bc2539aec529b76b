#!/usr/bin/env bash
# Runs the whole pytest suite against extension modules built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The modules are built in build/asan-python for the python3 on PATH, laid
# out with the pure-Python files of src/zelkor/ as a package folder that
# comes first on PYTHONPATH, and the interpreter (not instrumented itself)
# runs with g++'s libasan preloaded. Leak detection is off because the
# interpreter leaks by design at exit. Every sanitizer report is written to
# a log folder, subprocesses of the tests included; the script fails when
# that folder is not empty or when pytest fails.
#
#   tools/sanitize-python.sh [PYTEST ARGS ...]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/asan-python"
python=$(python3 -c 'import sys; print(sys.executable)')

echo "== building _zelkor, _probe and _bulk for $python in $build"
# -O1 keeps the suite's time limits within reach under the sanitizers.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZELKOR_BUILD_PYTHON=ON -DZELKOR_PROBE=ON -DZELKOR_BUILD_TESTS=OFF \
  -DZELKOR_SANITIZE=address,undefined -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target _zelkor _probe _bulk -j2

pkg="$build/pkg/zelkor"
rm -rf "$build/pkg"
mkdir -p "$pkg"
# Files only: no __pycache__, no modules left there by another build.
find "$root/src/zelkor" -maxdepth 1 -type f ! -name '*.so' -exec cp {} "$pkg/" \;
cp "$build"/_zelkor*.so "$build"/_probe*.so "$build"/_bulk*.so "$pkg/"

libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  if [ ! -e "$lib" ]; then
    echo "sanitize-python: $lib not found (g++ -print-file-name)" >&2
    exit 2
  fi
done
# The interpreter does not link the C++ runtime; the sanitizer resolves its
# exception interceptors at start-up, so the runtime must be loaded by then,
# or the first C++ throw inside the module aborts in the sanitizer itself.
preload="$libasan:$libstdcxx"

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"

export PYTHONPATH="$build/pkg${PYTHONPATH:+:$PYTHONPATH}"
# Python objects on the system allocator, so that the sanitizer watches
# them too, not only the engine's memory.
export PYTHONMALLOC=malloc
# Out-of-memory must come back as a null pointer, as without the sanitizer:
# the tests check that the module turns it into MemoryError.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

# The package under test must be this build, not an installed copy.
where=$(LD_PRELOAD="$preload" "$python" -c 'import zelkor._zelkor as m; print(m.__file__)')
case "$where" in
  "$pkg"/*) ;;
  *)
    echo "sanitize-python: zelkor._zelkor comes from $where, not from $pkg" >&2
    exit 2
    ;;
esac

echo "== pytest under the sanitizers ($where)"
status=0
(cd "$root" && LD_PRELOAD="$preload" "$python" -m pytest -p no:cacheprovider "$@") \
  > >(tee "$build/pytest.log") 2>&1 || status=$?
wait  # for tee to finish writing the log
# Child processes that the tests start (worker processes of a cluster, say)
# may print their reports instead of writing them under $reports.
grep -E "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)" "$build/pytest.log" >"$reports/printed" ||
  rm -f "$reports/printed"

if [ -n "$(ls -A "$reports")" ]; then
  echo "== sanitizer reports" >&2
  for f in "$reports"/*; do
    echo "--- $f" >&2
    cat "$f" >&2
  done
  echo "sanitize-python: the sanitizers reported errors (pytest exit $status)" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitize-python: no sanitizer reports, but pytest failed (exit $status)" >&2
  exit "$status"
fi
echo "sanitize-python: pytest passed, no sanitizer reports"
