#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test; then builds again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test once more; the libFuzzer
# targets; and the arm64 job (scripts/run-tests-arm64.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DTOVANMUXER_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTOVANMUXER_SANITIZE=ON -DTOVANMUXER_BUILD_BENCH=OFF

# The libFuzzer targets (clang, with ASan and UBSan): each runs its kept crash inputs and then a
# short, fixed number of fuzzed inputs. fuzz/README tells how to run them for longer.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTOVANMUXER_FUZZ=ON -DTOVANMUXER_WERROR=ON -DTOVANMUXER_BUILD_GUI=OFF \
      -DTOVANMUXER_BUILD_TESTS=OFF -DTOVANMUXER_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$jobs"
ctest --test-dir build-fuzz/fuzz --output-on-failure -j "$jobs"

# The arm64 build under the emulator, its CLI compared with the amd64 one built above.
scripts/run-tests-arm64.sh build-tests/cli/tovanmuxer-cli
echo "All tests passed."
