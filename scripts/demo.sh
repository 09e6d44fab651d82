#!/usr/bin/env bash
# Builds the library and the demo host, then runs the demo host like a real host would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target OvraHelper
echo "built $(ls build/libOvraHelper.so.*.*)"
