#!/usr/bin/env bash
# The demo: installs what it needs, builds the shipping executable (build/win32/PernaUpdate.exe, with the
# sample payloads unless PERNA_PAYLOAD/KALENDO_PAYLOAD are configured), then runs the same sources built
# for x86-64 end to end under Wine on a sample installation, printing each box and what happened to the files.
#   scripts/demo.sh [--shots DIR]     also saves the confirmation and the final box as PNG in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh demo
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in win32 win64; do
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "demo: the $preset build failed"
    exit 1
  fi
done
echo "Shipping executable: build/win32/PernaUpdate.exe ($(stat -c %s build/win32/PernaUpdate.exe) bytes)"
echo "Running its x86-64 build under Wine (this machine cannot run 32-bit code)..."
TZ=Asia/Tokyo TMPDIR=${TMPDIR:-/tmp} python3 demo/demo.py --prefix build/wine-prefix \
  --updater build/win64/PernaUpdate.exe --driver build/win64/demo/wine_driver.exe \
  --perna build/win64/samples/PERNA.EXE --kalendo build/win64/samples/KALENDO.INI "$@"
