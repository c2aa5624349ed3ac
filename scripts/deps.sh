#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, only those missing.
set -euo pipefail
packages=(
  cmake g++ make clang libclang-rt-14-dev libgtest-dev libbenchmark-dev python3 tzdata openssl
  mscompress libmspack-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 llvm
  wine64 xvfb xauth fonts-ipafont-gothic imagemagick osslsigncode
  # What Wine's X11 driver and message boxes use when present (recommended, not required, by wine64).
  wine fonts-wine libxrender1 libxrandr2 libxinerama1 libxi6 libxcursor1 libxcomposite1 libxfixes3 libxxf86vm1
  # The test guest (scripts/guest.sh): its machine, and what its image is made with.
  qemu-system-x86 debootstrap debian-archive-keyring e2fsprogs
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
