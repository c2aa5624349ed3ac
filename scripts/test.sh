#!/usr/bin/env bash
# The full test command: installs what is missing, builds, runs the unit and scenario tests, then every stage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

# The test guest's image needs nothing built here and takes minutes, much of them downloading and
# waiting: it is made beside the builds and stages before the guest's, which waits for it (and makes
# it itself, should this attempt fail).
mkdir -p build
image_started=$(date +%s)
setsid -w bash scripts/guest.sh build >build/guest-image.log 2>&1 &
guest_image=$!
trap '[ -z "$guest_image" ] || kill -- "-$guest_image" 2>/dev/null || true' EXIT

cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

# The guest stage runs every scenario under Wine on the shipping executable itself; the Windows stage runs a
# few on its x86-64 build, which ships nowhere (tests/stages/30-wine.sh alone runs them all).
export WINE_STAGE_SCENARIOS=${WINE_STAGE_SCENARIOS-"success confirm_cancel japanese_plain dayoff_held_for_a_moment"}

passed=0
failed=0
if ctest --preset native -j "$jobs"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

# Further stages (sanitizers, fuzzing, Windows builds under Wine), each a script of its own, run in name order.
for stage in tests/stages/*.sh; do
  [ -e "$stage" ] || continue
  name=$(basename "$stage" .sh)
  if [ "$name" = 40-win32-guest ] && [ -n "$guest_image" ]; then
    wait "$guest_image" && image_status=ok || image_status="failed: $(tail -1 build/guest-image.log)"
    # The log's last write is the build's end.
    echo "guest image, made beside the other stages: $image_status," \
      "in $(($(stat -c %Y build/guest-image.log) - image_started)) s"
    guest_image=
  fi
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
