#!/usr/bin/env bash
# Runs the whole test suite: installs the Debian packages that are missing, configures, builds
# and runs every test. Extra arguments go to CMake's configure step.
#   BUILD_DIR   build directory (default: build-tests at the top of the repository)
#   BUILD_TYPE  CMake build type (default: RelWithDebInfo)
#   WERROR      ON turns compiler warnings into errors (default: OFF)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-tests}

"$root/scripts/install-deps.sh" test
# ccache, where there is one, keeps a second build of unchanged files (the sanitizer build, the
# next run) from compiling them again; paths below the repository count from it, so that another
# clone of it hits the same entries.
launcher=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DUSB16RELAY_WERROR="${WERROR:-OFF}" -DBUILD_TESTING=ON "${launcher[@]}" "$@"
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
