#!/usr/bin/env bash
# Installs the Debian packages usb16relay needs to build, test and run, if any are missing, and
# for the tests their tools from npm (axe-core, Node-RED) into node_modules under tests/e2e.
# Usage: scripts/install-deps.sh [build|test|run|service|package|fuzz|bench]   (default: test)
set -euo pipefail

build_packages=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev fonts-dejavu-core
    libmosquitto-dev libsystemd-dev ccache)
test_packages=(xvfb xdotool x11-utils openbox python3 dbus at-spi2-core python3-pyatspi systemd
    mosquitto mosquitto-clients openssl chromium chromium-driver python3-selenium curl)
run_packages=(qt6-qpa-plugins qt6-wayland)
# scripts/try-service.sh: a private broker, and the clients it tells you to try.
service_packages=(mosquitto mosquitto-clients curl)
# Building the .debs and checking them with Debian's own validators; systemd for
# systemd-analyze (the service's unit), also in the tests.
package_packages=(dpkg-dev file fakeroot librsvg2-bin desktop-file-utils appstream lintian man-db
    systemd)
fuzz_packages=(clang libclang-rt-dev)
bench_packages=(python3 python3-serial mosquitto wrk curl)

target=${1:-test}
case "$target" in
build) wanted=("${build_packages[@]}") ;;
test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
run) wanted=("${build_packages[@]}" "${run_packages[@]}") ;;
service) wanted=("${build_packages[@]}" "${service_packages[@]}") ;;
package) wanted=("${build_packages[@]}" "${package_packages[@]}") ;;
fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
*)
    echo "usage: $0 [build|test|run|service|package|fuzz|bench]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
# Node.js for the Node-RED test: Debian's, unless a node and npm are there already (a Node.js
# from another source brings its own npm, which Debian's npm package would conflict with).
if [ "$target" = test ] && ! { command -v node && command -v npm; } >/dev/null 2>&1; then
    missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -eq 0 ]; then
        sudo=()
    elif command -v sudo >/dev/null 2>&1; then
        sudo=(sudo)
    else
        echo "These Debian packages are missing and there is no sudo to install them:" >&2
        echo "  ${missing[*]}" >&2
        echo "Install them as root (apt-get install ${missing[*]}), then run this again." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests' own tools from npm, each pinned by its lock file, into node_modules beside it (never
# globally), again only when the lock file changed: axe-core for the browser test
# (tests/e2e) and Node-RED for the test of docs/node-red-flow.json (tests/e2e/node-red).
# No install scripts: nothing is built or fetched beyond the packages themselves.
if [ "$target" = test ]; then
    e2e="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/e2e"
    for tools in "$e2e" "$e2e/node-red"; do
        if ! cmp -s "$tools/package-lock.json" "$tools/node_modules/.installed-lock.json"; then
            echo "Installing the tests' tools from npm into $tools/node_modules"
            (cd "$tools" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
            cp "$tools/package-lock.json" "$tools/node_modules/.installed-lock.json"
        fi
    done
fi
