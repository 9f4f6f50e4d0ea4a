#!/usr/bin/env bash
# Builds the Debian package of the program and the simulator with CPack:
#   bash tools/package.sh [--build DIR]
# Release build with Debian's hardening flags in its own folder (build-package by default), no
# tests; prints the path of the .deb on its last line. Install it with
#   sudo apt install ./build-package/aircon-tool_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-package
while (($#)); do
    case $1 in
        --build) build=${2:?--build needs a folder}; shift 2 ;;
        -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "package.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done
cd "$root"
bash tools/deps.sh package

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF -DBUILD_FUZZERS=OFF -DSANITIZE=OFF \
      "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/aircon-tool_*.deb
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
deb=$(ls "$build"/aircon-tool_*.deb)
echo "$deb"
