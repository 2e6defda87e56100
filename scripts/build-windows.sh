#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64: x86_64 into build-win64/,
# i686 into build-win32/ (or the folders named by WIN64_DIR / WIN32_DIR).
# Extra CMake arguments may be given in WIN_CMAKE_ARGS. The programs are built
# for the report server ZANDREL_REPORT_HOST (default localhost) and the
# speed-test URL ZANDREL_SPEED_URL (default: that server's speed file), taken
# from the environment on every run, so that a build directory never keeps the
# host of an earlier run.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest)
source scripts/lib/apt.sh
ensure_packages "${packages[@]}"
build() {  # toolchain build-dir [cmake args]
  # RelWithDebInfo (-O2): GCC 12 at -O3 gives false -Wrestrict warnings inside
  # libstdc++'s std::string.
  cmake -S . -B "$2" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$1.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZANDREL_REPORT_HOST="${ZANDREL_REPORT_HOST:-localhost}" -DZANDREL_SPEED_URL="${ZANDREL_SPEED_URL:-}" \
    "${@:3}" ${WIN_CMAKE_ARGS:-}
  cmake --build "$2"
}
# The test programs are built for x86_64, the build that Wine runs here.
build x86_64 "${WIN64_DIR:-build-win64}" -DZANDREL_TESTS=ON
build i686 "${WIN32_DIR:-build-win32}" -DZANDREL_TESTS=OFF
