#!/usr/bin/env bash
# Type checks of the installed package: stubtest holds the stubs to the
# modules, and mypy --strict reads the examples of the README and docs/ and
# tests/typing_usage.py as a user's program would.
#
#     tools/check-typing.sh     (the python on PATH has the package, numpy and mypy)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# From outside the source tree, so that the installed package is what is checked.
cd "$work"
echo "== stubtest zelkor"
python -m mypy.stubtest zelkor
echo "== mypy --strict over the documented examples"
python "$root/tools/extract_examples.py" examples
cp "$root/tests/typing_usage.py" examples/
# Third-party packages of some examples (dask, distributed, pyarrow, ray,
# pyspark) may be absent or untyped; zelkor's own types are what is checked.
# Some examples use what only 3.14 has (InterpreterPoolExecutor): they are
# read as 3.14 code.
python -m mypy --strict --python-version 3.14 --ignore-missing-imports --no-incremental \
  --untyped-calls-exclude=dask --untyped-calls-exclude=distributed examples
