#!/usr/bin/env bash
# Stage: build everything with AddressSanitizer and UndefinedBehaviorSanitizer and run all its tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j "$jobs"
# Every test but the sweep of fault pairs: its runs take the same paths as the single-fault sweeps, which
# run here, and at some 13,000 runs it would be most of the stage; the native build runs it in full.
ctest --preset native-asan -j "$jobs" -E '^faults[.]pairs$'
