#!/usr/bin/env bash
# Builds zelkor from this checkout inside a minimal Debian unstable root and
# runs the whole pytest suite under that root's CPython 3.14, once with numpy
# installed and once without it. Where the root's archive also offers the
# free-threaded interpreter (package python3.14-nogil, python3.14t), the suite
# runs under it as well, with PYTHON_GIL=0.
#
#   tools/test-on-cpython314.sh [PYTEST ARGS ...]
#   tools/test-on-cpython314.sh --bench [BENCH/RUN.PY ARGS ...]
#
# The root is made with debootstrap the first time and reused afterwards; the
# Debian mirror and any proxy come from this machine's apt configuration, the
# package index settings from its pip configuration. The checkout is copied
# into the root (the host's build/ stays untouched) and the corpora folder
# next to the checkout, when there is one, is mounted read-only beside the
# copy, where the tests look for it.
#
# Environment:
#   ZELKOR_PY314_ROOT     where the root lives (default /var/cache/zelkor/cpython314-sid)
#   ZELKOR_PY314_REFRESH  1: make the root anew
#   ZELKOR_DEBIAN_MIRROR  the Debian mirror, instead of the one apt uses here
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
chroot_dir=${ZELKOR_PY314_ROOT:-/var/cache/zelkor/cpython314-sid}
packages=(python3.14 python3.14-dev python3.14-venv g++ cmake ninja-build ca-certificates)
free_threaded_pkg=python3.14-nogil

mode=test
if [ "${1:-}" = "--bench" ]; then
  mode=bench
  shift
fi

say() { printf '== %s (%s)\n' "$*" "$(date +%T)"; }
die() {
  echo "test-on-cpython314: $*" >&2
  exit 2
}

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mount)"

# ---- mounts, always undone --------------------------------------------------------
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null ||
      echo "test-on-cpython314: could not unmount ${mounted[i]}" >&2
  done
  mounted=()
}
# Commands in the root run as background children that the shell waits for,
# so that a signal reaches the trap at once and the child is stopped first.
child=
on_signal() {
  if [ -n "$child" ]; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  exit "$1"
}
trap unmount_all EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

clear_stale_mounts() {  # DIR: unmount whatever is mounted under it, deepest first
  local m
  awk -v d="$1" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts | sort -r |
    while IFS= read -r m; do
      umount "$m" 2>/dev/null || umount -l "$m"
    done
}

mount_into() {  # ROOT: /proc, /dev and a private /dev/shm
  local r=$1
  mount -t proc proc "$r/proc"
  mounted+=("$r/proc")
  mount --bind /dev "$r/dev"
  mounted+=("$r/dev")
  # Not the host's /dev/shm: semaphores and shared memory stay in the root.
  mount -t tmpfs -o size=512m,mode=1777 shm "$r/dev/shm"
  mounted+=("$r/dev/shm")
}

# ---- host configuration carried into the root --------------------------------------
host_mirror() {
  if [ -n "${ZELKOR_DEBIAN_MIRROR:-}" ]; then
    echo "$ZELKOR_DEBIAN_MIRROR"
    return
  fi
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release; set ZELKOR_DEBIAN_MIRROR"
  # The repository of the main suite (not -updates or -security) of this system.
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' 2>/dev/null |
    awk -v s="$codename" '$2 == s && $3 == "deb" { print $1; exit }'
}

# Proxies and the clock checks (a snapshot mirror has expired Release files).
write_apt_conf() {  # ROOT
  apt-config dump |
    grep -E '^Acquire::((http|https|ftp)::Proxy|Check-Valid-Until|Check-Date) ' \
      >"$1/etc/apt/apt.conf.d/90host" || true
}

# Proxy settings for debootstrap's own downloads.
export_apt_proxy() {
  local p
  p=$(apt-config shell p Acquire::http::Proxy)
  eval "$p"
  if [ -n "${p:-}" ] && [ -z "${http_proxy:-}" ]; then export http_proxy=$p; fi
  p=$(apt-config shell p Acquire::https::Proxy)
  eval "$p"
  if [ -n "${p:-}" ] && [ -z "${https_proxy:-}" ]; then export https_proxy=$p; fi
  return 0
}

# pip inside the root must reach the index the way pip does here: the same
# configuration files, the files they name (certificates, constraints) copied,
# the local folders they name (find-links, file:// indexes) mounted read-only.
# A local index's pages link to files beside its simple/ folder, so the folder
# above simple/ is the one mounted.
carry_pip_config() {  # ROOT
  local r=$1 f v
  local configs=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
  local paths=()
  for f in "${configs[@]}"; do
    [ -f "$f" ] || continue
    mkdir -p "$r$(dirname "$f")"
    cp -f "$f" "$r$f"
    while IFS= read -r v; do paths+=("$v"); done < <(
      sed -n 's/^[[:space:]]*[A-Za-z_-]*[[:space:]]*=[[:space:]]*//p' "$f" | local_paths)
  done
  while IFS= read -r v; do paths+=("$v"); done < <(env | sed -n 's/^PIP_[A-Z_]*=//p' | local_paths)
  for v in "${paths[@]}"; do
    if [ -f "$v" ]; then
      mkdir -p "$r$(dirname "$v")"
      cp -fL "$v" "$r$v"
    elif [ -d "$v" ] && ! mountpoint -q "$r$v"; then
      mkdir -p "$r$v"
      mount --bind -o ro "$v" "$r$v" && mounted+=("$r$v")
    fi
  done
}

local_paths() {  # the absolute paths among whitespace-separated values
  tr ' \t' '\n\n' | sed -n -e 's#^file://\(/.*\)/simple/*$#\1#p' -e 's#^file://\(/.*\)#\1#p' -e '\#^/#p' |
    sed 's#/*$##' | sort -u
}

# The variables the root's commands see: nothing of this shell's virtual
# environment, PYTHONPATH and so on.
root_env() {
  # Two cores are shared by everybody here: the build runs two jobs at most.
  local e=(HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8
    DEBIAN_FRONTEND=noninteractive CMAKE_BUILD_PARALLEL_LEVEL=2)
  local line
  while IFS= read -r line; do e+=("$line"); done < <(
    env | grep -E '^(PIP_[A-Z_]*|(http|https|no)_proxy|(HTTP|HTTPS|NO)_PROXY|OPENBLAS_[A-Z0-9_]*|CI|TERM)=' || true)
  printf '%s\0' "${e[@]}"
}

in_root() {  # ROOT COMMAND...
  local r=$1
  shift
  local e=()
  while IFS= read -r -d '' line; do e+=("$line"); done < <(root_env)
  chroot "$r" /usr/bin/env -i "${e[@]}" "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}

# ---- the root -----------------------------------------------------------------------
make_root() {
  local new="$chroot_dir.new" mirror
  command -v debootstrap >/dev/null || {
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null 2>&1 || {
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    }
  }
  mirror=$(host_mirror)
  [ -n "$mirror" ] || die "no Debian repository in the apt configuration; set ZELKOR_DEBIAN_MIRROR"
  say "debootstrap unstable into $new"
  rm -rf --one-file-system "$new"
  mkdir -p "$(dirname "$new")"
  export_apt_proxy
  debootstrap --variant=minbase unstable "$new" "$mirror" >"$(dirname "$new")/debootstrap.log" 2>&1 || {
    tail -n 30 "$(dirname "$new")/debootstrap.log" >&2
    die "debootstrap failed (log: $(dirname "$new")/debootstrap.log)"
  }
  install_packages "$new"
  rm -rf --one-file-system "$chroot_dir"
  mv "$new" "$chroot_dir"
}

install_packages() {  # ROOT
  local r=$1 want=("${packages[@]}")
  write_apt_conf "$r"
  cp -f /etc/resolv.conf "$r/etc/resolv.conf"
  mount_into "$r"
  in_root "$r" apt-get update -qq
  if in_root "$r" apt-cache show "$free_threaded_pkg" >/dev/null 2>&1; then
    want+=("$free_threaded_pkg")
  fi
  say "apt-get install ${want[*]}"
  in_root "$r" apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
  in_root "$r" apt-get clean
  printf '%s\n' "${packages[@]}" >"$r/.zelkor-packages"
  unmount_all
}

mkdir -p "$(dirname "$chroot_dir")"
exec 9>"$(dirname "$chroot_dir")/.$(basename "$chroot_dir").lock"
flock 9  # one run at a time per root
# A run killed outright leaves its mounts; nothing below may delete through them.
clear_stale_mounts "$chroot_dir"
clear_stale_mounts "$chroot_dir.new"

start=$SECONDS
if [ "${ZELKOR_PY314_REFRESH:-0}" = 1 ] || [ ! -x "$chroot_dir/usr/bin/python3.14" ]; then
  make_root
elif [ "$(cat "$chroot_dir/.zelkor-packages" 2>/dev/null)" != "$(printf '%s\n' "${packages[@]}")" ]; then
  install_packages "$chroot_dir"  # the package list changed since the root was made
else
  say "reusing $chroot_dir"
fi
say "root ready after $((SECONDS - start)) s"

# ---- the checkout inside the root ----------------------------------------------------
r=$chroot_dir
work=/zelkor          # inside the root
src=$work/checkout/main
write_apt_conf "$r"
cp -f /etc/resolv.conf "$r/etc/resolv.conf"
carry_pip_config "$r"
mount_into "$r"

say "copying the checkout to $r$src"
incoming=$r$work/checkout/incoming
rm -rf --one-file-system "$incoming"
mkdir -p "$incoming" "$r$src" "$r$work/checkout/shared"
tar -C "$root" --exclude=./.git --exclude=./build --exclude=./dist --exclude=.hypothesis \
  --exclude=.pytest_cache --exclude=__pycache__ --exclude='*.so' --exclude='*.egg-info' -cf - . |
  tar -C "$incoming" -xf -
# The build folder persists between runs and the build tool compares times:
# a file whose content changed is written anew (so it is newer than anything
# built before), an unchanged one keeps its time.
(cd "$r$src" && find . -type f -print0) | while IFS= read -r -d '' f; do
  [ -f "$incoming/$f" ] || rm -f "$r$src/$f"
done
(cd "$incoming" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if ! cmp -s "$incoming/$f" "$r$src/$f"; then
    mkdir -p "$(dirname "$r$src/$f")"
    rm -f "$r$src/$f"
    cp "$incoming/$f" "$r$src/$f"
  fi
done
rm -rf --one-file-system "$incoming"

if [ -d "$root/../shared" ]; then
  mount --bind -o ro "$(cd "$root/../shared" && pwd)" "$r$work/checkout/shared"
  mounted+=("$r$work/checkout/shared")
else
  echo "test-on-cpython314: no shared/ next to the checkout; the benchmark mode has no corpus" >&2
fi

# ---- one interpreter: venvs, wheel, suite ---------------------------------------------
pyproject_list() {  # PYTHON KEY...: a list from pyproject.toml, one entry a line
  in_root "$r" "$1" -c '
import sys, tomllib
d = tomllib.load(open(sys.argv[1], "rb"))
for k in sys.argv[2:]:
    d = d[k]
print("\n".join(d))' "$src/pyproject.toml" "${@:2}"
}

failures=()
summary=()

run_interpreter() {  # PYTHON ARGS...: python3.14 or python3.14t, then pytest's or the benchmark's
  local py=$1 tag full bare wheeldir log
  tag=$(in_root "$r" "$py" -c 'import sys; print(sys.implementation.cache_tag + ("t" if sys.abiflags.endswith("t") else ""))')
  full=$work/venv/$tag-numpy
  bare=$work/venv/$tag-bare
  wheeldir=$work/wheels/$tag
  log=$r$work/build-$tag.log
  shift
  local extra_env=()
  [[ $py == *t ]] && extra_env=(PYTHON_GIL=0)

  say "$py: virtual environments"
  local v
  for v in "$full" "$bare"; do
    [ -x "$r$v/bin/python" ] || in_root "$r" "$py" -m venv "$v"
  done
  local build_reqs=() test_reqs=() bare_reqs=() line
  while IFS= read -r line; do build_reqs+=("$line"); done < <(pyproject_list "$py" build-system requires)
  while IFS= read -r line; do test_reqs+=("$line"); done < <(pyproject_list "$py" project optional-dependencies test)
  for line in "${test_reqs[@]}"; do [[ $line == numpy* ]] || bare_reqs+=("$line"); done
  # Wheels only: a dependency built from source here would cost minutes. The
  # venvs are set up again only when the requirements changed.
  local pip_install=(install -q --only-binary=:all:) stamp
  stamp=$(printf '%s\n' "${build_reqs[@]}" -- "${test_reqs[@]}")
  local with_numpy=yes
  if [ "$(cat "$r$full/.zelkor-reqs" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$r$full/.zelkor-reqs"
    in_root "$r" "$full/bin/pip" "${pip_install[@]}" "${build_reqs[@]}"
    if in_root "$r" "$full/bin/pip" "${pip_install[@]}" "${test_reqs[@]}"; then
      printf '%s\n' "$stamp" >"$r$full/.zelkor-reqs"
    else
      with_numpy=no
    fi
  fi
  [ "$with_numpy" = yes ] ||
    echo "test-on-cpython314: a test dependency has no wheel for $py; its suite runs without numpy only" >&2
  # Without numpy: every test dependency, less numpy and whatever needs it.
  if [ "$(cat "$r$bare/.zelkor-reqs" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$r$bare/.zelkor-reqs"
    in_root "$r" "$bare/bin/pip" "${pip_install[@]}" "${bare_reqs[@]}"
    local drop=(numpy) more
    while :; do
      more=$(in_root "$r" "$bare/bin/pip" show "${drop[@]}" 2>/dev/null | sed -n 's/^Required-by: *//p' |
        tr ', ' '\n\n' | grep . | sort -u | grep -vxF -f <(printf '%s\n' "${drop[@]}") || true)
      [ -n "$more" ] || break
      while IFS= read -r line; do drop+=("$line"); done <<<"$more"
    done
    in_root "$r" "$bare/bin/pip" uninstall -q -y "${drop[@]}" >/dev/null 2>&1 || true
    printf '%s\n' "${drop[@]}" >"$r$bare/.zelkor-dropped"
    printf '%s\n' "$stamp" >"$r$bare/.zelkor-reqs"
  fi
  local dropped
  dropped=$(tail -n +2 "$r$bare/.zelkor-dropped" | tr '\n' ' ')
  [ -z "$dropped" ] || echo "  without numpy also means without: $dropped"

  say "$py: building the wheel (log: $log)"
  local t0=$SECONDS
  rm -rf "$r$wheeldir"
  if ! in_root "$r" "$full/bin/pip" wheel -v --no-deps --no-build-isolation -w "$wheeldir" \
      -C "build-dir=$work/build/{wheel_tag}" -C cmake.define.ZELKOR_PROBE=ON "$src" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    failures+=("$py: build")
    return
  fi
  say "$py: built in $((SECONDS - t0)) s"
  # Compiler warnings of the files compiled this time (a warm build folder
  # recompiles only what changed).
  if grep -E ': warning: ' "$log" | sort -u | grep . >&2; then
    echo "test-on-cpython314: the compiler warned (above)" >&2
  fi
  local wheel
  wheel=$(cd "$r$wheeldir" && ls zelkor*.whl)
  for v in "$full" "$bare"; do
    in_root "$r" "$v/bin/pip" install -q --force-reinstall --no-deps "$wheeldir/$wheel"
  done

  if [ "$mode" = bench ]; then
    [ "$with_numpy" = yes ] || die "the benchmark needs numpy"
    say "$py: bench/run.py --no-baseline $*"
    in_root "$r" "${extra_env[@]}" sh -c "cd '$src' && exec '$full/bin/python' bench/run.py --no-baseline \"\$@\"" \
      bench "$@" || failures+=("$py: benchmark")
    return
  fi

  if [[ $py == *t ]]; then
    # The module declares that it needs no GIL: importing it must leave the
    # GIL off even when nothing forces it off.
    if ! in_root "$r" "$full/bin/python" -c '
import sys, zelkor
sys.exit(0 if not sys._is_gil_enabled() else "importing zelkor enabled the GIL")'; then
      failures+=("$py: GIL enabled on import")
    fi
  fi

  local legs=()
  [ "$with_numpy" = yes ] && legs+=("$full:with numpy")
  legs+=("$bare:without numpy")
  local leg venv label status
  for leg in "${legs[@]}"; do
    venv=${leg%%:*}
    label=${leg#*:}
    say "$py: pytest $label"
    status=0
    in_root "$r" "${extra_env[@]}" PATH="$venv/bin:/usr/bin:/bin" sh -c \
      "cd '$src' && exec python -m pytest -p no:cacheprovider \"\$@\"" pytest "$@" || status=$?
    if [ "$status" -eq 0 ]; then
      summary+=("$py $label: passed")
    else
      summary+=("$py $label: FAILED (pytest exit $status)")
      failures+=("$py $label")
    fi
  done
}

run_interpreter python3.14 "$@"
if [ -x "$r/usr/bin/python3.14t" ]; then
  run_interpreter python3.14t "$@"
elif [ "$mode" = test ]; then
  summary+=("python3.14t: not in this root's archive ($free_threaded_pkg), not run")
fi

say "finished after $((SECONDS - start)) s"
for line in "${summary[@]}"; do echo "  $line"; done
if [ ${#failures[@]} -gt 0 ]; then
  echo "test-on-cpython314: failed: ${failures[*]}" >&2
  exit 1
fi
