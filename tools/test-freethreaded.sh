#!/usr/bin/env bash
# Runs the whole pytest suite under a free-threaded CPython with the lock
# off: builds zelkor for it in a fresh virtual environment, checks that
# importing zelkor leaves the lock off, then runs pytest with PYTHON_GIL
# unset, so that only the modules decide.
#
#   tools/test-freethreaded.sh INTERPRETER [PYTEST ARGS ...]
#
# INTERPRETER is a .tar.xz/.tar.gz archive of a relocatable free-threaded
# CPython (unpacked into a temporary folder), the folder it was unpacked
# into, or its python executable. When there is nothing at that path the
# script says so and exits 0: a clone without the interpreter skips this run.
#
# The test tools are installed with the constraints in ZELKOR_FT_CONSTRAINTS,
# or else in the constraints.txt beside the archive or folder when there is
# one: an interpreter from a development tree may need older releases. The
# build folder is build/<wheel tag> of the checkout, as for pip install.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
given=${1:-}
[ $# -gt 0 ] && shift

say() { printf '== %s (%s)\n' "$*" "$(date +%T)"; }
die() {
  echo "test-freethreaded: $*" >&2
  exit 2
}

if [ -z "$given" ] || [ ! -e "$given" ]; then
  echo "test-freethreaded: skipped: no free-threaded interpreter at ${given:-(none given)}"
  exit 0
fi
given=$(cd "$(dirname "$given")" && pwd)/$(basename "$given")

work=$(mktemp -d "${TMPDIR:-/tmp}/zelkor-ft.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT

find_python() {  # FOLDER: the free-threaded python executable under it
  find "$1" -maxdepth 3 -path '*/bin/python3*t' \( -type f -o -type l \) | sort | head -n 1
}

case "$given" in
  *.tar.xz | *.tar.gz | *.tgz | *.tar)
    say "unpacking $given"
    mkdir -p "$work/python"
    tar -xf "$given" -C "$work/python"
    python=$(find_python "$work/python")
    ;;
  *)
    if [ -d "$given" ]; then python=$(find_python "$given"); else python=$given; fi
    ;;
esac
[ -n "$python" ] && [ -x "$python" ] || die "no python3.*t executable in $given"
"$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' ||
  die "$python is not a free-threaded build"

constraints=${ZELKOR_FT_CONSTRAINTS:-$(dirname "$given")/constraints.txt}
if [ -f "$constraints" ]; then
  export PIP_CONSTRAINT=$constraints
  echo "   test tools constrained by $constraints"
fi

say "$("$python" -c 'import sys; print(sys.version.split()[0], sys.abiflags)'): virtual environment"
venv=$work/venv
"$python" -m venv "$venv"
# The build runs in this environment (no isolation), so that the constraints
# hold for the build tools too. numpy's and pyarrow's wheels may not exist
# for such an interpreter: the tests that need them skip.
"$venv/bin/python" -m pip install -q scikit-build-core pytest hypothesis regex

say "building and installing zelkor"
t0=$SECONDS
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$venv/bin/python" -m pip install -q --no-build-isolation -C cmake.define.ZELKOR_PROBE=ON "$root"
say "built in $((SECONDS - t0)) s"

# PYTHON_GIL unset: the lock stays off only if every module says it may.
unset PYTHON_GIL
"$venv/bin/python" -c '
import sys
import zelkor, zelkor._bulk, zelkor._probe
tok = zelkor.Tokenizer("cl100k_base")
assert tok.count_batch(["hello world"] * 3, 2) == [2, 2, 2]
sys.exit("importing zelkor turned the lock on" if sys._is_gil_enabled() else 0)' ||
  die "the lock is on after importing zelkor"
echo "   sys._is_gil_enabled() is False after import and use"

say "pytest"
cd "$root"
"$venv/bin/python" -m pytest -p no:cacheprovider -rs "$@"
say "done"
