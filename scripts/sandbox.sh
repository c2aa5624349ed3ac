#!/usr/bin/env bash
# Makes a sandbox with an installed カリヨム for trying the Linux build of the updater by hand, and runs it there.
#
#   scripts/sandbox.sh DIR          make DIR: drive C: with C:\Karyom (an older PERNA.EXE of the accepted
#                                   size, an old KALENDO.INI), C:\TEMP, C:\WINDOWS, and the registry
#   scripts/sandbox.sh DIR run ...  run the updater on DIR (arguments are passed on, and ignored by it);
#                                   boxes are asked on the terminal unless WINSTUB_ANSWERS is set
#   scripts/sandbox.sh DIR env      print the environment a run uses, for `eval`
#
# BINARY overrides the updater to run (default build/native/PernaUpdate).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -ge 1 ] || { sed -n '2,11p' "$0"; exit 2; }
dir="$1"; shift
action="${1:-make}"; [ $# -gt 0 ] && shift

environment() {
  local abs; abs="$(cd "$dir" && pwd)"
  echo "export WINSTUB_DRIVE_C='$abs/C'"
  echo "export WINSTUB_REGISTRY='$abs/registry.reg'"
  echo "export WINSTUB_TRANSCRIPT='$abs/transcript.jsonl'"
  echo "export WINSTUB_CALLS='$abs/calls.txt'"
  echo "export WINSTUB_MACHINE='$abs'"
  echo "export TZ='${TZ:-Asia/Tokyo}'"
  echo "export TMP='C:\\TEMP'"
  echo "unset TEMP"
}

case "$action" in
  make)
    mkdir -p "$dir/C/Karyom" "$dir/C/TEMP" "$dir/C/WINDOWS"
    # The old tool is as long as the new one, so that the guard accepts its size.
    size=$("$root/build/native/szdd" info "$root/build/native/payloads/BIN1.bin" | sed -n 's/^declared length: *//p')
    python3 - "$dir" "$size" <<'PY'
import os, sys
d, size = sys.argv[1], int(sys.argv[2])
key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe"
reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n\"Path\"=\"C:\\\\Karyom\"\r\n" % key
open(os.path.join(d, "registry.reg"), "wb").write(reg.encode("cp932"))
pattern = b"OLD PERNA BUILD \x00\x01\x02\x03"
tool = os.path.join(d, "C", "Karyom", "PERNA.EXE")
open(tool, "wb").write((pattern * (size // len(pattern) + 1))[:size])
os.utime(tool, (1388534400, 1388534400))   # 2014-01-01, older than the payload
open(os.path.join(d, "C", "Karyom", "KALENDO.INI"), "wb").write("[2010]\r\n1=旧休日0101\r\n".encode("cp932"))
PY
    rm -f "$dir/transcript.jsonl" "$dir/calls.txt"
    echo "sandbox ready: $dir (run it with: $0 $dir run)"
    ;;
  env)
    environment
    ;;
  run)
    eval "$(environment)"
    "${BINARY:-$root/build/native/PernaUpdate}" "$@" && status=0 || status=$?
    echo "exit status $status; boxes in $dir/transcript.jsonl, platform calls in $dir/calls.txt"
    ls -l --time-style=full-iso "$dir/C/Karyom"
    ;;
  *)
    echo "unknown action: $action" >&2; exit 2
    ;;
esac
