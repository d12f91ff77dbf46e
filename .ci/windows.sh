#!/usr/bin/env bash
# CI for the Windows DLL: cross-build the 32-bit arcsalve.dll that hosts load
# and check its format, exports, imports and resources; then build the same
# library and its test program for x86_64 Windows and run the tests under
# Wine (32-bit Wine cannot be installed beside the amd64 libraries here).
# Installs what it needs; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

need=()
# wine64 runs the tests; "wine" is the launcher (its recommended 32-bit half
# is not installable here, hence --no-install-recommends). googletest brings
# the sources the test program is built from; xvfb hosts the dialog test.
for pkg in cmake python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev \
           googletest wine wine64 xvfb locales; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# The double-byte tests run Wine in a Japanese locale (ANSI code page 932);
# Wine needs the C library to know it for file names.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

jobs=$(nproc)

echo "== Windows: arcsalve.dll (32-bit), cross-built and checked"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DARCSALVE_TESTS=OFF -DARCSALVE_WERROR=ON >/dev/null
cmake --build build-win32 -j"$jobs"
python3 scripts/check_dll.py build-win32/arcsalve.dll --arch i686

echo "== Windows: x86_64 build, tests under Wine"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARCSALVE_WERROR=ON >/dev/null
cmake --build build-win64 -j"$jobs"
python3 scripts/check_dll.py build-win64/arcsalve.dll --arch x86_64
(cd build-win64 && ctest --output-on-failure -j"$jobs")
# The Wine server of the tests' prefix ends with them.
WINEPREFIX="$PWD/build-win64/wineprefix" wineserver -k 2>/dev/null || true

echo "== Windows part took $(( $(date +%s) - started )) s"
