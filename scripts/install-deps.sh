#!/usr/bin/env bash
# Installs the Debian packages usb16relay needs to build, test and run, if any are missing.
# Usage: scripts/install-deps.sh [build|test|run|package|fuzz|bench]   (default: test)
set -euo pipefail

build_packages=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev fonts-dejavu-core
    libmosquitto-dev libsystemd-dev libcpp-httplib-dev)
test_packages=(xvfb xdotool x11-utils openbox python3 dbus at-spi2-core python3-pyatspi systemd
    mosquitto mosquitto-clients openssl chromium chromium-driver python3-selenium)
run_packages=(qt6-qpa-plugins qt6-wayland)
# Building the .debs and checking them with Debian's own validators; systemd for
# systemd-analyze (the service's unit), also in the tests.
package_packages=(dpkg-dev file fakeroot librsvg2-bin desktop-file-utils appstream lintian man-db
    systemd)
fuzz_packages=(clang libclang-rt-dev)
bench_packages=(python3 python3-serial mosquitto)

case "${1:-test}" in
build) wanted=("${build_packages[@]}") ;;
test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
run) wanted=("${build_packages[@]}" "${run_packages[@]}") ;;
package) wanted=("${build_packages[@]}" "${package_packages[@]}") ;;
fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
*)
    echo "usage: $0 [build|test|run|package|fuzz|bench]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

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
