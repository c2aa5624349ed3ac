#!/usr/bin/env bash
# The release: the shipping executable built from the release inputs in a clean build folder of its own,
# checked with szdd inspect, signed with a trusted timestamp, and written to DIR (default dist/) as
# PernaUpdate.exe, PernaFieldCheck.exe (the field check for test machines, unsigned), SHA256SUMS and
# inspect.txt.
#   scripts/release.sh --perna FILE --kalendo FILE [--perna-time T] [--kalendo-time T]
#       [--version A.B.C.D [--product-version A.B.C.D]]
#       (--sign-key KEY --sign-cert CERT --timestamp URL | --unsigned) [--out DIR]
# Exit status 0 done, 1 failed (the reason on stderr; DIR untouched, nothing left beside it), 2 wrong usage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat >&2 <<'EOF'
usage: scripts/release.sh --perna FILE --kalendo FILE [--perna-time T] [--kalendo-time T]
           [--version A.B.C.D [--product-version A.B.C.D]]
           (--sign-key KEY --sign-cert CERT --timestamp URL | --unsigned) [--out DIR]
  T: the payload's last-write time once installed, "YYYY-MM-DD hh:mm:ss" in local time
     (default: the file's own last-write time, in this machine's time zone)
  --version: the file and product version (--product-version: another product version)
  --timestamp: the URL of an RFC 3161 timestamp authority; --unsigned: no signature at all
EOF
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

perna='' kalendo='' perna_time='' kalendo_time='' version='' product_version=''
sign_key='' sign_cert='' timestamp_url='' unsigned='' out=$root/dist
while [ $# -gt 0 ]; do
  if [ "$1" = --unsigned ]; then
    unsigned=1
    shift
    continue
  fi
  [ $# -ge 2 ] || usage
  case $1 in
    --perna) perna=$2 ;;
    --kalendo) kalendo=$2 ;;
    --perna-time) perna_time=$2 ;;
    --kalendo-time) kalendo_time=$2 ;;
    --version) version=$2 ;;
    --product-version) product_version=$2 ;;
    --sign-key) sign_key=$2 ;;
    --sign-cert) sign_cert=$2 ;;
    --timestamp) timestamp_url=$2 ;;
    --out) out=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -z "$perna" ] || [ -z "$kalendo" ] || [ -z "$out" ]; then
  usage
fi
# Signed and timestamped, or unsigned by explicit request: never signed without a timestamp, which would
# stop verifying when the certificate expires.
if [ -n "$unsigned" ]; then
  [ -z "$sign_key$sign_cert$timestamp_url" ] || usage
elif [ -z "$sign_key" ] || [ -z "$sign_cert" ] || [ -z "$timestamp_url" ]; then
  echo "release: signing needs --sign-key, --sign-cert and --timestamp; an unsigned release, --unsigned" >&2
  usage
fi
[ -z "$product_version" ] || [ -n "$version" ] || usage
for file in "$perna" "$kalendo" ${sign_key:+"$sign_key"} ${sign_cert:+"$sign_cert"}; do
  [ -f "$file" ] || fail "no such file: $file"
done
case $timestamp_url in
  '' | http://?* | https://?*) ;;
  *) fail "the timestamp authority must be an http:// or https:// URL: $timestamp_url" ;;
esac
perna=$(realpath -- "$perna")
kalendo=$(realpath -- "$kalendo")
out=$(realpath -m -- "$out")
parent=$(dirname "$out")
[ -d "$parent" ] || fail "no folder $parent to hold $(basename "$out")"

# Where a time or version is not given, what the summary says it came from.
zone=$(date +'%Z, UTC%:z')
perna_time_from="given" kalendo_time_from="given" version_from="given"
if [ -z "$perna_time" ]; then
  perna_time=$(date -r "$perna" +'%Y-%m-%d %H:%M:%S')
  perna_time_from="the file's own last-write time ($zone)"
fi
if [ -z "$kalendo_time" ]; then
  kalendo_time=$(date -r "$kalendo" +'%Y-%m-%d %H:%M:%S')
  kalendo_time_from="the file's own last-write time ($zone)"
fi
if [ -z "$version" ]; then
  version_from="the build's defaults: no --version given"
fi

bash "$root/scripts/deps.sh" release

# Every input is checked before anything is made, by the same checks the build makes at configure time.
inputs=(-DPERNA_PAYLOAD="$perna" -DKALENDO_PAYLOAD="$kalendo" -DPERNA_TIME="$perna_time" -DKALENDO_TIME="$kalendo_time")
if [ -n "$version" ]; then
  inputs+=(-DUPDATER_FILE_VERSION="$version" -DUPDATER_PRODUCT_VERSION="${product_version:-$version}")
fi
if ! checked=$(cmake "${inputs[@]}" -P "$root/cmake/release_inputs.cmake" 2>&1); then
  # Named as given here, not as the build calls them.
  echo "$checked" | grep -v -E '^CMake Error|^  the release inputs above|^$' | sed -e 's/^PERNA_TIME/--perna-time/' \
    -e 's/^KALENDO_TIME/--kalendo-time/' -e 's/^UPDATER_FILE_VERSION/--version/' -e 's/^PERNA_PAYLOAD/--perna/' \
    -e 's/^UPDATER_PRODUCT_VERSION/--product-version/' -e 's/^KALENDO_PAYLOAD/--kalendo/' -e 's/^/release: /' >&2
  fail "nothing was built"
fi

# Everything is made in a folder beside DIR, which becomes DIR by a rename once it is complete.
work=$(mktemp -d "$parent/.$(basename "$out").XXXXXX") || fail "cannot create a folder in $parent"
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
build=$work/build
configure=(--preset win32 -B "$build" "${inputs[@]}")
if [ -z "$unsigned" ]; then
  configure+=(-DSIGN_KEY="$(realpath -- "$sign_key")" -DSIGN_CERT="$(realpath -- "$sign_cert")"
    -DSIGN_TIMESTAMP_URL="$timestamp_url")
fi
echo "release: building PernaUpdate.exe in $build"
if ! (cd "$root" && cmake "${configure[@]}") >"$work/configure.log" 2>&1; then
  show_problems "$work/configure.log"
  fail "the build could not be configured"
fi
if ! cmake --build "$build" --target PernaUpdate PernaFieldCheck -j "$(nproc)" >"$work/build.log" 2>&1; then
  show_problems "$work/build.log"
  fail "the build failed"
fi
inspect() {
  (cd "$build" && host-tools/szdd inspect PernaUpdate.exe >"$work/inspect.txt" 2>&1)
}
# Nothing is signed that inspect finds unfit; what it reports of the signed file is what ships.
if ! inspect; then
  cat "$work/inspect.txt" >&2
  fail "szdd inspect finds PernaUpdate.exe unfit to ship"
fi
if [ -z "$unsigned" ]; then
  echo "release: signing, timestamped by $timestamp_url"
  if ! cmake --build "$build" --target sign_updater >"$work/sign.log" 2>&1; then
    show_problems "$work/sign.log"
    fail "signing or timestamping failed"
  fi
  inspect || {
    cat "$work/inspect.txt" >&2
    fail "szdd inspect finds the signed PernaUpdate.exe unfit to ship"
  }
fi

release=$work/release
mkdir "$release"
cp "$build/PernaUpdate.exe" "$build/PernaFieldCheck.exe" "$work/inspect.txt" "$release/"
(cd "$release" && sha256sum PernaUpdate.exe PernaFieldCheck.exe >SHA256SUMS)

if [ -e "$out" ]; then
  mv -T -- "$out" "$work/previous" || fail "cannot move the existing $out aside"
fi
if ! mv -T -- "$release" "$out"; then
  [ -e "$work/previous" ] && mv -T -- "$work/previous" "$out"
  fail "cannot rename the release to $out"
fi

versions=$(awk '/^  (File|Product)Version +[0-9]/ { print $2 }' "$out/inspect.txt" | paste -sd/)
cat <<EOF
release: $out: PernaUpdate.exe ($(stat -c %s "$out/PernaUpdate.exe") bytes), PernaFieldCheck.exe (for test machines, unsigned), SHA256SUMS, inspect.txt
  PERNA.EXE    $(stat -c %s "$perna") bytes, $perna_time, $perna_time_from
  KALENDO.INI  $(stat -c %s "$kalendo") bytes, $kalendo_time, $kalendo_time_from
  accepted     an installed PERNA.EXE of $(stat -c %s "$perna") bytes (give or take one)
  version      file/product $versions, $version_from
  signature    $([ -n "$unsigned" ] && echo "NONE: unsigned, as asked (--unsigned)" ||
  echo "$(openssl x509 -noout -subject -in "$sign_cert" 2>/dev/null || echo "$sign_cert"), timestamped by $timestamp_url")
EOF
cat "$out/SHA256SUMS"
