# cpack -G DEB: one Debian package with both programs and the files from dist/, under /usr.
# Build it from a Release build; scripts/package.sh does it all and checks the result.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME usb16relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "usb16relay developers")
set(CPACK_PACKAGE_CONTACT "usb16relay developers <usb16relay@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop tool for a sixteen-relay USB board")
# Control files take no line wrapping of their own: lines stay under 80 columns here.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "One window drives a sixteen-relay board on a serial port: pick the port,"
       "switch each relay or all of them at once, and watch sixteen indicators that"
       "always show what the board reports. A small console sends raw commands and"
       "shows the answers."
       "The package also holds usb16relay-sim, a simulated board on a pseudo-terminal"
       "for trying the program out without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Qt loads platform plugins at run time, out of dpkg-shlibdeps' sight. X11's comes with
# libqt6gui6; a Wayland session runs the window through XWayland unless this one is there.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")

include(CPack)
