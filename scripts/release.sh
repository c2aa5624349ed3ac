#!/usr/bin/env bash
# The release: the shipping executable built from the release inputs in a clean build folder of its own,
# checked with szdd inspect, its x86-64 twin run through the field check under Wine, signed (a PEM key or a
# key on a PKCS#11 token) with a trusted timestamp, and written to DIR (default dist/) as PernaUpdate.exe,
# PernaFieldCheck.exe (the field check for test machines, unsigned), SHA256SUMS, inspect.txt, release.txt
# (the record of how it was made) and fieldcheck-wine.txt.
#   scripts/release.sh --perna FILE --kalendo FILE [--perna-time T] [--kalendo-time T] [--accept-size N]...
#       [--version A.B.C.D [--product-version A.B.C.D]] [--no-wine-check] [--out DIR]
#       (--sign-key KEY --sign-cert CERT [--pkcs11-module LIB] --timestamp URL... | --unsigned)
# Exit status 0 done, 1 refused or failed (the reason on stderr), 2 wrong usage, 130/143 stopped by Ctrl+C or
# TERM; in every case but 0, DIR is as it was and nothing is left beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# What marks DIR as this command's (with the names it wrote), and the folder a run builds in beside it (with
# the process that builds there), so that neither is ever taken for someone else's.
marker=.perna-release
marker_title="Made by scripts/release.sh, which replaces this folder whole when it is given it again. Its files:"
work_marker=.perna-release-build
seconds_per_authority=${RELEASE_TIMESTAMP_SECONDS:-60}

usage_text() {
  cat <<'EOF'
usage: scripts/release.sh --perna FILE --kalendo FILE [OPTION]...
           (--sign-key KEY --sign-cert CERT --timestamp URL... | --unsigned)
  --perna FILE, --kalendo FILE  the new PERNA.EXE and KALENDO.INI
  --perna-time T, --kalendo-time T
        each payload's last-write time once installed, "YYYY-MM-DD hh:mm:ss" in local time
        (default: the file's own last-write time, in this machine's time zone)
  --accept-size N
        the size in bytes of an installed PERNA.EXE this update replaces (give or take one byte):
        once for each build in the field (default: only the new PERNA.EXE's own size)
  --version V, --product-version V
        the file and product version a.b.c.d (--product-version: another product version)
  --sign-key KEY   a PEM key file, or the PKCS#11 URI (pkcs11:...) of a key on a token
  --pkcs11-module LIB   the token's PKCS#11 library, for a key on a token
        a token's PIN, or a PEM key's passphrase: from SIGN_PIN, else asked on the terminal
  --sign-cert CERT the certificate (PEM, the signer's first, then its chain)
  --timestamp URL  an RFC 3161 timestamp authority; several are tried in order, each for at most
        60 s (RELEASE_TIMESTAMP_SECONDS)
  --unsigned       no signature at all, for trials
  --no-wine-check  no field check of the x86-64 build under Wine
  --out DIR        where the release goes (default dist/): a new or empty folder, or one this
        command made before, which it replaces whole
  --help           this text
EOF
}

wrong_usage() {
  echo "release: $*" >&2
  usage_text >&2
  exit 2
}

fail() {
  echo "release: $*" >&2
  exit 1
}

# Input problems are all gathered, one line each, before the command gives up.
problems=0
problem() {
  echo "release: $*" >&2
  problems=$((problems + 1))
}

perna='' kalendo='' perna_time='' kalendo_time='' version='' product_version='' sign_key='' sign_cert=''
pkcs11_module='' unsigned='' wine_check=1 out=$root/dist
accept_sizes=() timestamps=()
while [ $# -gt 0 ]; do
  case $1 in
    --help | -h)
      usage_text
      exit 0
      ;;
    --unsigned | --no-wine-check)
      [ "$1" = --unsigned ] && unsigned=1 || wine_check=''
      shift
      continue
      ;;
  esac
  [ $# -ge 2 ] || wrong_usage "$1 needs a value"
  case $1 in
    --perna) perna=$2 ;;
    --kalendo) kalendo=$2 ;;
    --perna-time) perna_time=$2 ;;
    --kalendo-time) kalendo_time=$2 ;;
    --accept-size) accept_sizes+=("$2") ;;
    --version) version=$2 ;;
    --product-version) product_version=$2 ;;
    --sign-key) sign_key=$2 ;;
    --sign-cert) sign_cert=$2 ;;
    --pkcs11-module) pkcs11_module=$2 ;;
    --timestamp) timestamps+=("$2") ;;
    --out) out=$2 ;;
    *) wrong_usage "no such option: $1" ;;
  esac
  shift 2
done
[ -n "$perna" ] && [ -n "$kalendo" ] || wrong_usage "--perna and --kalendo are needed"
[ -n "$out" ] || wrong_usage "--out needs a folder"
# Signed and timestamped, or unsigned by explicit request: never signed without a timestamp, which would
# stop verifying when the certificate expires.
if [ -n "$unsigned" ]; then
  [ -z "$sign_key$sign_cert$pkcs11_module${timestamps[*]}" ] ||
    wrong_usage "--unsigned takes no --sign-key, --sign-cert, --pkcs11-module or --timestamp"
elif [ -z "$sign_key" ] || [ -z "$sign_cert" ] || [ ${#timestamps[@]} -eq 0 ]; then
  wrong_usage "signing needs --sign-key, --sign-cert and --timestamp; an unsigned release, --unsigned"
fi
[ -z "$product_version" ] || [ -n "$version" ] || wrong_usage "--product-version needs --version"
token=''
case $sign_key in pkcs11:*) token=1 ;; esac
[ -n "$token" ] || [ -z "$pkcs11_module" ] || wrong_usage "--pkcs11-module is for a --sign-key on a token (pkcs11:...)"
[ -z "$token" ] || [ -n "$pkcs11_module" ] || wrong_usage "a --sign-key on a token needs --pkcs11-module"
case $seconds_per_authority in
  '' | *[!0-9]* | 0)
    wrong_usage "RELEASE_TIMESTAMP_SECONDS must be a number of seconds, not \"$seconds_per_authority\""
    ;;
esac

bash "$root/scripts/deps.sh" release

# A file input: a plain file that can be read; 0 when it is one.
check_file() {
  local option=$1 path=$2
  if [ -d "$path" ]; then
    problem "$option: $path is a folder, not a file"
  elif [ ! -e "$path" ]; then
    problem "$option: no such file: $path"
  elif [ ! -f "$path" ]; then
    problem "$option: $path is not a plain file"
  elif [ ! -r "$path" ]; then
    problem "$option: $path cannot be read"
  else
    return 0
  fi
  return 1
}

# The inputs as absolute paths, and every file this command reads, which DIR must not hold.
inputs_read=()
for option in --perna --kalendo --sign-cert --pkcs11-module --sign-key; do
  case $option in
    --perna) path=$perna ;;
    --kalendo) path=$kalendo ;;
    --sign-cert) path=$sign_cert ;;
    --pkcs11-module) path=$pkcs11_module ;;
    --sign-key) path=$([ -n "$token" ] || echo "$sign_key") ;;
  esac
  [ -n "$path" ] || continue
  if check_file "$option" "$path"; then
    inputs_read+=("$option=$(realpath -- "$path")")
    if [ "$option" = --perna ] || [ "$option" = --kalendo ]; then
      [ -s "$path" ] || problem "$option: $path is empty"
    fi
  fi
done
input_path() {
  local entry
  for entry in "${inputs_read[@]}"; do
    [ "${entry%%=*}" != "$1" ] || echo "${entry#*=}"
  done
}
perna_file=$(input_path --perna)
kalendo_file=$(input_path --kalendo)

for url in "${timestamps[@]}"; do
  case $url in
    http://?* | https://?*) ;;
    *) problem "--timestamp: the timestamp authority must be an http:// or https:// URL: $url" ;;
  esac
done
for size in "${accept_sizes[@]}"; do
  case $size in *';'*) problem "--accept-size \"$size\" is not a number of bytes" ;; esac
done

# Where a time or version is not given, what the record says it came from.
zone=$(date +'%Z, UTC%:z')
perna_time_from="given (--perna-time)" kalendo_time_from="given (--kalendo-time)" version_from="given"
if [ -z "$perna_time" ] && [ -n "$perna_file" ]; then
  perna_time=$(date -r "$perna_file" +'%Y-%m-%d %H:%M:%S')
  perna_time_from="the file's own last-write time ($zone)"
fi
if [ -z "$kalendo_time" ] && [ -n "$kalendo_file" ]; then
  kalendo_time=$(date -r "$kalendo_file" +'%Y-%m-%d %H:%M:%S')
  kalendo_time_from="the file's own last-write time ($zone)"
fi
[ -n "$version" ] && version_from="given (--version)" || version_from="the build's defaults: no --version given"

# The times, versions and sizes, by the same checks the build makes at configure time; their lines are named
# as given here, not as the build calls them. A product version not given is not checked (it is the version),
# nor the time of a payload file that is missing.
checks=()
[ -z "$perna_time" ] || checks+=(-DPERNA_TIME="$perna_time")
[ -z "$kalendo_time" ] || checks+=(-DKALENDO_TIME="$kalendo_time")
[ -z "$version" ] || checks+=(-DUPDATER_FILE_VERSION="$version")
[ -z "$product_version" ] || checks+=(-DUPDATER_PRODUCT_VERSION="$product_version")
accept_list=$(IFS=';' && echo "${accept_sizes[*]}")
[ ${#accept_sizes[@]} -eq 0 ] || checks+=(-DPERNA_ACCEPT_SIZES="$accept_list")
if ! checked=$(cmake "${checks[@]}" -P "$root/cmake/release_inputs.cmake" 2>&1); then
  while IFS= read -r line; do
    problem "$line"
  done < <(echo "$checked" | grep -v -E '^CMake Error|^  the release inputs above|^$' |
    sed -e 's/^PERNA_TIME/--perna-time/' -e 's/^KALENDO_TIME/--kalendo-time/' -e 's/^UPDATER_FILE_VERSION/--version/' \
      -e 's/^UPDATER_PRODUCT_VERSION/--product-version/' -e 's/^PERNA_ACCEPT_SIZES/--accept-size/')
fi

# DIR must be absent, an empty folder (nothing in it to lose), or a folder this command made, holding only
# what it wrote there; and it must hold none of the inputs, which replacing it would destroy.
out=$(realpath -m -- "$out")
parent=$(dirname "$out")
name=$(basename "$out")
check_out() {
  local entry extra
  if [ ! -d "$parent" ]; then
    problem "--out: no folder $parent to hold $name"
    return
  fi
  for entry in "${inputs_read[@]}"; do
    case ${entry#*=} in
      "$out" | "$out"/*)
        problem "--out: $out holds ${entry#*=} (${entry%%=*}): a release replaces DIR whole, so it must hold no input"
        return
        ;;
    esac
  done
  if [ -e "$out" ] && [ ! -d "$out" ]; then
    problem "--out: $out is a file, not a folder: nothing is written over it"
  elif [ -d "$out" ] && [ -n "$(ls -A -- "$out")" ]; then
    if [ ! -f "$out/$marker" ] || [ "$(head -n 1 -- "$out/$marker")" != "$marker_title" ]; then
      problem "--out: $out is a folder this command did not make (no $marker in it): give a new or empty folder"
      return
    fi
    extra=$(ls -A -- "$out" | grep -v -x -F -e "$marker" -f <(tail -n +2 -- "$out/$marker") | head -3 |
      paste -sd, || true)
    [ -z "$extra" ] || problem "--out: $out holds ${extra//,/, }, which no release put there: move it away first"
  fi
}
check_out

if [ -z "$unsigned" ]; then
  if [ -z "$(input_path --sign-cert)" ]; then
    :
  elif ! openssl x509 -in "$sign_cert" -noout 2>/dev/null; then
    problem "--sign-cert: $sign_cert holds no PEM certificate"
  else
    # The first certificate of the file signs; the rest is its chain.
    signer=$(openssl x509 -in "$sign_cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    openssl x509 -in "$sign_cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
      problem "--sign-cert: the certificate of $signer does not allow code signing" \
        "(no Code Signing in its extended key usage)"
    not_before=$(openssl x509 -in "$sign_cert" -noout -startdate | cut -d= -f2)
    not_after=$(openssl x509 -in "$sign_cert" -noout -enddate | cut -d= -f2)
    if [ "$(date -d "$not_before" +%s)" -gt "$(date +%s)" ]; then
      problem "--sign-cert: the certificate of $signer is not valid before $not_before"
    elif ! openssl x509 -in "$sign_cert" -noout -checkend 0 >/dev/null; then
      problem "--sign-cert: the certificate of $signer expired on $not_after"
    elif ! openssl x509 -in "$sign_cert" -noout -checkend $((30 * 86400)) >/dev/null; then
      echo "release: warning: --sign-cert: the certificate of $signer expires on $not_after, within 30 days" >&2
    fi
  fi
  if [ -n "$token" ]; then
    case $sign_key in
      *pin-value=* | *pin-source=*) problem "--sign-key: the PIN goes in SIGN_PIN or at the prompt, never in the URI" ;;
    esac
  fi
fi

if [ "$problems" -gt 0 ]; then
  fail "nothing was built"
fi

# From here on whatever ends the run removes what it made. Everything is made in a folder beside DIR, which
# becomes DIR by a rename once it is complete: until then DIR stays as it was; should the run end between
# moving the earlier release aside and the rename, the earlier release is moved back.
work='' key_log=''
cleanup() {
  [ -z "$key_log" ] || rm -f -- "$key_log" "$key_log.pub"
  if [ -n "$work" ]; then
    [ -e "$out" ] || [ ! -e "$work/previous" ] || mv -T -- "$work/previous" "$out"
    rm -rf -- "$work"
  fi
}
stopped() {
  trap - INT TERM HUP
  echo "release: stopped ($1): $out is as it was, and nothing is left beside it" >&2
  [ "$1" = TERM ] && exit 143 || exit 130
}
trap cleanup EXIT
trap 'stopped Ctrl+C' INT
trap 'stopped TERM' TERM
trap 'stopped HUP' HUP

# The token's PIN, or the PEM key's passphrase: from SIGN_PIN, else asked on the terminal without echo. It is
# handed to openssl and osslsigncode on a file descriptor, never on a command line, which others may read.
secret='' encrypted=''
[ -z "$sign_key" ] || [ -n "$token" ] || ! grep -q -E '^-----BEGIN ENCRYPTED|^Proc-Type: 4,ENCRYPTED' -- "$sign_key" ||
  encrypted=1
if [ -n "$token$encrypted" ]; then
  what=$([ -n "$token" ] && echo "the token's PIN" || echo "the key's passphrase")
  if [ -n "${SIGN_PIN+set}" ]; then
    secret=$SIGN_PIN
    # Nothing this command starts needs it in its environment.
    unset SIGN_PIN
  elif { : </dev/tty; } 2>/dev/null; then
    printf '%s for %s: ' "${what^}" "$sign_key" >/dev/tty
    IFS= read -r -s secret </dev/tty || true
    echo >/dev/tty
  else
    fail "--sign-key: $what is needed: set SIGN_PIN, or run the command from a terminal to be asked"
  fi
fi

# The line that says why an openssl or osslsigncode run failed, out of its log: the reason of the first
# OpenSSL error (with the HTTP code or the host's answer, where there is one), else its own message.
failure_reason() {
  local log=$1 reason
  reason=$(grep -m 1 -o -E 'PIN incorrect|CURL failure: .*|HTTP status [0-9]+' "$log" |
    sed -E 's/^CURL failure: //; s/ [a-z]+:\/\/[^ ]*$//' || true)
  [ -n "$reason" ] || reason=$(grep -m 1 -E ':error:[0-9A-F]+:' "$log" | awk -F: '{
      r = $6; if ($9 != "" && $9 !~ /^(calling|server=)/) r = r ": " $9; print r }' || true)
  [ -n "$reason" ] || reason=$(grep -v -E '^(Engine |PE checksum|Connecting to|Failed$|Use the|Unable to set)' "$log" |
    grep -m 1 . || true)
  echo "${reason:-no reason given}"
}

if [ -n "$sign_key" ]; then
  # The key is the certificate's: the public key of the one (read from the token for a key there) is that of
  # the other.
  key_log=$(mktemp)
  # In a subshell of its own: the engine may crash on its way out after a failure, which is the log's to tell.
  if [ -n "$token" ]; then
    (PKCS11_MODULE_PATH=$pkcs11_module openssl pkey -engine pkcs11 -inform engine -in "$sign_key" -passin fd:3 \
      -pubout 3<<<"$secret" </dev/null || exit) >"$key_log.pub" 2>"$key_log" || true
  else
    (openssl pkey -in "$sign_key" -passin fd:3 -pubout 3<<<"$secret" </dev/null) >"$key_log.pub" 2>"$key_log" || true
  fi
  key_public=$(cat "$key_log.pub")
  if [ -z "$key_public" ]; then
    reason=$(failure_reason "$key_log")
    case $reason in
      'PIN incorrect') fail "--sign-key: the token refused the PIN" ;;
      *'object not found'*) fail "--sign-key: the token holds no private key at $sign_key" ;;
      *) [ -z "$encrypted" ] || fail "--sign-key: the passphrase does not open $sign_key" ;;
    esac
    fail "--sign-key: no private key could be read from $sign_key: $reason"
  fi
  [ "$key_public" = "$(openssl x509 -in "$sign_cert" -noout -pubkey)" ] ||
    fail "--sign-key and --sign-cert do not belong together: the key is not the one of the certificate of $signer"
fi

# A run stopped for good (killed, the machine down) leaves its folder beside DIR: removed by the next run once
# its process is gone. One whose process still runs is another release into the same DIR.
process_tag() {
  echo "$1 $(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $20 }') $(hostname)"
}
for left in "$parent/.$name".??????; do
  [ -d "$left" ] && [ -f "$left/$work_marker" ] || continue
  read -r pid _ <"$left/$work_marker" || pid=''
  if [ -n "$pid" ] && [ "$(process_tag "$pid")" = "$(cat "$left/$work_marker")" ]; then
    fail "another release into $out is running (process $pid, building in $left): wait for it to end"
  fi
  rm -rf -- "$left"
  echo "release: removed $left, left by a release that was stopped (process ${pid:-unknown})"
done

work=$(mktemp -d "$parent/.$name.XXXXXX") || fail "cannot create a folder in $parent"
process_tag $$ >"$work/$work_marker"

# What a build log says beyond its progress lines: the errors, and the build's own messages.
show_problems() {
  grep -v -E '^\[ *[0-9]+%\]|^(-- |Scanning |Consolidate |Built target )|^g?make(\[[0-9]+\])?: ' "$1" |
    cat -s >&2 || true
}

# Runs a build step with its output in the log; on failure shows what went wrong and stops.
build_step() {
  local log=$1 what=$2
  shift 2
  if ! "$@" >"$log" 2>&1; then
    show_problems "$log"
    fail "$what"
  fi
}

inputs=(-DPERNA_PAYLOAD="$perna_file" -DKALENDO_PAYLOAD="$kalendo_file" -DPERNA_TIME="$perna_time"
  -DKALENDO_TIME="$kalendo_time" -DPERNA_ACCEPT_SIZES="$accept_list")
if [ -n "$version" ]; then
  inputs+=(-DUPDATER_FILE_VERSION="$version" -DUPDATER_PRODUCT_VERSION="${product_version:-$version}")
fi
build=$work/build
release=$work/release
mkdir "$release"
echo "release: building PernaUpdate.exe in $build"
build_step "$work/configure.log" "the build could not be configured" \
  cmake -S "$root" --preset win32 -B "$build" "${inputs[@]}"
build_step "$work/build.log" "the build failed" \
  cmake --build "$build" --target PernaUpdate PernaFieldCheck -j "$(nproc)"
inspect() {
  "$build/host-tools/szdd" inspect "$1" >"$release/inspect.txt" 2>&1
}
# Nothing is signed that inspect finds unfit; what it reports of the signed file is what ships.
if ! inspect "$build/PernaUpdate.exe"; then
  cat "$release/inspect.txt" >&2
  fail "szdd inspect finds PernaUpdate.exe unfit to ship"
fi

# The same inputs built for x86-64, which Wine on this machine runs, and the field check run on it: in a build
# folder of the checkout's own (reused, so that only what the inputs change is built again), with the Wine
# prefix of the demo and the tests.
wine_result=''
if [ -z "$wine_check" ]; then
  wine_result="skipped, as asked (--no-wine-check)"
else
  missing=''
  for tool in /usr/lib/wine/wine64 Xvfb x86_64-w64-mingw32-g++ localedef; do
    command -v "$tool" >/dev/null || missing+=" $(basename "$tool")"
  done
  if [ -n "$missing" ]; then
    wine_result="skipped: no Wine here (missing:$missing; scripts/deps.sh demo installs it)"
    echo "release: the field check under Wine is $wine_result"
  fi
fi
if [ -z "$wine_result" ]; then
  wine_build=$root/build/release-wine-check
  began=$SECONDS
  echo "release: the field check under Wine, on the x86-64 build in $wine_build"
  mkdir -p "$root/build"
  build_step "$work/wine-configure.log" "the x86-64 build could not be configured" \
    cmake --fresh -S "$root" --preset win64 -B "$wine_build" "${inputs[@]}"
  build_step "$work/wine-build.log" "the x86-64 build failed" \
    cmake --build "$wine_build" --target PernaUpdate PernaFieldCheck wine_driver -j "$(nproc)"
  if ! python3 "$root/tests/wine/run_wine_scenarios.py" --prefix "$root/build/wine-prefix" \
    --updater "$wine_build/PernaUpdate.exe" --driver "$wine_build/demo/wine_driver.exe" --perna "$perna_file" \
    --kalendo "$kalendo_file" --field-check "$wine_build/PernaFieldCheck.exe" --field-check-only \
    >"$release/fieldcheck-wine.txt" 2>&1; then
    cat "$release/fieldcheck-wine.txt" >&2
    fail "the field check under Wine failed on the x86-64 build of these inputs"
  fi
  wine_result="passed: $(grep -o -E '[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped' "$release/fieldcheck-wine.txt"),"
  wine_result+=" in $((SECONDS - began)) s with the build (fieldcheck-wine.txt)"
fi

cp "$build/PernaUpdate.exe" "$work/PernaUpdate.exe"
signature=''
if [ -z "$unsigned" ]; then
  echo "release: signing with $sign_key"
  sign=(-certs "$sign_cert" -key "$sign_key" -h sha256 -n "カリヨム アップデートユーティリティ")
  [ -z "$token" ] || sign=(-pkcs11module "$pkcs11_module" "${sign[@]}")
  [ -z "$secret" ] || sign+=(-readpass /dev/fd/3)
  if ! osslsigncode sign "${sign[@]}" -in "$work/PernaUpdate.exe" -out "$work/signed.exe" 3<<<"$secret" </dev/null \
    >"$work/sign.log" 2>&1; then
    fail "signing failed: $(failure_reason "$work/sign.log")"
  fi
  # Each authority in turn, each bounded: one that takes the request and never answers must not hold the
  # release for good.
  authority='' tried=''
  for url in "${timestamps[@]}"; do
    echo "release: timestamping by $url (at most $seconds_per_authority s)"
    status=0
    timeout -k 5 "$seconds_per_authority" osslsigncode add -ts "$url" -h sha256 -in "$work/signed.exe" \
      -out "$work/stamped.exe" </dev/null >"$work/timestamp.log" 2>&1 || status=$?
    if [ "$status" -eq 0 ] && [ -s "$work/stamped.exe" ]; then
      authority=$url
      break
    fi
    rm -f "$work/stamped.exe"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      answer="no answer within $seconds_per_authority s"
    else
      answer=$(failure_reason "$work/timestamp.log")
    fi
    echo "release: $url: $answer" >&2
    tried+="${tried:+; }$url: $answer"
  done
  [ -n "$authority" ] || fail "no timestamp, so nothing is released: $tried"
  mv "$work/stamped.exe" "$work/PernaUpdate.exe"
  # The authority's time, as osslsigncode 2.9 and 2.5 (Debian 12's) show it.
  stamp_time=$(osslsigncode verify -in "$work/PernaUpdate.exe" 2>&1 |
    sed -n -E 's/^[[:space:]]*(Timestamp time|The signature is timestamped): //p' | head -1 || true)
  fingerprint=$(openssl x509 -in "$sign_cert" -noout -fingerprint -sha256 | cut -d= -f2)
  issuer=$(openssl x509 -in "$sign_cert" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')
  signature="signer               $signer
                     issuer $issuer
                     sha256 fingerprint $fingerprint
                     valid from $not_before to $not_after
signing key          $sign_key$([ -z "$token" ] || echo ", on a token through $pkcs11_module")
timestamp            $authority, at ${stamp_time:-a time osslsigncode did not show}${tried:+ (tried before it: $tried)}"
  if ! inspect "$work/PernaUpdate.exe"; then
    cat "$release/inspect.txt" >&2
    fail "szdd inspect finds the signed PernaUpdate.exe unfit to ship"
  fi
fi

mv "$work/PernaUpdate.exe" "$release/PernaUpdate.exe"
cp "$build/PernaFieldCheck.exe" "$release/"
(cd "$release" && sha256sum PernaUpdate.exe PernaFieldCheck.exe >SHA256SUMS)

# The record: each line from what was built, given and used; the accepted sizes and the versions as inspect
# reads them back from the executable.
sizes=$(sed -n 's/^accepted sizes of an installed PERNA.EXE: \(.*\) (each give or take one byte): ok$/\1/p' \
  "$release/inspect.txt")
ranges=$(sed -n 's/^  an installed PERNA.EXE older than the payload is replaced when it has \(.*\) bytes;$/\1/p' \
  "$release/inspect.txt")
mismatch="the version-mismatch box (「セットアップされているカリヨムのバージョンが違います」)"
if [ ${#accept_sizes[@]} -gt 0 ]; then
  accepted="$sizes, given (--accept-size): an older installed PERNA.EXE of $ranges bytes is replaced;
                     one of any other size gets $mismatch and keeps both old files"
else
  accepted="$sizes, the new PERNA.EXE's own size (no --accept-size given): only an older installed copy of
                     $ranges bytes is replaced; copies of any other size, such as the previous release's,
                     get $mismatch and keep both old files: name the sizes in the field with --accept-size"
fi
versions=$(awk '/^  (File|Product)Version +[0-9]/ { print $2 }' "$release/inspect.txt" | paste -sd/)
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
tools="$(cmake --version | head -1); $("$compiler" --version | head -1)"
[ -n "$unsigned" ] || tools+="; $(osslsigncode --version 2>&1 | head -1 | sed 's/, using:$//'); $(openssl version)"
[ -z "${wine_build:-}" ] || tools+="; $(/usr/lib/wine/wine64 --version)"
payload() {
  echo "$(stat -c %s "$1") bytes, sha256 $(sha256sum <"$1" | cut -d' ' -f1), installed time $2 local, $3"
}
sources=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "a checkout without git")
updater_digest=$(sed -n 's/  PernaUpdate.exe$//p' "$release/SHA256SUMS")
cat >"$release/release.txt" <<EOF
release of PernaUpdate.exe, made $(date +'%Y-%m-%d %H:%M:%S %Z (UTC%:z)') by scripts/release.sh from $sources
PernaUpdate.exe      $(stat -c %s "$release/PernaUpdate.exe") bytes, sha256 $updater_digest
PernaFieldCheck.exe  for test machines, unsigned
PERNA.EXE            $(payload "$perna_file" "$perna_time" "$perna_time_from")
KALENDO.INI          $(payload "$kalendo_file" "$kalendo_time" "$kalendo_time_from")
accepted sizes       $accepted
version              file/product $versions, $version_from
${signature:-signature            NONE: unsigned, as asked (--unsigned)}
field check (Wine)   $wine_result
tools                $tools
EOF
{
  echo "$marker_title"
  ls -A "$release"
} >"$release/$marker"

# DIR is checked again (the build took a while), then replaced: the earlier release is moved aside into the
# work folder, the new one renamed into place, and the earlier one goes with the work folder.
problems=0
check_out
[ "$problems" -eq 0 ] || fail "$out changed while the release was built: nothing was written"
if [ -e "$out" ]; then
  mv -T -- "$out" "$work/previous" || fail "cannot move $out aside"
fi
if ! mv -T -- "$release" "$out"; then
  mv -T -- "$work/previous" "$out" 2>/dev/null || true
  fail "cannot rename the release to $out"
fi

echo "release: $out: $(ls "$out" | paste -sd' ')"
cat "$out/release.txt" "$out/SHA256SUMS"
