#!/usr/bin/env bash
# Builds the program and starts it. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [[ ! -x build/main/AirConTool ]]; then
    echo "The window is not there yet: only the libraries and tests were built."
    exit 0
fi
exec build/main/AirConTool
