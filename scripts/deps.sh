#!/usr/bin/env bash
# Installs the Debian 12 packages a command needs, only those missing (as root, or through sudo).
#   scripts/deps.sh            everything the test command needs
#   scripts/deps.sh GROUP...   release: the shipping build and signing; demo: also the x86-64 build and Wine
set -euo pipefail
shipping_build=(cmake make g++ python3 g++-mingw-w64-i686 binutils-mingw-w64-i686)
# A signing key on a token is reached through OpenSSL's PKCS#11 engine, which osslsigncode loads too.
release=("${shipping_build[@]}" osslsigncode openssl libengine-pkcs11-openssl)
demo=(
  "${shipping_build[@]}" tzdata g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine64 xvfb fonts-ipafont-gothic imagemagick
  # The sources of the ja_JP.UTF-8 locale that the Wine session compiles (demo/wine_session.py).
  locales
  # What Wine's X11 driver and message boxes use when present (recommended, not required, by wine64).
  wine fonts-wine libxrender1 libxrandr2 libxinerama1 libxi6 libxcursor1 libxcomposite1 libxfixes3 libxxf86vm1
)
test=(
  "${release[@]}" "${demo[@]}" clang libclang-rt-14-dev libgtest-dev openssl mscompress libmspack-dev llvm xauth
  # The release stage's signing token.
  softhsm2
  # The test guest (scripts/guest.sh): its machine, and what its image is made with.
  qemu-system-x86 debootstrap debian-archive-keyring e2fsprogs
)

packages=()
for group in "${@:-test}"; do
  case $group in
    release) packages+=("${release[@]}") ;;
    demo) packages+=("${demo[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *) echo "usage: $0 [release|demo|test]..." >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  # A mirror mid-sync or a dropped connection fails an index now and then: apt retries each download, and
  # a failed update is tried once more after a pause. An index that still fails is a warning only (it may
  # belong to a suite nothing here needs, such as the security suite); a package that then cannot be had
  # fails the install, with apt's reason.
  retries=(-o Acquire::Retries=5)
  if ! "${as_root[@]}" apt-get update -q "${retries[@]}"; then
    echo "deps: apt-get update failed; trying again in 30 s"
    sleep 30
    "${as_root[@]}" apt-get update -q "${retries[@]}" ||
      echo "deps: warning: some package indexes could not be updated (above); installing from those there are"
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${retries[@]}" \
    "${missing[@]}"
fi
