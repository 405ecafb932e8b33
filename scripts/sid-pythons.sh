#!/usr/bin/env bash
# The suite on CPython versions this machine lacks, in a Debian sid chroot
# that has them (`make sid-pythons`, and .ci/run).
#
#   scripts/sid-pythons.sh [X.Y...]                    # default: 3.14 3.15
#   SID_MAKE="bench CXX=g++-12" scripts/sid-pythons.sh 3.14
#
# For each version, in a fresh copy of this tree (its tracked and untracked
# files, nothing that git ignores) at /root/cc-X.Y in the chroot: the release
# suite with stubtest (make test), the wheel (make wheel, built by
# $WHEEL_CXX), and the suite against that wheel installed outside the copy
# (scripts/test-wheel.sh). The wheels are copied to dist/ here. With SID_MAKE,
# those make targets run in the copy instead, and the copy stays for reading.
#
# Needs root and the network (Debian's archive, PyPI). The chroot is made at
# $SID_ROOT (default /var/cache/context-compress/sid) by debootstrap
# --variant=minbase and kept for the next run, which only brings its packages
# up to date; /proc, /dev, /dev/pts and /sys are mounted into it for the run
# and unmounted however it ends. Every command in it runs under env -i, so
# that host variables naming host paths (PIP_CERT, SSL_CERT_FILE, a venv's
# PATH) stay out; pip there trusts the host's CA bundle, copied in and named
# in the chroot's /etc/pip.conf.
#
# What root mounts and writes here, another local user must not be able to
# redirect: the chroot, its lock and its record of mounts live in a directory
# that only root can write, every directory from / down to it included, and
# each mount point is checked to be a real directory of the chroot before
# anything is mounted on it (see check_root and check_inside).
# SID_ONLY=checks stops after those checks (nothing is made or mounted);
# SID_ONLY=mounts mounts and unmounts the chroot's file systems and stops.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${SID_ROOT:-/var/cache/context-compress/sid}
mirror=${SID_MIRROR:-http://deb.debian.org/debian}
# GCC 16, sid's g++, needs CXXABI_1.3.15 and GLIBCXX_3.4.21 of the C++
# runtime, past manylinux_2_17; GCC 12, the compiler of the cp313 wheel, does not.
wheel_cxx=${WHEEL_CXX:-g++-12}
only=${SID_ONLY:-}
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)

say() { echo "sid: $*" >&2; }
fail() { say "$*"; exit 1; }
[ "$(id -u)" = 0 ] || fail "debootstrap, mount and chroot need root"
for v in "${versions[@]}"; do
  [[ $v =~ ^3\.[0-9]+$ ]] || fail "$v is not a version like 3.14"
done
case $only in ""|checks|mounts) ;; *) fail "SID_ONLY is checks or mounts, not $only" ;; esac

timings=()
timed() {
  local name=$1 start=$SECONDS
  shift
  say "$name ..."
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
}
report() { [ ${#timings[@]} -eq 0 ] || { say "timings:"; printf '  %s\n' "${timings[@]}" >&2; }; }

# --- where root may write -------------------------------------------------------------
#
# Rule: every path this script mounts on, writes or locks as root goes
# through directories that only root can change, from / down. Where another
# user can write a directory on the way (/var/tmp, /tmp, a group-writable
# one), they can put a symbolic link or a directory of their own in place of
# the next name, and root's mount or write lands where they chose: the host's
# /proc, /dev and /sys mounted into a tree they own, or a mount outside the
# chroot that no clean-up finds. A directory owned by root and writable by
# nobody else can only be changed by root, so a check of it holds until the
# mount or write it guards.

# Why $1 is not a directory only root can change (a symbolic link, no
# directory, another owner, a group or other write bit), or nothing.
not_root_only() {
  local kind uid mode
  # stat without -L describes a symbolic link itself: one look, no race.
  IFS=: read -r kind uid mode < <(stat -c '%F:%u:%a' -- "$1" 2>/dev/null) ||
    { echo "$1 does not exist"; return; }
  case $kind in
    directory) ;;
    "symbolic link") echo "$1 is a symbolic link"; return ;;
    *) echo "$1 is a $kind, not a directory"; return ;;
  esac
  [ "$uid" = 0 ] || { echo "$1 is owned by uid $uid, not by root"; return; }
  (( (8#$mode & 8#022) == 0 )) || echo "$1 can be written by group or others (mode $mode)"
}

# The chroot's path: absolute, in plain characters (it is matched against
# /proc/self/mounts and kept in a record a line per mount), and every
# directory from / down to it that exists yet root's alone; those that do not
# exist yet can then only be made by root.
check_root() {
  local path=/ part problem
  [[ $root =~ ^(/[A-Za-z0-9._+-]+)+$ && ! $root =~ /\.\.?(/|$) ]] ||
    fail "SID_ROOT must be an absolute path of letters, digits and ._+- without . or .. parts: $root"
  IFS=/ read -ra parts <<<"${root#/}"
  for part in "" "${parts[@]}"; do
    [ -z "$part" ] || path=${path%/}/$part
    [ -e "$path" ] || [ -L "$path" ] || break
    problem=$(not_root_only "$path")
    [ -z "$problem" ] || fail "refusing $root: $problem; the chroot must live where only root can write"
  done
}

# A mount point or directory inside the chroot: every directory from the
# chroot down to $1 is a real directory (no symbolic link, so nothing leads
# out of the chroot) that only root can change.
check_inside() {
  local target=$1 path=$root part problem
  [[ $target == "$root"/* ]] || fail "$target is not inside $root"
  IFS=/ read -ra parts <<<"${target#"$root"/}"
  for part in "${parts[@]}"; do
    path=$path/$part
    problem=$(not_root_only "$path")
    [ -z "$problem" ] || fail "refusing to use $target: $problem"
  done
}

# The chroot's parent directory, made (on a fresh machine) only below
# directories that passed check_root, so that it is root's alone too.
prepare_parent() {
  check_root
  [ -d "$(dirname "$root")" ] || [ "$only" = checks ] || {
    (umask 022 && mkdir -p -- "$(dirname "$root")")
    check_root
  }
}

# --- mounts, recorded as they are made ------------------------------------------------
#
# Rule: the clean-up unmounts exactly what this script mounted, in the reverse
# order, from a record written as each mount is made: never a search under
# the chroot's path, which misses a mount that went elsewhere. The record
# file ($root.mounts, beside the chroot) outlives a run that was killed, and
# the next run, holding the lock, unmounts what it names first.
record=$root.mounts
mounted=()

# Whether $1 is a mount point now (its exact path in /proc/self/mounts).
is_mounted() { awk -v m="$1" '$2 == m { found = 1 } END { exit !found }' /proc/self/mounts; }

mount_on() {
  local target=${*: -1}
  check_inside "$target"
  # Named in the record before the mount: a run killed in between leaves a
  # name the next run finds unmounted and passes over, never a mount unnamed.
  echo "$target" >>"$record"
  mount "$@"
  mounted+=("$target")
}

unmount_recorded() {
  local i m
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    m=${mounted[i]}
    umount -- "$m" 2>/dev/null || umount -l -- "$m" || { say "could not unmount $m"; return 1; }
  done
  mounted=()
  rm -f -- "$record"
}

# What a killed run left mounted, from its record; then no other mount may
# remain under the chroot, or its file systems would stack on top of it.
unmount_stale() {
  local names=() m i left
  if [ -f "$record" ] && [ ! -L "$record" ]; then
    mapfile -t names <"$record"
    for ((i = ${#names[@]} - 1; i >= 0; i--)); do
      m=${names[i]}
      [[ $m == "$root"/* ]] && is_mounted "$m" || continue
      umount -- "$m" 2>/dev/null || umount -l -- "$m" || fail "could not unmount $m, left by an earlier run"
    done
    rm -f -- "$record"
  fi
  left=$(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts)
  [ -z "$left" ] || fail "mounts under $root that no run of this script recorded: $(echo $left); unmount them first"
  # debootstrap mounts /proc and /sys in the tree it makes; a killed one leaves them.
  for m in $(awk -v r="$root.part/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m" || fail "could not unmount $m"
  done
}

finish() {
  local status=$?
  unmount_recorded || status=1
  report
  exit "$status"
}

mount_all() {
  mount_on -t proc proc "$root/proc"
  mount_on --bind /dev "$root/dev"
  # A slave copy: what is mounted or unmounted below it never reaches the host's /dev.
  mount --make-rslave "$root/dev"
  mount_on --bind /dev/pts "$root/dev/pts"
  mount_on --bind /sys "$root/sys"
  mount --make-rslave "$root/sys"
}

# --- the chroot ---------------------------------------------------------------------------

in_root() {
  local pass=() name
  for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL; do
    [ -z "${!name:-}" ] || pass+=("$name=${!name}")
  done
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive "${pass[@]}" chroot "$root" "$@"
}

make_root() {
  command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null; }
  rm -rf --one-file-system "$root.part"
  debootstrap --variant=minbase sid "$root.part" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; fail "debootstrap failed; the log is $root.debootstrap.log"; }
  mv "$root.part" "$root"
}

# A file written into the chroot: into a checked directory, and never through
# a symbolic link left at its name (by a package's script in the chroot).
put_file() {
  local dest=$1
  check_inside "$(dirname "$dest")"
  rm -f -- "$dest"
  cat >"$dest"
}

# The archive may be a dated snapshot whose Release file apt would refuse as expired.
APT=(apt-get -o Acquire::Check-Valid-Until=false -qq)
install_packages() {
  local packages=(g++ "$wheel_cxx" make) v
  for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv"); done
  put_file "$root/etc/resolv.conf" </etc/resolv.conf
  in_root "${APT[@]}" update
  in_root "${APT[@]}" install -y --no-install-recommends "${packages[@]}" >/dev/null
}

# pip in the chroot reaches PyPI with the host's CA bundle and nothing else
# of the host's pip configuration (its find-links, extra indexes and
# constraints are host paths).
configure_pip() {
  local bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
  [ -f "$bundle" ] || fail "no CA bundle at $bundle (set PIP_CERT)"
  put_file "$root/etc/ssl/host-ca.pem" <"$bundle"
  printf '[global]\ncert = /etc/ssl/host-ca.pem\n' | put_file "$root/etc/pip.conf"
}

copy_tree() {
  local dest=$1
  check_inside "$(dirname "$dest")"
  rm -rf --one-file-system "$dest"
  mkdir -- "$dest"
  git -C "$repo" ls-files -z --cached --others --exclude-standard |
    (cd "$repo" && while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) |
    tar -C "$repo" --null -T - -cf - | tar -C "$dest" -xf -
}

# One version: the release suite, the wheel, the suite against the wheel.
suite() {
  local v=$1 src=/root/cc-$1 python=/usr/bin/python$1 wheel
  timed "$v: copy of the tree" copy_tree "$root$src"
  if [ -n "${SID_MAKE:-}" ]; then
    # shellcheck disable=SC2086  # SID_MAKE is targets and variables, split on purpose
    timed "$v: make $SID_MAKE" in_root make -C "$src" --no-print-directory $SID_MAKE PYTHON="$python"
    say "$v: the copy stays at $root$src"
    return
  fi
  timed "$v: release suite and stubtest" in_root make -C "$src" --no-print-directory test PYTHON="$python"
  timed "$v: wheel" in_root make -C "$src" --no-print-directory wheel PYTHON="$python" WHEEL_CXX="$wheel_cxx"
  wheel=$(cd "$root$src/dist" && ls routes_context_compress-*-cp${v/./}-*.whl)
  timed "$v: suite against the installed wheel" \
    in_root bash "$src/scripts/test-wheel.sh" "$python" "$src/dist/$wheel"
  [ -f "$root$src/dist/$wheel" ] && [ ! -L "$root$src/dist/$wheel" ] ||
    fail "$root$src/dist/$wheel is no regular file"
  mkdir -p "$repo/dist"
  cp "$root$src/dist/$wheel" "$repo/dist/"
  say "$v: dist/$wheel"
}

main() {
  prepare_parent
  if [ ! -d "$(dirname "$root")" ]; then
    say "$(dirname "$root") does not exist yet: a run makes it, root's alone"
    exit 0
  fi
  # The lock sits beside the chroot, where only root can make a name.
  [ ! -L "$root.lock" ] || fail "$root.lock is a symbolic link"
  exec 9>>"$root.lock"
  flock -n 9 || fail "another run holds $root.lock"
  trap finish EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  unmount_stale

  if [ ! -d "$root" ]; then
    if [ "$only" = checks ]; then
      say "no chroot at $root yet: a run makes it with debootstrap"
      exit 0
    fi
    timed "debootstrap of sid" make_root
    check_root
  fi
  local target
  for target in proc dev sys; do check_inside "$root/$target"; done
  if [ "$only" = checks ]; then
    say "$root: checks passed"
    exit 0
  fi
  mount_all
  if [ "$only" = mounts ]; then
    say "$root: mounted $(echo "${mounted[@]}")"
    exit 0
  fi
  timed "packages" install_packages
  configure_pip
  for v in "${versions[@]}"; do
    suite "$v"
  done
}

main
