#!/usr/bin/env bash
# Stage: build everything with AddressSanitizer and UndefinedBehaviorSanitizer and run all its tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j "$jobs"
ctest --preset native-asan -j "$jobs"
