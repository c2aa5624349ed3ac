#!/usr/bin/env bash
# Stage: the Windows executables.
#   - builds the win32 (shipped) and win64 (run under Wine) presets, cheaply when already built;
#   - checks build/win32/PernaUpdate.exe as shipped: headers, imports, resources, version, footprint;
#   - szdd inspect on it and on damaged copies;
#   - scripts/release.sh with the sample payloads and times must give the same bytes in a clean build of
#     its own; the next build's release (another size, times and version) must be signed, timestamped
#     and verify, show its inputs in inspect, and its updater, built for x86-64, must replace an older
#     copy of the new size under Wine and refuse one of the old; each bad input must stop it unbuilt;
#   - every scenario under Wine on build/win64/PernaUpdate.exe, in one prefix per CPU at once, compared
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

# The release command as the release engineer runs it, each time in a clean build folder of its own.
samples=build/win32/samples
release() {
  bash scripts/release.sh "$@" >"$scratch/release.txt" 2>&1
}

release_gives_the_built_executable() {
  local out=$scratch/dist
  release --perna $samples/PERNA.EXE --kalendo $samples/KALENDO.INI --perna-time "2015-04-21 19:50:50" \
    --kalendo-time "2015-04-30 13:49:06" --unsigned --out "$out" || {
    cat "$scratch/release.txt"
    return 1
  }
  local files
  files=$(ls -A "$out" | LC_ALL=C sort | tr '\n' ' ')
  if [ "$files" != "PernaFieldCheck.exe PernaUpdate.exe SHA256SUMS inspect.txt " ]; then
    echo "the release holds: $files"
    return 1
  fi
  if ! cmp build/win32/PernaUpdate.exe "$out/PernaUpdate.exe"; then
    echo "the release and build/win32 differ"
    return 1
  fi
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) || return 1
  grep -q "signature    NONE: unsigned, as asked" "$scratch/release.txt" || return 1
  echo "the release is byte-identical to build/win32/PernaUpdate.exe ($(stat -c %s "$out/PernaUpdate.exe") bytes," \
    "sha256 $(cut -c1-16 "$out/SHA256SUMS")...)"
}
step "release: the sample payloads give the executable built here" release_gives_the_built_executable

# The next build: a PERNA.EXE two bytes longer (an installed copy of which the sample's updater refuses),
# another KALENDO.INI, their own times (read in the scenarios' zone, UTC+9) and a version.
next=$scratch/next
mkdir "$next"
cp $samples/PERNA.EXE "$next/PERNA.EXE" && printf 'v2' >>"$next/PERNA.EXE"
printf '[2026]\r\n1=\x8c\xb3\x93\xfa0101\r\n' >"$next/KALENDO.INI"
next_times=("2026-03-02 10:00:00" "2026-03-01 09:30:00")
next_inputs=(--perna "$next/PERNA.EXE" --kalendo "$next/KALENDO.INI" --perna-time "${next_times[0]}"
  --kalendo-time "${next_times[1]}")

# Signed with a throwaway certificate and timestamped by a local authority on the loopback address
# (openssl ts answers each request); verified offline against both certificates.
release_signs_and_timestamps_the_next_build() {
  local out=$scratch/dist-next use
  for use in codeSigning timeStamping; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=PernaUpdate test $use" -keyout "$next/$use.key" \
      -addext "extendedKeyUsage=critical,$use" -out "$next/$use.pem" 2>/dev/null || return 1
  done
  printf '%s\n' '[tsa]' default_tsa=t '[t]' "serial=$next/serial" "signer_cert=$next/timeStamping.pem" \
    "signer_key=$next/timeStamping.key" signer_digest=sha256 default_policy=1.2.3.4.1 digests=sha256 \
    ess_cert_id_alg=sha256 >"$next/tsa.cnf"
  python3 -c '
import http.server, subprocess, sys
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
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()' "$next/tsa.cnf" >"$next/port" 2>/dev/null &
  local authority=$! port=''
  for _ in $(seq 50); do
    port=$(cat "$next/port") && [ -n "$port" ] && break
    sleep 0.1
  done
  release "${next_inputs[@]}" --version 1.0.1.0 --product-version 6.0.1.0 --sign-key "$next/codeSigning.key" \
    --sign-cert "$next/codeSigning.pem" --timestamp "http://127.0.0.1:$port" --out "$out"
  local status=$?
  kill $authority
  [ $status -eq 0 ] || { cat "$scratch/release.txt"; return 1; }
  if ! osslsigncode verify -CAfile "$next/codeSigning.pem" -TSA-CAfile "$next/timeStamping.pem" \
    -in "$out/PernaUpdate.exe" >"$next/verify.txt" 2>&1 ||
    ! grep -q "Timestamp Server Signature verification: ok" "$next/verify.txt"; then
    cat "$next/verify.txt"
    return 1
  fi
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) || return 1
  # What inspect reads back from the code and the version resource.
  local line
  for line in "PERNA.EX_), last-write time ${next_times[0]} local: ok" \
    "KALENDO.IN_), last-write time ${next_times[1]} local: ok" \
    "installed PERNA.EXE: 610363 bytes" "FileVersion      1.0.1.0" "ProductVersion   6.0.1.0"; do
    grep -qF "$line" "$out/inspect.txt" || { echo "inspect.txt lacks: $line"; return 1; }
  done
  echo "signed, timestamped by 127.0.0.1:$port, verified; inspect shows both times, 610363 bytes, 1.0.1.0"
}
step "release: the next build, signed and timestamped" release_signs_and_timestamps_the_next_build

# The same inputs built for x86-64 (in build/, which Wine's user may enter) and run under Wine: an older
# copy of the new size is replaced, one of the sample's size is refused.
release_next_build_runs_under_wine() {
  cmake --preset win64 -B build/win64-next -DPERNA_PAYLOAD="$next/PERNA.EXE" -DKALENDO_PAYLOAD="$next/KALENDO.INI" \
    -DPERNA_TIME="${next_times[0]}" -DKALENDO_TIME="${next_times[1]}" >/dev/null &&
    cmake --build build/win64-next --target PernaUpdate -j "$jobs" >"$next/win64.log" 2>&1 || {
    tail -20 "$next/win64.log"
    return 1
  }
  local tool='"C:\\Karyom\\PERNA.EXE"' ini='"C:\\Karyom\\KALENDO.INI"'
  echo "{\"description\": \"An older build of the new size is replaced.\",
    \"files\": {$tool: {\"content\": \"old-tool\", \"time\": \"old\"}, $ini: \"old-ini\"},
    \"expect\": {\"transcript\": [\"MsgConfirm\", \"MsgToolUpdated\"], \"files\": {
      $tool: {\"content\": \"new-tool\", \"time\": \"2026-03-02T01:00:00Z\"},
      $ini: {\"content\": \"new-ini\", \"time\": \"2026-03-01T00:30:00Z\"}}}}" >"$next/next_replaces_older.json"
  echo "{\"description\": \"An older build of the sample's size is of another version.\",
    \"files\": {$tool: {\"content\": \"old-tool:610361\", \"time\": \"old\"}, $ini: \"old-ini\"},
    \"expect\": {\"transcript\": [\"MsgConfirm\", \"MsgVersionMismatch\"],
      \"files\": {$tool: \"unchanged\", $ini: \"unchanged\"}}}" >"$next/next_refuses_other_size.json"
  python3 tests/wine/run_wine_scenarios.py --prefix build/wine-prefix --updater build/win64-next/PernaUpdate.exe \
    --driver build/win64/demo/wine_driver.exe --perna "$next/PERNA.EXE" --kalendo "$next/KALENDO.INI" \
    "$next"/next_*.json
}
step "release: the next build under Wine" release_next_build_runs_under_wine

# Each bad input stops the release before anything is built, with its reason and nothing written.
release_refuses_bad_inputs() {
  : >"$next/empty"
  local args reason out=$scratch/refused
  while IFS='|' read -r args reason; do
    eval "set -- $args"
    if release "${next_inputs[@]}" "$@" --unsigned --out "$out"; then
      echo "released with $args"
      return 1
    fi
    if [ -e "$out" ] || compgen -G "$scratch/.refused.*" >/dev/null || grep -q "building" "$scratch/release.txt" ||
      ! grep -qF "$reason" "$scratch/release.txt"; then
      echo "$args: not refused before building, or without \"$reason\":"
      cat "$scratch/release.txt"
      return 1
    fi
    echo "refused: $args ($reason)"
  done <<LIST
--perna-time '1979-12-31 23:59:59'|is before 1980
--kalendo-time '$(date -d tomorrow +'%Y-%m-%d %H:%M:%S')'|is in the future
--perna-time '2026-02-29 10:00:00'|is no such time
--kalendo '$next/empty'|is empty
--version 1.0.1|is not four numbers
--version 1.0.65536.0|65536 is above 65535
LIST
}
step "release: each bad input refused, nothing built or written" release_refuses_bad_inputs

# In one prefix per CPU at once (build/wine-prefix and copies of it): a run lock's 30-second wait in one
# leaves the CPUs to the others.
step "scenarios under Wine, against the stand-in" python3 tests/wine/run_wine_scenarios.py \
  --prefix build/wine-prefix --jobs "$jobs" \
  --updater build/win64/PernaUpdate.exe --driver build/win64/demo/wine_driver.exe \
  --perna build/win64/samples/PERNA.EXE --kalendo build/win64/samples/KALENDO.INI \
  --stand-in build/native/PernaUpdate \
  --stand-in-perna build/native/samples/PERNA.EXE --stand-in-kalendo build/native/samples/KALENDO.INI \
  --bin1 build/native/payloads/BIN1.bin --bin2 build/native/payloads/BIN2.bin \
  --fake-lz32 build/win64/wine-tests/lz32.dll --static-probe build/win64/wine-tests/static_lz32_probe.exe \
  --planted-dll build/win64/wine-tests/planted_dll.dll --load-probe build/win64/wine-tests/load_library_probe.exe \
  --fallback-probe build/win64/wine-tests/fallback_probe.exe --field-check build/win64/PernaFieldCheck.exe

echo "windows stage: $failed check(s) failed"
[ "$failed" -eq 0 ]
