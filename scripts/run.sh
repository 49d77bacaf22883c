#!/usr/bin/env bash
# Sets up, builds (release) and runs the tool on the default configuration beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target XevEncodeTest
exec build/bin/XevEncodeTest "$@"
