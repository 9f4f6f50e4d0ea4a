#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time: tools/fuzz.sh [seconds per target]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
bash tools/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_FUZZERS=ON -DBUILD_GUI=OFF -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF -DWERROR=ON
cmake --build build-fuzz -j"$(nproc)"
shopt -s nullglob
found=0
for f in build-fuzz/tests/fuzz/*_fuzz; do
    [[ -x $f ]] || continue
    found=1
    name=$(basename "$f")
    corpus="build-fuzz/corpus-$name"
    mkdir -p "$corpus"
    seeds=()
    [[ -d tests/fuzz/seeds/$name ]] && seeds=("tests/fuzz/seeds/$name")
    echo "-- $name for ${seconds}s"
    ASAN_OPTIONS=detect_leaks=1 "$f" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 "$corpus" "${seeds[@]}"
done
if ((found == 0)); then
    echo "no fuzz target found" >&2
    exit 1
fi
