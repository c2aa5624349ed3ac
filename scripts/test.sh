#!/usr/bin/env bash
# The full test command: installs what is missing, builds every preset, runs every test stage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"

# Further stages (sanitizers, fuzzing, Windows builds under Wine), each a script of its own.
for stage in tests/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $(basename "$stage" .sh)"
  bash "$stage"
done
