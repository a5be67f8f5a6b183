#!/usr/bin/env bash
# Installs everything the build and the test bench need on a Debian 12 (bookworm) amd64
# machine, and prepares the machine to run 32-bit Windows programs under Wine.
# Idempotent: with everything present it only checks, in a few seconds.
set -euo pipefail

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

native_packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev python3 git
  zlib1g-dev libgtest-dev googletest libcli11-dev libdeflate-dev libzopfli-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev binutils-mingw-w64-i686
)
bench_packages=(
  wine wine64 wine32:i386 xvfb xauth xdotool fonts-wqy-microhei
  python3-pefile imagemagick nsis
)

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

# The mirror of the machine's own Debian entry, so that no host name is written here.
debian_mirror() {
  local uri
  uri=$(grep -h -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -n 1 || true)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list)
  fi
  echo "$uri"
}

apt_updated=0
apt_update_once() {
  if [ "$apt_updated" -eq 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  apt_updated=0
fi

backports=/etc/apt/sources.list.d/bookworm-backports.sources
if [ ! -f "$backports" ]; then
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "setup: no Debian mirror found in the apt sources" >&2; exit 1; }
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" | as_root tee "$backports" >/dev/null
  apt_updated=0
fi

mapfile -t need < <(missing_packages "${native_packages[@]}" "${bench_packages[@]}")
if [ "${#need[@]}" -gt 0 ]; then
  apt_update_once
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# Wine's 32-bit loader is a 32-bit ELF program. Kernels that refuse those run it through
# qemu user-mode emulation; bookworm's own qemu is far too slow at Wine's start-up, so the
# backports one is used.
runs_32bit() {
  local probe=/usr/lib/wine/wine
  [ -x "$probe" ] || return 1
  # A 32-bit ELF that the kernel refuses fails with "Exec format error" (exit 126).
  "$probe" --version >/dev/null 2>&1
}

if ! runs_32bit; then
  if [ -z "$(missing_packages qemu-user-static)" ] \
     && /usr/bin/qemu-i386-static --version 2>/dev/null | grep -q 'version [1-9][0-9]'; then
    :
  else
    apt_update_once
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user-static
  fi
  qemu=/usr/bin/qemu-i386-static
  [ -x /usr/bin/qemu-i386 ] && qemu=/usr/bin/qemu-i386
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  # An entry of that name left disabled or without the F flag is replaced.
  if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    echo -1 | as_root tee /proc/sys/fs/binfmt_misc/qemu-i386 >/dev/null
  fi
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$qemu" | as_root tee /proc/sys/fs/binfmt_misc/register >/dev/null
fi

echo "setup: all packages present; 32-bit Windows programs run under Wine"
