#!/usr/bin/env bash
# Times the engine of the working tree against the engine of another
# revision in one process, in turn, round after round (bench/ab/): on a
# shared machine that is the only way to see a change of a few per cent.
#
#   tools/ab-engine.sh [REV] [ENCODING] [ROUNDS] [CORPUS_NAME...]
#     REV       the revision to compare with (default HEAD)
#     ENCODING  default cl100k_base;  ROUNDS default 20
#     CORPUS    names in ../shared/corpus (default prose-en code-python)
#
# Calibration on the 2-core VM this was written on: two identical engines
# (REV = HEAD, no change) gave medians up to 6% apart, and each side won
# 40-60% of the rounds; a change that wins 80% of them or more is real.
#
# The base revision's src/engine is compiled with -Dzelkor=zelkor_base, so
# its symbols cannot clash with the working tree's; both use the data
# images of the working tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=${1:-HEAD}
encoding=${2:-cl100k_base}
rounds=${3:-20}
shift $(( $# < 3 ? $# : 3 ))
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(prose-en code-python)

work="$root/build/ab-engine"
build="$work/new"
mkdir -p "$work"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" --target zelkor_engine >/dev/null

base_src="$work/base-src"
rm -rf "$base_src" && mkdir -p "$base_src"
git -C "$root" archive "$rev" src/engine | tar -x -C "$base_src"

flags=(-std=c++20 -O3 -DNDEBUG -fvisibility=hidden)
objs="$work/base-obj"
rm -rf "$objs" && mkdir -p "$objs"
jobs=$(nproc 2>/dev/null || echo 2)
for src in "$base_src"/src/engine/*.cpp; do
  g++ "${flags[@]}" -Dzelkor=zelkor_base -I"$base_src/src/engine" -c "$src" \
      -o "$objs/$(basename "$src" .cpp).o" &
  while [ "$(jobs -r | wc -l)" -ge "$jobs" ]; do sleep 0.1; done
done
wait
g++ "${flags[@]}" -Dzelkor=zelkor_base -DRUNNER=run_base -I"$base_src/src/engine" \
    -c "$root/bench/ab/runner.cpp" -o "$work/runner_base.o"
g++ "${flags[@]}" -DRUNNER=run_new -I"$root/src/engine" -c "$root/bench/ab/runner.cpp" -o "$work/runner_new.o"
g++ "${flags[@]}" -Wall -Wextra -c "$root/bench/ab/ab_harness.cpp" -o "$work/ab_harness.o"
g++ -o "$work/ab_harness" "$work/ab_harness.o" "$work/runner_base.o" "$work/runner_new.o" "$objs"/*.o \
    "$build/libzelkor_engine.a" "$build/libzelkor_core.a" -pthread

files=()
for c in "${corpora[@]}"; do files+=("$root/../shared/corpus/$c.txt"); done
echo "base: $(git -C "$root" rev-parse --short "$rev")   new: working tree"
"$work/ab_harness" "$encoding" "$rounds" "${files[@]}"
