#!/usr/bin/env bash
# The arm64 job: cross-builds for 64-bit ARM (a Raspberry Pi's Debian or Raspberry Pi OS) with
# warnings as errors, runs the arm64 command-line converter under qemu-user on every file in
# tests/data in every output mode and compares its output, messages and exit status byte for byte
# with the amd64 build's, then runs the test programs under the emulator.
#
#   scripts/run-tests-arm64.sh [AMD64_CLI]    (default build-tests/cli/tovanmuxer-cli)
#
# scripts/run-tests.sh runs it after the amd64 builds. Tests that measure the process itself skip
# under the emulator (TOVANMUXER_EMULATED in tests/emulated.cmake), and the time limits grow.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
emulator=qemu-aarch64-static

# One comparison: work directory, the two builds, then case number, mode, input. Runs both builds in directories of their own, so that
# the output's name and the messages that carry it are the same, then compares all they left.
if [ "${1:-}" = "--case" ]; then
    work=$2 amd64=$3 arm64=$4 n=$5 mode=$6 in=$7
    for arch in amd64 arm64; do
        if [ $arch = amd64 ]; then cli=("$amd64"); else cli=("$emulator" "$arm64"); fi
        d="$work/$n/$arch"
        mkdir -p "$d"
        cd "$d"
        rc=0
        case $mode in
            classic) "${cli[@]}" "$in" -o out.mp4 </dev/null >stdout 2>stderr || rc=$? ;;
            faststart) "${cli[@]}" "$in" --faststart -o out.mp4 </dev/null >stdout 2>stderr || rc=$? ;;
            fragment) "${cli[@]}" "$in" --fragment 1 -o out.mp4 </dev/null >stdout 2>stderr || rc=$? ;;
            fps) "${cli[@]}" "$in" --fps 30000/1001 -o out.mp4 </dev/null >stdout 2>stderr || rc=$? ;;
            join) "${cli[@]}" --join "$in" "$in" -o out.mp4 </dev/null >stdout 2>stderr || rc=$? ;;
            pipe) cat "$in" | "${cli[@]}" - -o out.mp4 >stdout 2>stderr || rc=$? ;;
            stdout) "${cli[@]}" "$in" -o - </dev/null >out.mp4 2>stderr || rc=$? ;;
            *) echo "unknown mode $mode" >&2; exit 2 ;;
        esac
        echo $rc >status
        cd "$root"
    done
    if ! diff -r "$work/$n/amd64" "$work/$n/arm64" >"$work/$n.diff" 2>&1; then
        echo "DIFFERS: $mode ${in#$root/}"
        head -20 "$work/$n.diff"
        exit 1
    fi
    rm -rf "${work:?}/$n" "$work/$n.diff"
    exit 0
fi

amd64_cli=$(realpath "${1:-build-tests/cli/tovanmuxer-cli}")
[ -x "$amd64_cli" ] || { echo "no amd64 build at $amd64_cli" >&2; exit 1; }
jobs=$(nproc)
start=$SECONDS

scripts/deps-arm64.sh
cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVANMUXER_WERROR=ON -DTOVANMUXER_BUILD_BENCH=OFF
cmake --build build-arm64 -j "$jobs"
built=$SECONDS
arm64_cli=$root/build-arm64/cli/tovanmuxer-cli

# Every file in tests/data (scripts and notes aside) in every mode: a new stream joins by being
# there, and a file that is no stream is refused the same way by both.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
modes=(classic faststart fragment fps join pipe stdout)
n=0
while IFS= read -r -d '' f; do
    for m in "${modes[@]}"; do
        printf '%s\0%s\0%s\0' $((n += 1)) "$m" "$root/$f"
    done
done < <(find tests/data -type f ! -name '*.sh' ! -name '*.py' ! -name '*.md' ! -name '*.tsv' \
              -print0 | sort -z) >"$work/cases"
# The fuzzers' kept inputs, once each.
while IFS= read -r -d '' f; do
    printf '%s\0%s\0%s\0' $((n += 1)) classic "$root/$f"
done < <(find tests/regress -type f ! -name '*.md' -print0 | sort -z) >>"$work/cases"
cases=$n
if ! xargs -0 -n 3 -P "$jobs" "$0" --case <"$work/cases" "$work" "$amd64_cli" "$arm64_cli"
then
    echo "arm64 and amd64 outputs differ" >&2
    exit 1
fi
echo "arm64 CLI: $cases comparisons with amd64 byte-identical (outputs, messages, exit status)"
compared=$SECONDS

QT_QPA_PLATFORM=offscreen ctest --test-dir build-arm64 --output-on-failure -j "$jobs"
echo "arm64 job: build $((built - start)) s, comparisons $((compared - built)) s," \
     "tests $((SECONDS - compared)) s"
