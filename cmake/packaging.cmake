# cpack -G DEB: three Debian packages under /usr, one per install component, so that a server
# or a Raspberry Pi without a desktop gets the command-line tools and the service without any
# graphics library:
#   usb16relay      the window, its desktop entry, icons, AppStream metainfo and manual page
#   usb16relay-ctl  usb16relay-ctl and usb16relay-sim, their manual pages and bash completion
#                   (Qt Core and Serial Port only)
#   usb16relayd     the service, its manual page, unit and example configuration (a conffile)
# Build them from a Release build; scripts/package.sh does it all and checks the result.
# This file is included after every add_subdirectory(), when all targets are known.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME usb16relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "usb16relay developers")
set(CPACK_PACKAGE_CONTACT "usb16relay developers <usb16relay@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Strip as Debian does: also the compilers' .comment and .note sections.
set(CPACK_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-strip.cmake)

# The service's unit, configuration and manual page install whatever is built, but a package
# of the service without the service's program would be a broken one: it is made only when
# the usb16relayd target exists. scripts/package.sh insists on it wherever daemon/ exists.
set(CPACK_COMPONENTS_ALL usb16relay usb16relay-ctl)
if(TARGET usb16relayd)
  list(APPEND CPACK_COMPONENTS_ALL usb16relayd)
else()
  message(STATUS "No usb16relayd target: cpack makes the usb16relay and usb16relay-ctl "
                 "packages only")
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Descriptions: the first line is the synopsis (CPACK_PACKAGE_DESCRIPTION_SUMMARY stays unset,
# or cpack would put it before every package's own); control files take no line wrapping of
# their own, so lines stay under 80 columns here.

set(CPACK_DEBIAN_USB16RELAY_PACKAGE_NAME usb16relay)
string(JOIN "\n" CPACK_DEBIAN_USB16RELAY_DESCRIPTION
       "desktop tool for a sixteen-relay USB board"
       "One window drives a sixteen-relay board on a serial port: pick the port,"
       "switch each relay or all of them at once, and watch sixteen indicators that"
       "always show what the board reports. A small console sends raw commands and"
       "shows the answers."
       "The command-line tools usb16relay-ctl and usb16relay-sim (a simulated board"
       "for trying the window out without hardware) come in the usb16relay-ctl"
       "package, which this one recommends.")
# Qt loads platform plugins at run time, out of dpkg-shlibdeps' sight. X11's comes with
# libqt6gui6; a Wayland session runs the window through XWayland unless this one is there.
set(CPACK_DEBIAN_USB16RELAY_PACKAGE_SUGGESTS "qt6-wayland")
# The window works alone, but people who install it expect the simulated board beside it (the
# package held it before the split) and the scripting tool for the same board: a
# recommendation, which apt follows by default, and which a lean desktop may decline.
set(CPACK_DEBIAN_USB16RELAY_PACKAGE_RECOMMENDS "usb16relay-ctl (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_USB16RELAY-CTL_PACKAGE_NAME usb16relay-ctl)
string(JOIN "\n" CPACK_DEBIAN_USB16RELAY-CTL_DESCRIPTION
       "command-line tools for a sixteen-relay USB board"
       "usb16relay-ctl switches and reads a sixteen-relay board on a serial port"
       "from scripts, test rigs and cron jobs: every state it prints is read from"
       "the board, every switch is verified by reading the state back, and the"
       "exit status tells what failed. It completes commands, options and COM"
       "numbers in bash."
       "usb16relay-sim plays the board on a pseudo-terminal, with fault modes, for"
       "trying the tools out without hardware."
       "Qt Core and Qt Serial Port only: no display or graphics library needed.")
# usb16relay-ctl and usb16relay-sim were in the usb16relay package before the split.
set(CPACK_DEBIAN_USB16RELAY-CTL_PACKAGE_BREAKS "usb16relay (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_USB16RELAY-CTL_PACKAGE_REPLACES "usb16relay (<< ${PROJECT_VERSION})")
# Its postinst makes the notes' directory (tmpfiles.d) at once rather than at the next boot.
set(usb16relay_ctl_control ${CMAKE_CURRENT_BINARY_DIR}/debian/usb16relay-ctl)
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/usb16relay-ctl.postinst
               ${usb16relay_ctl_control}/postinst COPYONLY)
set(CPACK_DEBIAN_USB16RELAY-CTL_PACKAGE_CONTROL_EXTRA ${usb16relay_ctl_control}/postinst)

set(CPACK_DEBIAN_USB16RELAYD_PACKAGE_NAME usb16relayd)
string(JOIN "\n" CPACK_DEBIAN_USB16RELAYD_DESCRIPTION
       "sixteen-relay USB boards as a service on MQTT, for Home Assistant"
       "usb16relayd bridges one or more sixteen-relay boards on serial ports to an"
       "MQTT broker: it publishes every relay's state as read from the board,"
       "switches relays on commands from the broker and verifies each switch, and"
       "announces every board to Home Assistant through MQTT discovery. It retries"
       "the broker and the boards on its own and never acts on a retained command."
       "The package installs a hardened systemd unit, usb16relayd.service, which is"
       "not enabled: edit /etc/usb16relay/usb16relayd.conf, then enable it."
       "Qt Core and Qt Serial Port only: no display or graphics library needed.")
set(CPACK_DEBIAN_USB16RELAYD_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients, usb16relay-ctl")
# /etc/usb16relay/usb16relayd.conf is a conffile: an edited one survives upgrades. The
# maintainer scripts reload systemd and stop the service on removal; none enables it.
set(usb16relayd_control ${CMAKE_CURRENT_BINARY_DIR}/debian/usb16relayd)
file(WRITE ${usb16relayd_control}/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/usb16relay/usb16relayd.conf\n")
foreach(script IN ITEMS postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/dist/debian/usb16relayd.${script}
                 ${usb16relayd_control}/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_USB16RELAYD_PACKAGE_CONTROL_EXTRA
    ${usb16relayd_control}/conffiles ${usb16relayd_control}/postinst
    ${usb16relayd_control}/prerm ${usb16relayd_control}/postrm)

include(CPack)
