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
# $SID_ROOT by debootstrap --variant=minbase and kept for the next run, which
# only brings its packages up to date; /proc, /dev, /dev/pts and /sys are
# mounted into it for the run and unmounted however it ends. Every command in
# it runs under env -i, so that host variables naming host paths (PIP_CERT,
# SSL_CERT_FILE, a venv's PATH) stay out; pip there trusts the host's CA
# bundle, copied in and named in the chroot's /etc/pip.conf.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${SID_ROOT:-/var/tmp/context-compress-sid}
mirror=${SID_MIRROR:-http://deb.debian.org/debian}
# GCC 16, sid's g++, needs CXXABI_1.3.15 and GLIBCXX_3.4.21 of the C++
# runtime, past manylinux_2_17; GCC 12, the compiler of the cp313 wheel, does not.
wheel_cxx=${WHEEL_CXX:-g++-12}
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)

say() { echo "sid: $*" >&2; }
fail() { say "$*"; exit 1; }
[ "$(id -u)" = 0 ] || fail "debootstrap, mount and chroot need root"
for v in "${versions[@]}"; do
  [[ $v =~ ^3\.[0-9]+$ ]] || fail "$v is not a version like 3.14"
done

timings=()
timed() {
  local name=$1 start=$SECONDS
  shift
  say "$name ..."
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
}
report() { [ ${#timings[@]} -eq 0 ] || { say "timings:"; printf '  %s\n' "${timings[@]}" >&2; }; }

# Mount points inside the chroot, deepest last.
mounts_under() { awk -v r="$1/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts; }
unmount_all() {
  local m
  for m in $( (mounts_under "$root"; mounts_under "$root.part") | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m" || say "could not unmount $m"
  done
}
finish() {
  local status=$?
  unmount_all
  report
  exit "$status"
}

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock -n 9 || fail "another run holds $root.lock"
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Holding the lock, any mount still under the chroot was left by a run that
# was killed before it could clean up.
unmount_all

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

mount_all() {
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
  # A slave copy: what is mounted or unmounted below it never reaches the host's /dev.
  mount --make-rslave "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount --bind /sys "$root/sys"
  mount --make-rslave "$root/sys"
}

# The archive may be a dated snapshot whose Release file apt would refuse as expired.
APT=(apt-get -o Acquire::Check-Valid-Until=false -qq)
install_packages() {
  local packages=(g++ "$wheel_cxx" make) v
  for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv"); done
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  in_root "${APT[@]}" update
  in_root "${APT[@]}" install -y --no-install-recommends "${packages[@]}" >/dev/null
}

# pip in the chroot reaches PyPI with the host's CA bundle and nothing else
# of the host's pip configuration (its find-links, extra indexes and
# constraints are host paths).
configure_pip() {
  local bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
  [ -f "$bundle" ] || fail "no CA bundle at $bundle (set PIP_CERT)"
  cp -L "$bundle" "$root/etc/ssl/host-ca.pem"
  printf '[global]\ncert = /etc/ssl/host-ca.pem\n' >"$root/etc/pip.conf"
}

copy_tree() {
  local dest=$1
  rm -rf --one-file-system "$dest"
  mkdir -p "$dest"
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
  mkdir -p "$repo/dist"
  cp "$root$src/dist/$wheel" "$repo/dist/"
  say "$v: dist/$wheel"
}

[ -d "$root" ] || timed "debootstrap of sid" make_root
mount_all
timed "packages" install_packages
configure_pip
for v in "${versions[@]}"; do
  suite "$v"
done
