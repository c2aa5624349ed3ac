#!/usr/bin/env bash
# Stage: fuzz the SZDD expander (then the compressor's round trip) with libFuzzer from fresh seeds.
# SZDD_FUZZ_SECONDS (default 60) and SZDD_ROUNDTRIP_SECONDS (default 20) set the run lengths.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target szdd_expand_fuzzer szdd_roundtrip_fuzzer szdd_tool

build=build/fuzz
run=tests/fuzz/corpus-run
rm -rf "$run"
mkdir -p "$run/plain" "$run/seeds" "$run/expand" "$run/roundtrip" "$run/crashes"

# Plain inputs: empty, a byte, runs, text with CR LF, random bytes, sizes about the window, a PE piece.
: > "$run/plain/empty"
printf 'A' > "$run/plain/one"
head -c 300 /dev/zero | tr '\0' ' ' > "$run/plain/spaces"
head -c 5000 /dev/zero > "$run/plain/zeros"
for i in $(seq 1 60); do printf 'KALENDO %d=2026/12/%02d\r\n' "$i" $((i % 28 + 1)); done > "$run/plain/text"
head -c 700 /dev/urandom > "$run/plain/random"
head -c 4112 "$run/plain/text" > "$run/plain/w4112" 2>/dev/null || true
cat "$run/plain/text" "$run/plain/random" "$run/plain/text" | head -c 4100 > "$run/plain/w4100"
dll=$(ls /usr/lib/gcc/i686-w64-mingw32/*/libssp-0.dll 2>/dev/null | head -n 1 || true)
[ -n "$dll" ] && head -c 6000 "$dll" > "$run/plain/pe"

# Expander seeds: the streams of those inputs, a container, and damaged copies.
for f in "$run"/plain/*; do
  name=$(basename "$f")
  "$build/szdd" compress "$f" "$run/seeds/$name.szdd"
  cp "$f" "$run/roundtrip/$name"
done
"$build/szdd" pack "$run/plain/text" "$run/seeds/text.container"
head -c 13 "$run/seeds/text.szdd" > "$run/seeds/short-header"
head -c 100 "$run/seeds/text.szdd" > "$run/seeds/cut"
sed '1s/^\(........\)A/\1B/' "$run/seeds/text.szdd" > "$run/seeds/mode-b"

# Both at once: each fuzzer is one process, and the machine has a core for each. Each one's output
# is shown whole once both have ended.
"$build/tests/fuzz/szdd_expand_fuzzer" -max_total_time="${SZDD_FUZZ_SECONDS:-60}" -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$run/crashes/" "$run/expand" "$run/seeds" >"$run/expand.log" 2>&1 &
expand=$!
"$build/tests/fuzz/szdd_roundtrip_fuzzer" -max_total_time="${SZDD_ROUNDTRIP_SECONDS:-20}" -max_len=16384 \
  -print_final_stats=1 -artifact_prefix="$run/crashes/" "$run/roundtrip" >"$run/roundtrip.log" 2>&1 &
roundtrip=$!
status=0
wait $expand || status=1
wait $roundtrip || status=1
cat "$run/expand.log" "$run/roundtrip.log"
[ "$status" -eq 0 ] || { echo "fuzz: a fuzzer failed (its crash input is in $run/crashes/)"; exit 1; }
echo "fuzz: no crashes"
