#!/usr/bin/env bash
# Stage: the shipping executable itself, run in the test guest under 32-bit Wine.
#   - makes the guest image (scripts/guest.sh build; cached in build/guest/);
#   - builds the win32 preset (the shipping executable and the i686 driver) and the stand-in;
#   - boots the guest once, which runs every scenario the Wine stage runs on build/win32/PernaUpdate.exe,
#     compared with the stand-in, the lz32.dll plant, the other DLLs planted beside it, the fallbacks for
#     systems without the DLL search flags, the field check, and the WoW64 registry-view scenarios
#     (tests/guest/run_guest_scenarios.py);
#   - prints how long the image build, the boot and the scenarios took.
# Fails with the reason when the guest cannot be made or booted.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

now() { date +%s.%N; }
since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.0f", to - from }'; }

build() {
  if ! { cmake --preset "$1" && cmake --build --preset "$1" -j "$jobs" "${@:2}"; } >"$log" 2>&1; then
    tail -30 "$log"
    echo "guest stage: the $1 build failed"
    exit 1
  fi
}

started=$(now)
bash scripts/guest.sh build 2>&1 | tee "$log" || {
  echo "guest stage: the guest image could not be made: $(tail -1 "$log")"
  exit 1
}
image="built in $(since "$started") s"
grep -q "up to date" "$log" && image="cached"

build win32
build native --target PernaUpdate szdd_tool
# The file the guest runs is the one the static checks pass; the guest prints the digest it ran.
if ! build/native/szdd inspect build/win32/PernaUpdate.exe >"$log"; then
  cat "$log"
  echo "guest stage: build/win32/PernaUpdate.exe does not inspect clean"
  exit 1
fi
shipped=$(sha256sum build/win32/PernaUpdate.exe | cut -d' ' -f1)
echo "shipping executable: sha256 $shipped"

status=0
bash scripts/guest.sh run python3 -u tests/guest/run_guest_scenarios.py \
  --updater build/win32/PernaUpdate.exe --driver build/win32/demo/wine_driver.exe \
  --perna build/win32/samples/PERNA.EXE --kalendo build/win32/samples/KALENDO.INI \
  --stand-in build/native/PernaUpdate \
  --stand-in-perna build/native/samples/PERNA.EXE --stand-in-kalendo build/native/samples/KALENDO.INI \
  --bin1 build/native/payloads/BIN1.bin --bin2 build/native/payloads/BIN2.bin \
  --fake-lz32 build/win32/wine-tests/lz32.dll --static-probe build/win32/wine-tests/static_lz32_probe.exe \
  --planted-dll build/win32/wine-tests/planted_dll.dll --load-probe build/win32/wine-tests/load_library_probe.exe \
  --fallback-probe build/win32/wine-tests/fallback_probe.exe --field-check build/win32/PernaFieldCheck.exe \
  </dev/null 2>&1 | tee "$log" || status=$?

# The guest ran the very file the static checks passed.
if ! grep -q "sha256 $shipped" "$log"; then
  echo "guest stage: the guest did not run build/win32/PernaUpdate.exe as checked (sha256 $shipped)"
  status=1
fi
echo "guest stage times: image $image"
grep -E '^guest: (tcg|kvm), booted' "$log" | sed 's/^guest: /guest stage times: /' || true
grep -E '^time: ' "$log" | sed 's/^time: /guest stage times: /' || true
[ "$status" -eq 0 ]
