#!/usr/bin/env bash
# The release: the shipping executable built with the given payloads in a clean build folder of its own,
# checked with szdd inspect, signed when given a key, and written to DIR (default dist/) as
# PernaUpdate.exe, SHA256SUMS and inspect.txt.
#   scripts/release.sh --perna FILE --kalendo FILE [--sign-key KEY --sign-cert CERT] [--out DIR]
# Exit status 0 done, 1 failed (the reason on stderr; DIR untouched, nothing left beside it), 2 wrong usage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: scripts/release.sh --perna FILE --kalendo FILE [--sign-key KEY --sign-cert CERT] [--out DIR]" >&2
  exit 2
}

fail() {
  echo "release: $*" >&2
  exit 1
}

# What a build log says beyond its progress lines: the errors, and the build's own messages.
show_problems() {
  grep -v -E '^\[ *[0-9]+%\]|^(-- |Scanning |Consolidate |Built target )|^g?make(\[[0-9]+\])?: ' "$1" | cat -s >&2 || true
}

perna='' kalendo='' sign_key='' sign_cert='' out=$root/dist
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --perna) perna=$2 ;;
    --kalendo) kalendo=$2 ;;
    --sign-key) sign_key=$2 ;;
    --sign-cert) sign_cert=$2 ;;
    --out) out=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -z "$perna" ] || [ -z "$kalendo" ] || [ -z "$out" ]; then
  usage
fi
# A key and its certificate, or neither.
[ "${sign_key:+1}" = "${sign_cert:+1}" ] || usage
for file in "$perna" "$kalendo" ${sign_key:+"$sign_key"} ${sign_cert:+"$sign_cert"}; do
  [ -f "$file" ] || fail "no such file: $file"
done
perna=$(realpath -- "$perna")
kalendo=$(realpath -- "$kalendo")
out=$(realpath -m -- "$out")
parent=$(dirname "$out")
[ -d "$parent" ] || fail "no folder $parent to hold $(basename "$out")"

bash "$root/scripts/deps.sh" release

# Everything is made in a folder beside DIR, which becomes DIR by a rename once it is complete.
work=$(mktemp -d "$parent/.$(basename "$out").XXXXXX") || fail "cannot create a folder in $parent"
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
build=$work/build
configure=(--preset win32 -B "$build" -DPERNA_PAYLOAD="$perna" -DKALENDO_PAYLOAD="$kalendo")
if [ -n "$sign_key" ]; then
  configure+=(-DSIGN_KEY="$(realpath -- "$sign_key")" -DSIGN_CERT="$(realpath -- "$sign_cert")")
fi
echo "release: building PernaUpdate.exe in $build"
if ! (cd "$root" && cmake "${configure[@]}") >"$work/configure.log" 2>&1; then
  show_problems "$work/configure.log"
  fail "the build could not be configured"
fi
if ! cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1; then
  show_problems "$work/build.log"
  fail "the build failed"
fi

release=$work/release
mkdir "$release"
cp "$build/PernaUpdate.exe" "$release/"
if ! (cd "$release" && "$build/host-tools/szdd" inspect PernaUpdate.exe >inspect.txt 2>&1); then
  cat "$release/inspect.txt" >&2
  fail "szdd inspect finds PernaUpdate.exe unfit to ship"
fi
(cd "$release" && sha256sum PernaUpdate.exe >SHA256SUMS)

if [ -e "$out" ]; then
  mv -T -- "$out" "$work/previous" || fail "cannot move the existing $out aside"
fi
if ! mv -T -- "$release" "$out"; then
  [ -e "$work/previous" ] && mv -T -- "$work/previous" "$out"
  fail "cannot rename the release to $out"
fi
echo "release: $out: PernaUpdate.exe ($(stat -c %s "$out/PernaUpdate.exe") bytes, $([ -n "$sign_key" ] &&
  echo signed || echo unsigned)), SHA256SUMS, inspect.txt"
cat "$out/SHA256SUMS"
