#!/usr/bin/env bash
# Builds the Debian packages from a Release build into build-package/ and checks them:
#   usb16relay_<version>_<arch>.deb      the window
#   usb16relay-ctl_<version>_<arch>.deb  usb16relay-ctl and usb16relay-sim (no graphics library)
#   usb16relayd_<version>_<arch>.deb     the MQTT service (made wherever daemon/ is in the tree)
# Each is checked with lintian, its file list, its programs run from a throwaway root, and
# apt-get install --simulate; the window's desktop files with desktop-file-validate and
# appstreamcli; the service's unit with systemd-analyze security and verify. usb16relay-ctl's
# and usb16relayd's dependencies, all the way down, must hold no Qt GUI, Widgets, OpenGL, X11 or
# Wayland library. Prints a summary; exits non-zero if any check fails.
# Extra arguments go to CMake's configure step, e.g. -DCMAKE_CXX_COMPILER_LAUNCHER=ccache.
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
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)

results=()
failed=0
pass() { results+=("PASS  $1"); }
fail() {
    results+=("FAIL  $1")
    failed=1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Which packages there must be. The service's comes with its sources: wherever daemon/ exists,
# a build without its package is a broken build, not a smaller one.
packages=(usb16relay usb16relay-ctl)
if [ -d "$root/daemon" ]; then
    packages+=(usb16relayd)
elif [ -f "$build/usb16relayd_${version}_$arch.deb" ]; then
    packages+=(usb16relayd)
fi
debs=()
for package in "${packages[@]}"; do
    deb=$build/${package}_${version}_$arch.deb
    if [ -f "$deb" ]; then
        debs+=("$deb")
    else
        fail "cpack made no $(basename "$deb")$([ "$package" = usb16relayd ] &&
            echo " although daemon/ is in the tree: does daemon/CMakeLists.txt define the usb16relayd target and install it with COMPONENT usb16relayd?")"
    fi
done
extra=$(find "$build" -maxdepth 1 -name '*.deb' | sort)
for deb in "${debs[@]}"; do extra=$(grep -vxF "$deb" <<<"$extra" || true); done
[ -z "$extra" ] || fail "cpack made packages nobody asked for: $extra"
[ -d "$root/daemon" ] || pass "no daemon/ in the tree: no usb16relayd package expected"

deb_of() { echo "$build/${1}_${version}_$arch.deb"; }
have() { [ -f "$(deb_of "$1")" ]; }

# Libraries that mean a display: none of them may be needed by the command-line tools or the
# service, directly or through another library.
graphics='^(libqt6(gui|widgets|opengl|openglwidgets|waylandclient|xcbqpa)6|libgl1|libglx0|libopengl0|libegl1|libgles2|libx11-6|libxcb.*|libxkbcommon.*|libwayland-.*|libdrm2|libgbm1|libvulkan1|libfontconfig1|libfreetype6|libpng16-16|libharfbuzz0b)$'

echo "== Package control fields"
for deb in "${debs[@]}"; do
    package=$(dpkg-deb --field "$deb" Package)
    echo "-- $(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Architecture Section Depends Recommends Suggests \
        Breaks Replaces
    deb_version=$(dpkg-deb --field "$deb" Version)
    if [ "$deb_version" = "$version" ]; then
        pass "$package: version $deb_version is the project's"
    else
        fail "$package: version $deb_version, project version $version"
    fi
    depends=$(dpkg-deb --field "$deb" Depends)
    if grep -q 'libqt6core6' <<<"$depends"; then
        pass "$package: Depends computed by dpkg-shlibdeps (names libqt6core6)"
    else
        fail "$package: Depends does not name libqt6core6: was dpkg-shlibdeps run?"
    fi
    description=$(dpkg-deb --field "$deb" Description)
    synopsis=$(head -n 1 <<<"$description")
    case $package in
    usb16relay) names=(usb16relay-ctl) wanted_synopsis="desktop tool" ;;
    usb16relay-ctl) names=(usb16relay-ctl usb16relay-sim) wanted_synopsis="command-line tools" ;;
    usb16relayd) names=(usb16relayd) wanted_synopsis="as a service" ;;
    esac
    if grep -q -- "$wanted_synopsis" <<<"$synopsis"; then
        pass "$package: its own synopsis \"$synopsis\""
    else
        fail "$package: synopsis \"$synopsis\" is not this package's (wanted one about \"$wanted_synopsis\")"
    fi
    for name in "${names[@]}"; do
        grep -q -- "$name" <<<"$description" ||
            fail "$package: the description does not name $name"
    done
done

if have usb16relay; then
    if dpkg-deb --field "$(deb_of usb16relay)" Depends | grep -q 'libqt6widgets6'; then
        pass "usb16relay: Depends names libqt6widgets6"
    else
        fail "usb16relay: Depends does not name libqt6widgets6: was dpkg-shlibdeps run?"
    fi
    if dpkg-deb --field "$(deb_of usb16relay)" Recommends | grep -q 'usb16relay-ctl'; then
        pass "usb16relay: Recommends usb16relay-ctl (the simulated board and the scripting tool)"
    else
        fail "usb16relay: Recommends does not name usb16relay-ctl"
    fi
fi

echo "== No graphics library for usb16relay-ctl and usb16relayd"
for package in usb16relay-ctl usb16relayd; do
    have "$package" || continue
    deb=$(deb_of "$package")
    direct=$(dpkg-deb --field "$deb" Depends | tr ',|' '\n' | sed 's/(.*//; s/ //g' | sed '/^$/d')
    bad=$(grep -E "$graphics" <<<"$direct" || true)
    if [ -n "$bad" ]; then
        echo "!!! $package Depends on a graphics library: $bad" >&2
        fail "$package: Depends names a graphics library: $(paste -sd' ' <<<"$bad") (a server or a Raspberry Pi without a desktop must not need it)"
        continue
    fi
    # shellcheck disable=SC2086
    closure=$(apt-cache depends --recurse --important $direct 2>/dev/null | grep -v '^ ' |
        tr -d '<>' | sort -u)
    if [ -z "$closure" ]; then
        fail "$package: apt-cache depends resolved nothing (run apt-get update?)"
        continue
    fi
    bad=$(grep -E "$graphics" <<<"$closure" || true)
    if [ -n "$bad" ]; then
        echo "!!! $package pulls in a graphics library through its dependencies: $bad" >&2
        fail "$package: its dependencies pull in $(paste -sd' ' <<<"$bad")"
    else
        pass "$package: Depends and their $(wc -l <<<"$closure") dependencies hold no Qt GUI, Widgets, GL, X11 or Wayland library"
    fi
done

echo "== Package contents"
man_of() { # the man page's path in the package, from its source name
    local name=$1
    echo "/usr/share/man/man${name##*.}/$name.gz"
}
for deb in "${debs[@]}"; do
    package=$(dpkg-deb --field "$deb" Package)
    dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' >"$work/$package.contents"
    wanted=("/usr/share/doc/$package/copyright" "/usr/share/doc/$package/changelog.gz")
    case $package in
    usb16relay)
        wanted+=(/usr/bin/usb16relay /usr/share/applications/usb16relay.desktop
            "/usr/share/metainfo/$app_id.metainfo.xml"
            /usr/share/icons/hicolor/scalable/apps/usb16relay.svg "$(man_of usb16relay.1)")
        for size in 16 32 48 64 128; do
            wanted+=("/usr/share/icons/hicolor/${size}x${size}/apps/usb16relay.png")
        done
        ;;
    usb16relay-ctl)
        wanted+=(/usr/bin/usb16relay-ctl /usr/bin/usb16relay-sim
            "$(man_of usb16relay-ctl.1)" "$(man_of usb16relay-sim.1)"
            /usr/share/bash-completion/completions/usb16relay-ctl)
        ;;
    usb16relayd)
        wanted+=(/usr/sbin/usb16relayd "$(man_of usb16relayd.8)"
            /etc/usb16relay/usb16relayd.conf /usr/lib/systemd/system/usb16relayd.service
            /usr/lib/systemd/system/usb16relayd.socket)
        ;;
    esac
    missing=()
    for path in "${wanted[@]}"; do
        grep -qxF "$path" "$work/$package.contents" || missing+=("$path")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        pass "$package: dpkg-deb --contents lists all ${#wanted[@]} expected files"
    else
        dpkg-deb --contents "$deb"
        fail "$package: dpkg-deb --contents lacks: ${missing[*]}"
    fi
    mkdir -p "$work/root/$package"
    dpkg-deb -x "$deb" "$work/root/$package"
done

# Every file the build installs is in some package: an install() without its COMPONENT would
# otherwise be left out of all of them without a word.
DESTDIR=$work/staged cmake --install "$build" >/dev/null
(cd "$work/staged" && find . -type f -o -type l) | sed 's|^\.||' | sort >"$work/installed"
have usb16relayd || {
    DESTDIR=$work/service cmake --install "$build" --component usb16relayd >/dev/null
    (cd "$work/service" && find . -type f -o -type l) | sed 's|^\.||' | sort >"$work/service.files"
    comm -23 "$work/installed" "$work/service.files" >"$work/installed.packaged"
    mv "$work/installed.packaged" "$work/installed"
}
cat "$work"/*.contents | sort -u >"$work/packaged"
orphans=$(comm -23 "$work/installed" "$work/packaged")
if [ -z "$orphans" ]; then
    pass "each of the $(wc -l <"$work/installed") files cmake --install installs is in a package"
else
    fail "installed but in no package (an install() without COMPONENT?): $(paste -sd' ' <<<"$orphans")"
fi

if have usb16relayd; then
    deb=$(deb_of usb16relayd)
    dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" ./conffiles
    if grep -qxF /etc/usb16relay/usb16relayd.conf "$work/conffiles"; then
        pass "usb16relayd: /etc/usb16relay/usb16relayd.conf is a conffile"
    else
        fail "usb16relayd: /etc/usb16relay/usb16relayd.conf is not listed in conffiles"
    fi
    if grep -q '/etc/systemd/' "$work/usb16relayd.contents" ||
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -v '^ *#' | grep -qw 'enable'; then
        fail "usb16relayd: the package enables the service (it must wait for the configuration)"
    else
        pass "usb16relayd: the unit is installed, not enabled"
    fi
fi

if have usb16relay-ctl; then
    if dpkg-deb --ctrl-tarfile "$(deb_of usb16relay-ctl)" | tar -xO ./postinst |
        grep -v '^ *#' | grep -q 'systemd-tmpfiles.*--create usb16relay.conf'; then
        pass "usb16relay-ctl: the postinst makes /run/usb16relay (systemd-tmpfiles --create)"
    else
        fail "usb16relay-ctl: the postinst does not run systemd-tmpfiles --create usb16relay.conf"
    fi
fi

if have usb16relay; then
    window=$work/root/usb16relay
    echo "== desktop-file-validate"
    if desktop-file-validate "$window/usr/share/applications/usb16relay.desktop" \
        >"$work/desktop.log" 2>&1 && [ ! -s "$work/desktop.log" ]; then
        pass "desktop-file-validate: clean"
    else
        cat "$work/desktop.log"
        fail "desktop-file-validate complained (above)"
    fi

    echo "== appstreamcli validate"
    if appstreamcli validate --no-net --pedantic "$window/usr/share/metainfo/$app_id.metainfo.xml" &&
        appstreamcli validate-tree --no-net "$window"; then
        pass "appstreamcli validate --no-net (pedantic) and validate-tree: clean"
    else
        fail "appstreamcli found problems (above)"
    fi
fi

echo "== lintian"
for deb in "${debs[@]}"; do
    package=$(dpkg-deb --field "$deb" Package)
    if lintian --fail-on error,warning --display-info --pedantic "$deb" >"$work/lintian.log" 2>&1; then
        pass "lintian $package: no error or warning$( [ -s "$work/lintian.log" ] && echo ", its notes above")"
    else
        fail "lintian $package: errors or warnings (above)"
    fi
    echo "-- $package"
    cat "$work/lintian.log"
done

echo "== Unpacked programs"
run_version() { # run_version <package> <path in the package> <program name>
    local binary=$work/root/$1$2 output
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$binary" --version 2>&1) || true
    if [ "$output" = "$3 $version" ]; then
        pass "unpacked $2 --version answers \"$output\" without a display"
    else
        fail "unpacked $2 --version said \"$output\", wanted \"$3 $version\""
    fi
}
have usb16relay && run_version usb16relay /usr/bin/usb16relay usb16relay
have usb16relay-ctl && run_version usb16relay-ctl /usr/bin/usb16relay-ctl usb16relay-ctl
have usb16relay-ctl && run_version usb16relay-ctl /usr/bin/usb16relay-sim usb16relay-sim
have usb16relayd && run_version usb16relayd /usr/sbin/usb16relayd usb16relayd

echo "== systemd-analyze security and verify"
if have usb16relayd; then
    service=$work/root/usb16relayd
    unit_args=("$service/usr/lib/systemd/system/usb16relayd.service" "$service/usr/sbin/usb16relayd"
        "$service/usr/share/man")
    what="the packaged unit, with the packaged program and man page"
else
    unit_args=("$root/dist/systemd/usb16relayd.service")
    what="dist/systemd/usb16relayd.service (no service package to take it from)"
fi
if bash "$root/tests/e2e/systemdunit.sh" "${unit_args[@]}" >"$work/unit.log" 2>&1; then
    cat "$work/unit.log"
    pass "systemd-analyze on $what: $(sed -n 's/^exposure /exposure /p' "$work/unit.log") (at most 2.0), verify clean"
else
    cat "$work/unit.log"
    fail "systemd-analyze on $what (above)"
fi

echo "== apt-get install --simulate"
simulate() { # simulate <label> <deb>...
    local label=$1
    shift
    if apt-get install --simulate "$@" >"$work/apt.log" 2>&1; then
        grep '^Inst ' "$work/apt.log" || true
        pass "apt-get install --simulate $label resolves the dependencies"
    else
        cat "$work/apt.log"
        fail "apt-get install --simulate $label fails (above; if the package lists are missing, run apt-get update)"
    fi
}
for deb in "${debs[@]}"; do
    simulate "$(basename "$deb")" "$deb"
done
[ ${#debs[@]} -gt 1 ] && simulate "of all ${#debs[@]} together" "${debs[@]}"

echo
echo "== Summary for ${debs[*]}"
printf '%s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
    echo "package.sh: some checks failed; see the FAIL lines and the output above them." >&2
    exit 1
fi
