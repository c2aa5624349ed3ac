#!/usr/bin/env bash
# The full test command: installs what is missing, builds, runs the unit and scenario tests, then every stage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

passed=0
failed=0
if ctest --preset native -j "$jobs"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

# Further stages (sanitizers, fuzzing, Windows builds under Wine), each a script of its own, run in name order.
for stage in tests/stages/*.sh; do
  [ -e "$stage" ] || continue
  name=$(basename "$stage" .sh)
  echo "== stage $name"
  began=$SECONDS
  if bash "$stage"; then
    passed=$((passed + 1))
  else
    echo "== stage $name FAILED"
    failed=$((failed + 1))
  fi
  echo "== stage $name: $((SECONDS - began)) s ($SECONDS s since the start)"
done

echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
