#!/usr/bin/env bash
# Builds the Debian package build-package/usb16relay_<version>_<arch>.deb from a Release build
# and checks it with Debian's own validators (desktop-file-validate, appstreamcli, lintian),
# checks its file list, and unpacks it into a throwaway root to run the program from there.
# Prints a summary; exits non-zero if any check fails. Extra arguments go to CMake's configure.
#   BUILD_DIR  build directory (default: build-package at the top of the repository)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-package}
app_id=org.example.usb16relay

"$root/scripts/install-deps.sh" package

# Debian's own compiler and linker flags, hardening included, as a Debian build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@"
cmake --build "$build" -j2
rm -f "$build"/usb16relay_*.deb
(cd "$build" && cpack -G DEB)

debs=("$build"/usb16relay_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package.sh: cpack made no usb16relay_*.deb (or more than one) in $build" >&2
    exit 1
fi
deb=${debs[0]}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

results=()
failed=0
pass() { results+=("PASS  $1"); }
fail() {
    results+=("FAIL  $1")
    failed=1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== Package control fields"
dpkg-deb --field "$deb" Package Version Architecture Maintainer Section Depends
deb_version=$(dpkg-deb --field "$deb" Version)
if [ "$deb_version" = "$version" ]; then
    pass "package version $deb_version is the project's"
else
    fail "package version $deb_version, project version $version"
fi
if dpkg-deb --field "$deb" Depends | grep -q 'libqt6widgets6'; then
    pass "Depends computed by dpkg-shlibdeps (names libqt6widgets6)"
else
    fail "Depends does not name libqt6widgets6: was dpkg-shlibdeps run?"
fi

echo "== Package contents"
dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/contents"
cat "$work/contents"
wanted=(/usr/bin/usb16relay /usr/bin/usb16relay-sim
    /usr/share/applications/usb16relay.desktop
    "/usr/share/metainfo/$app_id.metainfo.xml"
    /usr/share/icons/hicolor/scalable/apps/usb16relay.svg
    /usr/share/doc/usb16relay/copyright /usr/share/doc/usb16relay/changelog.gz)
[ -d "$root/ctl" ] && wanted+=(/usr/bin/usb16relay-ctl)
for size in 16 32 48 64 128; do
    wanted+=("/usr/share/icons/hicolor/${size}x${size}/apps/usb16relay.png")
done
for page in "$root"/dist/man/*.1; do
    wanted+=("/usr/share/man/man1/$(basename "$page").gz")
done
missing=()
for path in "${wanted[@]}"; do
    grep -qxF "$path" "$work/contents" || missing+=("$path")
done
if [ ${#missing[@]} -eq 0 ]; then
    pass "dpkg-deb --contents lists all ${#wanted[@]} expected files"
else
    fail "dpkg-deb --contents lacks: ${missing[*]}"
fi

dpkg-deb -x "$deb" "$work/root"

echo "== desktop-file-validate"
if desktop-file-validate "$work/root/usr/share/applications/usb16relay.desktop" \
    >"$work/desktop.log" 2>&1 && [ ! -s "$work/desktop.log" ]; then
    pass "desktop-file-validate: clean"
else
    cat "$work/desktop.log"
    fail "desktop-file-validate complained (above)"
fi

echo "== appstreamcli validate"
if appstreamcli validate --no-net --pedantic "$work/root/usr/share/metainfo/$app_id.metainfo.xml" &&
    appstreamcli validate-tree --no-net "$work/root"; then
    pass "appstreamcli validate --no-net (pedantic) and validate-tree: clean"
else
    fail "appstreamcli found problems (above)"
fi

echo "== lintian"
if lintian --fail-on error,warning --display-info --pedantic "$deb" >"$work/lintian.log" 2>&1; then
    pass "lintian: no error or warning$( [ -s "$work/lintian.log" ] && echo ", its notes above")"
else
    fail "lintian found errors or warnings (below)"
fi
cat "$work/lintian.log"

echo "== Unpacked program"
run_output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$work/root/usr/bin/usb16relay" --version 2>&1) || true
if [ "$run_output" = "usb16relay $version" ]; then
    pass "unpacked usr/bin/usb16relay --version answers \"$run_output\" without a display"
else
    fail "unpacked usr/bin/usb16relay --version said \"$run_output\", wanted \"usb16relay $version\""
fi

echo "== apt-get install --simulate"
if apt-get install --simulate "$deb" >"$work/apt.log" 2>&1; then
    grep '^Inst ' "$work/apt.log" || true
    pass "apt-get install --simulate resolves the dependencies"
else
    cat "$work/apt.log"
    fail "apt-get install --simulate cannot install the package (above; if the package lists are missing, run apt-get update)"
fi

echo
echo "== Summary for $deb"
printf '%s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
    echo "package.sh: some checks failed; see the FAIL lines and the output above them." >&2
    exit 1
fi
