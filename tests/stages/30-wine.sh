#!/usr/bin/env bash
# Stage: the Windows executables.
#   - builds the win32 (shipped) and win64 (run under Wine) presets, cheaply when already built;
#   - checks build/win32/PernaUpdate.exe as shipped: headers, imports, resources, version, footprint;
#   - szdd inspect on it and on damaged copies;
#   - scripts/release.sh with the sample payloads must give the same bytes in a clean build of its own;
#     signed, it must verify; a PERNA.EXE of a size the updater refuses must stop it, leaving no release;
#   - every scenario under Wine on build/win64/PernaUpdate.exe, compared with the Linux stand-in,
#     where LZ32 is loaded from, DLLs planted beside the updater, the fallbacks for systems without
#     the DLL search flags, and the field check (fieldcheck/) run on it.
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
  release --perna $samples/PERNA.EXE --kalendo $samples/KALENDO.INI --out "$out" || {
    cat "$scratch/release.txt"
    return 1
  }
  local files
  files=$(ls -A "$out" | LC_ALL=C sort | tr '\n' ' ')
  if [ "$files" != "PernaUpdate.exe SHA256SUMS inspect.txt " ]; then
    echo "the release holds: $files"
    return 1
  fi
  if ! cmp build/win32/PernaUpdate.exe "$out/PernaUpdate.exe"; then
    echo "the release and build/win32 differ"
    return 1
  fi
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) || return 1
  echo "the release is byte-identical to build/win32/PernaUpdate.exe ($(stat -c %s "$out/PernaUpdate.exe") bytes," \
    "sha256 $(cut -c1-16 "$out/SHA256SUMS")...)"
}
step "release: the sample payloads give the executable built here" release_gives_the_built_executable

release_signs_another_payload() {
  local out=$scratch/dist
  # A throwaway certificate made here, and another day-off file.
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=PernaUpdate test signing" \
    -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null || return 1
  printf '[2020]\r\n1=\x8c\xb3\x93\xfa0101\r\n' > "$scratch/KALENDO.INI"
  release --perna $samples/PERNA.EXE --kalendo "$scratch/KALENDO.INI" \
    --sign-key "$scratch/key.pem" --sign-cert "$scratch/cert.pem" --out "$out" || {
    cat "$scratch/release.txt"
    return 1
  }
  osslsigncode verify -CAfile "$scratch/cert.pem" -in "$out/PernaUpdate.exe" >"$scratch/verify.txt" 2>&1 || {
    cat "$scratch/verify.txt"
    return 1
  }
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) || return 1
  local size
  size=$(stat -c %s "$scratch/KALENDO.INI")
  if ! grep -q "BIN2: .*declares $size bytes, expands to $size: ok" "$out/inspect.txt"; then
    echo "the release does not carry the day-off file given"
    return 1
  fi
  echo "signed release verifies and carries the KALENDO.INI given ($size bytes)"
}
step "release: signed, with another day-off file" release_signs_another_payload

release_refuses_a_refused_size() {
  # Two bytes longer than the sample, which is of the accepted size: outside the one byte either way.
  local out=$scratch/refused accepted refused
  accepted=$(stat -c %s $samples/PERNA.EXE)
  refused=$((accepted + 2))
  head -c $refused /dev/zero > "$scratch/PERNA.EXE"
  if release --perna "$scratch/PERNA.EXE" --kalendo $samples/KALENDO.INI --out "$out"; then
    echo "a PERNA.EXE of $refused bytes was released"
    return 1
  fi
  if [ -e "$out" ] || compgen -G "$scratch/.refused.*" >/dev/null; then
    echo "the failed release left $out or its work folder"
    return 1
  fi
  # CMake wraps the message: join its lines first.
  case $(tr -s ' \n' '  ' < "$scratch/release.txt") in
    *"is $refused bytes, but the updater accepts an installed PERNA.EXE only of $accepted bytes"*)
      echo "stopped with the build's message: PERNA.EXE is $refused bytes, but the updater accepts ... only $accepted" ;;
    *) tail -20 "$scratch/release.txt"; return 1 ;;
  esac
}
step "release: a PERNA.EXE of a refused size stops it, leaving nothing" release_refuses_a_refused_size

step "scenarios under Wine, against the stand-in" python3 tests/wine/run_wine_scenarios.py \
  --prefix build/wine-prefix \
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
