#!/usr/bin/env bash
# Installs what is missing, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer in build-test/, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --test
cmake -S "$root" -B "$root/build-test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSENTREL_SANITIZE=ON >/dev/null
cmake --build "$root/build-test"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$root/build-test" --output-on-failure --timeout 600
