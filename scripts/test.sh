#!/usr/bin/env bash
# Sets up, builds and runs every test: first the regular build, then the ASan+UBSan build, then
# the thread-heavy test programs under the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/dependencies.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DXEV_SANITIZE=address >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The platform core, the session, the media framework and the encoder runtimes: the programs whose
# tests drive many threads through one object. Each program runs as one process (the suppressions
# are in tests/SanitizerHooks.cpp); any report fails it.
tsan_programs=(platform_mf_tests platform_session_tests media_common_tests platform_encoder_tests)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DXEV_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_programs[@]}"
for program in "${tsan_programs[@]}"; do
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/bin/"$program" --gtest_brief=1
done
