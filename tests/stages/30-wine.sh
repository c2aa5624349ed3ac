#!/usr/bin/env bash
# Stage: the Windows executables.
#   - builds the win32 (shipped) and win64 (run under Wine) presets, cheaply when already built;
#   - checks build/win32/PernaUpdate.exe as shipped: headers, imports, resources, version, footprint;
#   - the inspector on it and on damaged copies;
#   - a second, clean build elsewhere must give the same bytes; signing that copy must verify;
#   - a PERNA.EXE of a size the updater refuses must stop the build;
#   - every scenario under Wine on build/win64/PernaUpdate.exe, compared with the Linux stand-in,
#     and where LZ32 is loaded from.
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
# The stand-in and the inspector (scripts/test.sh has built the native preset already).
build native --target PernaUpdate szdd_tool || exit 1

# The checkers run the inspector as one program taking the executable.
inspect_wrapper=$scratch/inspect
printf '#!/bin/sh\nexec "%s" inspect "$@"\n' "$PWD/build/native/szdd" > "$inspect_wrapper"
chmod +x "$inspect_wrapper"

step "shipped executable" python3 tests/wine/check_shipped.py build/win32/PernaUpdate.exe \
  --inspect "$inspect_wrapper" --bin1 build/win32/payloads/BIN1.bin --bin2 build/win32/payloads/BIN2.bin

step "inspect on good and damaged executables" python3 tests/wine/check_inspect.py "$inspect_wrapper" \
  build/win32/PernaUpdate.exe

reproducible_and_signed() {
  local dir=$scratch/win32-again
  cmake -S . -B "$dir" -G "Unix Makefiles" --toolchain cmake/toolchain-i686-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" --target PernaUpdate >/dev/null || return 1
  if ! cmp build/win32/PernaUpdate.exe "$dir/PernaUpdate.exe"; then
    echo "two builds of PernaUpdate.exe differ"
    return 1
  fi
  echo "two builds, in build/win32 and $dir, are byte-identical ($(stat -c %s "$dir/PernaUpdate.exe") bytes," \
    "sha256 $(sha256sum "$dir/PernaUpdate.exe" | cut -c1-16)...)"

  # Signing with a throwaway certificate made here.
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=PernaUpdate test signing" \
    -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null || return 1
  cmake "$dir" -DSIGN_KEY="$scratch/key.pem" -DSIGN_CERT="$scratch/cert.pem" >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" >/dev/null || return 1
  if cmp -s build/win32/PernaUpdate.exe "$dir/PernaUpdate.exe"; then
    echo "the signed build is not signed"
    return 1
  fi
  osslsigncode verify -CAfile "$scratch/cert.pem" -in "$dir/PernaUpdate.exe" >"$scratch/verify.txt" 2>&1 || {
    cat "$scratch/verify.txt"
    return 1
  }
  echo "signed copy verifies: $(grep -c 'Signature verification: ok' "$scratch/verify.txt") signature"
  "$inspect_wrapper" "$dir/PernaUpdate.exe" >/dev/null || { echo "the signed copy does not inspect clean"; return 1; }

  # Another day-off file given at configure time is what the executable then carries.
  printf '[2020]\r\n1=\x8c\xb3\x93\xfa0101\r\n' > "$scratch/KALENDO.INI"
  cmake "$dir" -DKALENDO_PAYLOAD="$scratch/KALENDO.INI" -DSIGN_KEY= -DSIGN_CERT= >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" >/dev/null || return 1
  local size
  size=$(stat -c %s "$scratch/KALENDO.INI")
  if ! "$inspect_wrapper" "$dir/PernaUpdate.exe" | grep -q "BIN2: .*declares $size bytes, expands to $size: ok"; then
    echo "KALENDO_PAYLOAD did not reach the executable"
    return 1
  fi
  echo "KALENDO_PAYLOAD ($size bytes) is what BIN2 carries"
}
step "reproducible build, signing, another payload" reproducible_and_signed

refused_size_stops_build() {
  local dir=$scratch/native-wrong-size
  head -c 610363 build/win32/samples/PERNA.EXE > "$scratch/PERNA.EXE"
  head -c 2 /dev/zero >> "$scratch/PERNA.EXE"
  cmake -S . -B "$dir" -DPERNA_PAYLOAD="$scratch/PERNA.EXE" >/dev/null || return 1
  if cmake --build "$dir" -j "$jobs" --target payload_containers >"$scratch/build.txt" 2>&1; then
    echo "a PERNA.EXE of 610,363 bytes was packed"
    return 1
  fi
  # CMake wraps the message: join its lines first.
  local message
  message=$(tr -s ' \n' '  ' < "$scratch/build.txt")
  case $message in
    *"is 610363 bytes, but the updater accepts an installed PERNA.EXE only of 610361 bytes"*)
      echo "stopped with: PERNA.EXE is 610363 bytes, but the updater accepts ... only 610361" ;;
    *) tail -20 "$scratch/build.txt"; return 1 ;;
  esac
}
step "a refused payload size stops the build" refused_size_stops_build

step "scenarios under Wine, against the stand-in" python3 tests/wine/run_wine_scenarios.py \
  --prefix build/wine-prefix \
  --updater build/win64/PernaUpdate.exe --driver build/win64/demo/wine_driver.exe \
  --perna build/win64/samples/PERNA.EXE --kalendo build/win64/samples/KALENDO.INI \
  --stand-in build/native/PernaUpdate \
  --stand-in-perna build/native/samples/PERNA.EXE --stand-in-kalendo build/native/samples/KALENDO.INI \
  --bin1 build/native/payloads/BIN1.bin --bin2 build/native/payloads/BIN2.bin \
  --fake-lz32 build/win64/wine-tests/lz32.dll --static-probe build/win64/wine-tests/static_lz32_probe.exe

echo "windows stage: $failed check(s) failed"
[ "$failed" -eq 0 ]
