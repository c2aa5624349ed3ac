#!/usr/bin/env bash
# Stage: the Windows executables.
#   - builds the win32 (shipped) and win64 (run under Wine) presets, cheaply when already built;
#   - checks build/win32/PernaUpdate.exe as shipped: headers, imports, resources, version, footprint;
#   - szdd inspect on it and on damaged copies;
#   - scripts/release.sh stopped must leave nothing, killed its folder for the next run to remove; with the
#     sample payloads and times it must give the same bytes in a clean build of its own; the next build's
#     release (another size, times and version, the sample's size accepted) must be signed on a SoftHSM
#     token, timestamped after a silent authority, verify, record what inspect reads back, and pass the
#     field check under Wine, and its x86-64 updater must replace an older copy of the accepted size under
#     Wine and refuse one of the new size; each bad input and --out must stop it unbuilt, nothing changed;
#   - every scenario (or those WINE_STAGE_SCENARIOS names) under Wine on build/win64/PernaUpdate.exe, in one
#     prefix per CPU at once, compared
#     with the Linux stand-in, where LZ32 is loaded from, DLLs planted beside the updater, and the
#     fallbacks for systems without the DLL search flags, and the field check (fieldcheck/) run on it.
# Runs every check even when one fails; exit status 1 if any did.
set -uo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
failed=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step() {
  local name=$1
  shift
  echo "-- $name"
  if "$@"; then
    echo "-- $name: ok"
  else
    echo "-- $name: FAILED"
    failed=$((failed + 1))
  fi
}

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs" "${@:2}"
}

build win32 || exit 1
build win64 || exit 1
# The stand-in and the szdd tool (scripts/test.sh has built the native preset already).
build native --target PernaUpdate szdd_tool || exit 1

step "shipped executable" python3 tests/wine/check_shipped.py build/win32/PernaUpdate.exe \
  --szdd build/native/szdd --bin1 build/win32/payloads/BIN1.bin --bin2 build/win32/payloads/BIN2.bin

step "inspect on good and damaged executables" python3 tests/wine/check_inspect.py build/native/szdd \
  build/win32/PernaUpdate.exe build/win32/samples/PERNA.EXE

# The release command as the release engineer runs it, each time in a clean build folder of its own; only the
# token-signed release runs the field check under Wine.
samples=build/win32/samples
release() {
  bash scripts/release.sh "$@" >"$scratch/release.txt" 2>&1
}
sample_inputs=(--perna $samples/PERNA.EXE --kalendo $samples/KALENDO.INI --perna-time "2015-04-21 19:50:50"
  --kalendo-time "2015-04-30 13:49:06" --unsigned --no-wine-check)

# What the executable says (inspect.txt) and what the command recorded (release.txt) agree: each payload's
# length, digest and time, the accepted sizes, the updater's digest.
records_agree() {
  python3 - "$1" <<'EOF'
import hashlib, re, sys
read = lambda name: open("%s/%s" % (sys.argv[1], name)).read()
inspect, record = read("inspect.txt"), read("release.txt")
shown = re.findall(r"expands to (\d+): ok\n +sha256 (\w+): .*\n +installed as (\S+) .*time (.*) local: ok", inspect)
kept = re.findall(r"^(PERNA.EXE|KALENDO.INI) +(\d+) bytes, sha256 (\w+), installed time (.*) local", record, re.M)
sizes = [re.search(p, text, re.M).group(1) for p, text in (
    (r"^accepted sizes of an installed PERNA.EXE: (.*) \(each", inspect), (r"^accepted sizes +(.*?), [gt]", record))]
exe = hashlib.sha256(open(sys.argv[1] + "/PernaUpdate.exe", "rb").read()).hexdigest()
if sorted((n, s, d, t) for s, d, n, t in shown) != sorted(kept) or len(kept) != 2 or sizes[0] != sizes[1] or \
        "sha256 " + exe not in record:
    sys.exit("inspect.txt and release.txt disagree: %s / %s, sizes %s" % (shown, kept, sizes))
EOF
}

# Stopped with TERM it leaves nothing; killed, its folder stays beside DIR for the next run to remove.
release_stopped_or_killed() {
  local signal pid status
  for signal in TERM KILL; do
    setsid bash scripts/release.sh "${sample_inputs[@]}" --out "$scratch/dist" >"$scratch/$signal.txt" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
      compgen -G "$scratch/.dist.*/build" >/dev/null && break
      sleep 0.1
    done
    kill -$signal -- -$pid
    wait $pid
    status=$?
    echo "$signal: status $status, left beside DIR: $(compgen -G "$scratch/.dist*" || echo nothing)"
    if [ $signal = TERM ] && { [ $status != 143 ] || ! grep -q "stopped (TERM)" "$scratch/TERM.txt" ||
      compgen -G "$scratch/.dist*" >/dev/null; }; then
      return 1
    fi
  done
  [ ! -e "$scratch/dist" ] && [ "$(compgen -G "$scratch/.dist.*" | wc -l)" = 1 ]
}
step "release: stopped, it leaves nothing; killed, its folder stays" release_stopped_or_killed

release_gives_the_built_executable() {
  local out=$scratch/dist
  release "${sample_inputs[@]}" --out "$out" || {
    cat "$scratch/release.txt"
    return 1
  }
  local files
  files=$(ls -A "$out" | LC_ALL=C sort | tr '\n' ' ')
  if [ "$files" != ".perna-release PernaFieldCheck.exe PernaUpdate.exe SHA256SUMS inspect.txt release.txt " ]; then
    echo "the release holds: $files"
    return 1
  fi
  if ! cmp build/win32/PernaUpdate.exe "$out/PernaUpdate.exe"; then
    echo "the release and build/win32 differ"
    return 1
  fi
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) && records_agree "$out" || return 1
  grep -q "^signature            NONE: unsigned, as asked" "$scratch/release.txt" &&
    grep -q "^release: removed $scratch/.dist.*, left by a release that was stopped" "$scratch/release.txt" &&
    ! compgen -G "$scratch/.dist.*" >/dev/null || {
    cat "$scratch/release.txt"
    return 1
  }
  echo "the release is byte-identical to build/win32/PernaUpdate.exe ($(stat -c %s "$out/PernaUpdate.exe") bytes," \
    "sha256 $(cut -c1-16 "$out/SHA256SUMS")...); the killed run's folder was removed"
}
step "release: the sample payloads give the executable built here" release_gives_the_built_executable

# The next build: a PERNA.EXE two bytes longer, for the installed copies of the sample's size (the previous
# release), another KALENDO.INI, their own times (read in the scenarios' zone, UTC+9) and a version.
next=$scratch/next
mkdir "$next"
cp $samples/PERNA.EXE "$next/PERNA.EXE" && printf 'v2' >>"$next/PERNA.EXE"
printf '[2026]\r\n1=\x8c\xb3\x93\xfa0101\r\n' >"$next/KALENDO.INI"
next_times=("2026-03-02 10:00:00" "2026-03-01 09:30:00")
next_inputs=(--perna "$next/PERNA.EXE" --kalendo "$next/KALENDO.INI" --perna-time "${next_times[0]}"
  --kalendo-time "${next_times[1]}")

# The signing key on a SoftHSM token (PIN 1234) with its certificate, a certificate for another key and one
# without code signing, and the local authority's certificate.
export SOFTHSM2_CONF=$next/softhsm2.conf
mkdir "$next/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$next/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
token_key=(--sign-key "pkcs11:token=release;object=signer;type=private" --pkcs11-module $module)
for use in codeSigning timeStamping codeSigning,other serverAuth; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=PernaUpdate test $use" -keyout "$next/$use.key" \
    -addext "extendedKeyUsage=critical,${use%,*}" -out "$next/$use.pem" 2>/dev/null
done
softhsm2-util --init-token --free --label release --pin 1234 --so-pin 5678 >/dev/null &&
  openssl pkcs8 -topk8 -nocrypt -in "$next/codeSigning.key" -out "$next/token.key" &&
  softhsm2-util --import "$next/token.key" --token release --label signer --id 01 --pin 1234 >/dev/null &&
  rm "$next/codeSigning.key" "$next/token.key"

# Signed on the token, timestamped by a local authority on the loopback address (openssl ts answers each
# request) after one that takes the request and never answers, given 3 s; verified offline against both
# certificates. It accepts the sample's size, and the field check under Wine must pass on its x86-64 build.
release_signs_on_a_token_and_passes_the_field_check() {
  local out=$scratch/dist
  printf '%s\n' '[tsa]' default_tsa=t '[t]' "serial=$next/serial" "signer_cert=$next/timeStamping.pem" \
    "signer_key=$next/timeStamping.key" signer_digest=sha256 default_policy=1.2.3.4.1 digests=sha256 \
    ess_cert_id_alg=sha256 >"$next/tsa.cnf"
  python3 -c '
import http.server, socket, subprocess, sys
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", "/dev/stdin"],
                               input=query, stdout=subprocess.PIPE).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
silent = socket.create_server(("127.0.0.1", 0))
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(silent.getsockname()[1], server.server_port, flush=True)
server.serve_forever()' "$next/tsa.cnf" >"$next/ports" 2>/dev/null &
  local authority=$! ports=()
  for _ in $(seq 50); do
    read -r -a ports <"$next/ports" && [ ${#ports[@]} = 2 ] && break
    sleep 0.1
  done
  SIGN_PIN=1234 RELEASE_TIMESTAMP_SECONDS=3 release "${next_inputs[@]}" --version 1.0.1.0 --product-version 6.0.1.0 \
    --accept-size 610361 "${token_key[@]}" --sign-cert "$next/codeSigning.pem" --out "$out" \
    --timestamp "http://127.0.0.1:${ports[0]}" --timestamp "http://127.0.0.1:${ports[1]}"
  local status=$?
  kill $authority
  [ $status -eq 0 ] || { cat "$scratch/release.txt"; return 1; }
  if ! osslsigncode verify -CAfile "$next/codeSigning.pem" -TSA-CAfile "$next/timeStamping.pem" \
    -in "$out/PernaUpdate.exe" >"$next/verify.txt" 2>&1 ||
    ! grep -q "Timestamp Server Signature verification: ok" "$next/verify.txt"; then
    cat "$next/verify.txt"
    return 1
  fi
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) && records_agree "$out" || return 1
  # What inspect reads back from the code and the version resource; the authorities tried; the field check.
  local line
  for line in "inspect.txt:PERNA.EX_), last-write time ${next_times[0]} local: ok" \
    "inspect.txt:KALENDO.IN_), last-write time ${next_times[1]} local: ok" \
    "inspect.txt:installed PERNA.EXE: 610361 (each" "inspect.txt:FileVersion      1.0.1.0" \
    "inspect.txt:ProductVersion   6.0.1.0" "release.txt:${ports[0]}: no answer within 3 s" \
    "release.txt:timestamp            http://127.0.0.1:${ports[1]}, at " \
    "release.txt:on a token through $module" "fieldcheck-wine.txt:the sample installation's is 610361 bytes" \
    "fieldcheck-wine.txt:PASS other-size" "fieldcheck-wine.txt:7 passed, 0 failed, 2 skipped"; do
    grep -qF "${line#*:}" "$out/${line%%:*}" || { echo "${line%%:*} lacks: ${line#*:}"; return 1; }
  done
  echo "signed on the token, timestamped by 127.0.0.1:${ports[1]} after 3 s of silence at ${ports[0]}, verified;" \
    "accepts 610361 bytes; $(grep -o -E 'field check \(Wine\) .*' "$out/release.txt")"
}
step "release: the next build, signed on a token, with the field check under Wine" \
  release_signs_on_a_token_and_passes_the_field_check

# Its x86-64 build (the release's own, in build/, which Wine's user may enter) replaces an older copy of the
# accepted size with the payloads' bytes and times under Wine, and refuses one of the new tool's own size.
release_next_build_runs_under_wine() {
  local tool='"C:\\Karyom\\PERNA.EXE"' ini='"C:\\Karyom\\KALENDO.INI"'
  echo "{\"description\": \"An older build of the accepted size is replaced.\",
    \"files\": {$tool: {\"content\": \"old-tool:610361\", \"time\": \"old\"}, $ini: \"old-ini\"},
    \"expect\": {\"transcript\": [\"MsgConfirm\", \"MsgToolUpdated\"], \"files\": {
      $tool: {\"content\": \"new-tool\", \"time\": \"2026-03-02T01:00:00Z\"},
      $ini: {\"content\": \"new-ini\", \"time\": \"2026-03-01T00:30:00Z\"}}}}" >"$next/next_replaces_older.json"
  echo "{\"description\": \"An older copy of the new tool's own size is of no version in the field.\",
    \"files\": {$tool: {\"content\": \"old-tool\", \"time\": \"old\"}, $ini: \"old-ini\"},
    \"expect\": {\"transcript\": [\"MsgConfirm\", \"MsgVersionMismatch\"],
      \"files\": {$tool: \"unchanged\", $ini: \"unchanged\"}}}" >"$next/next_refuses_other_size.json"
  python3 tests/wine/run_wine_scenarios.py --prefix build/wine-prefix \
    --updater build/release-wine-check/PernaUpdate.exe --driver build/release-wine-check/demo/wine_driver.exe \
    --perna "$next/PERNA.EXE" --kalendo "$next/KALENDO.INI" "$next"/next_*.json
}
step "release: the next build under Wine" release_next_build_runs_under_wine

# Bad inputs stop the release before anything is built, each with its reason in one line, nothing written or
# changed: those of one line of the list all in one run. A release is unsigned unless the line signs.
release_refuses_bad_inputs() {
  : >"$next/empty"
  touch "$scratch/dist/notes.txt"
  local args reasons reason out=$scratch/refused before
  before=$(find "$scratch/dist" "$next" -printf '%p %s %T@\n' | sort)
  while IFS='|' read -r args reasons; do
    eval "set -- $args"
    [[ $args == *--sign-key* ]] || set -- --unsigned "$@"
    if release "${next_inputs[@]}" --out "$out" "$@" </dev/null; then
      echo "released with $args"
      return 1
    fi
    IFS=';' read -r -a reasons <<<"$reasons"
    for reason in "${reasons[@]}"; do
      grep -qF -e "$reason" "$scratch/release.txt" || break
    done
    if [ -e "$out" ] || compgen -G "$scratch/.refused.*" >/dev/null || grep -q "building" "$scratch/release.txt" ||
      [ "$(grep -c -v -e 'nothing was built' -e warning "$scratch/release.txt")" != ${#reasons[@]} ] ||
      ! grep -qF -e "$reason" "$scratch/release.txt"; then
      echo "$args: not refused before building, or not one line each for: ${reasons[*]}"
      cat "$scratch/release.txt"
      return 1
    fi
    echo "refused: $args ($(IFS=';' && echo "${reasons[*]}"))"
  done <<LIST
--perna-time '1979-12-31 23:59:59' --kalendo-time '$(date -d tomorrow +'%F %T')' --version 1.0.1 --accept-size 0 \
--accept-size 4294967296 --accept-size 7 --accept-size 7|is before 1980;is in the future;--version "1.0.1" is not \
four numbers;0 is no size;is above 4294967295;7 is given twice
--perna-time '2026-02-29 10:00:00' --kalendo '$next/empty' --version 1.0.65536.0|is no such time;--kalendo: \
$next/empty is empty;65536 is above 65535
--perna '$next/none' --kalendo '$next'|--perna: no such file;--kalendo: $next is a folder
--sign-key '$next/serverAuth.key' --sign-cert '$next/serverAuth.pem' --timestamp http://t|does not allow code signing
--sign-key '$next/codeSigning,other.key' --sign-cert '$next/codeSigning.pem' --timestamp http://t|do not belong together
${token_key[*]@Q} --sign-cert '$next/codeSigning.pem' --timestamp http://t|the token's PIN is needed
--out '$scratch/dist/SHA256SUMS'|is a file, not a folder
--out '$next'|holds $next/PERNA.EXE (--perna)
--out '$next/tokens'|is a folder this command did not make
--out '$scratch/dist'|holds notes.txt, which no release put there
LIST
  [ "$(find "$scratch/dist" "$next" -printf '%p %s %T@\n' | sort)" = "$before" ] || {
    echo "a refused release changed what it was given"
    return 1
  }
  rm "$scratch/dist/notes.txt"
}
step "release: each bad input refused, nothing built or written" release_refuses_bad_inputs

# In one prefix per CPU at once (build/wine-prefix and copies of it): a run lock's 30-second wait in one
# leaves the CPUs to the others. WINE_STAGE_SCENARIOS names the scenario files to run (all when unset): the
# test command, whose guest stage runs every one of them on the shipping executable itself, names a few.
cases=()
for name in ${WINE_STAGE_SCENARIOS:-}; do
  cases+=("tests/scenarios/cases/$name.json")
done
step "scenarios under Wine, against the stand-in" python3 tests/wine/run_wine_scenarios.py \
  --prefix build/wine-prefix --jobs "$jobs" \
  --updater build/win64/PernaUpdate.exe --driver build/win64/demo/wine_driver.exe \
  --perna build/win64/samples/PERNA.EXE --kalendo build/win64/samples/KALENDO.INI \
  --stand-in build/native/PernaUpdate \
  --stand-in-perna build/native/samples/PERNA.EXE --stand-in-kalendo build/native/samples/KALENDO.INI \
  --bin1 build/native/payloads/BIN1.bin --bin2 build/native/payloads/BIN2.bin \
  --fake-lz32 build/win64/wine-tests/lz32.dll --static-probe build/win64/wine-tests/static_lz32_probe.exe \
  --planted-dll build/win64/wine-tests/planted_dll.dll --load-probe build/win64/wine-tests/load_library_probe.exe \
  --fallback-probe build/win64/wine-tests/fallback_probe.exe --field-check build/win64/PernaFieldCheck.exe \
  "${cases[@]}"

echo "windows stage: $failed check(s) failed"
[ "$failed" -eq 0 ]
