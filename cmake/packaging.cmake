# The Debian packages, built from a build folder with
#   cmake --build BUILD --target package
# (a Release build; scripts/package.sh makes one with Debian's build flags):
#   quorvel-cli  the command-line tool, the simulator, the file types, the udev
#                rule for FTDI converters, bash completion, the sample firmware
#   quorvel      the window, maker's edition (menu entry, icons, metainfo)
#   quorvel-kmb  the window, distributor's edition
# An instrument owner installs one edition, a production line quorvel-cli
# alone, which needs Qt Core and D-Bus only. dpkg-shlibdeps computes each
# package's dependencies from its programs.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packages: configure with -DCMAKE_INSTALL_PREFIX=/usr for the paths the manual "
                 "pages name to be the packages' own")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "VARNELD")
set(CPACK_PACKAGE_CONTACT "${QUORVEL_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli window window_kmb monitor)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE quorvel)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.com/varneld-placeholder")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A description: its synopsis, then paragraphs (CPack indents them).
string(CONCAT access_note
       "Using a serial port or a USB converter needs membership of the group\n"
       "dialout (sudo usermod -aG dialout $USER, then log in again).")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME quorvel-cli)
string(CONCAT CPACK_COMPONENT_CLI_DESCRIPTION
       "replace the firmware of VARNELD instruments from the command line\n"
       "quorvel-cli replaces the firmware of VARNELD measuring instruments that\n"
       "carry the Q-LOAD bootloader, over a serial port (RS-232, RS-485) or an FTDI\n"
       "USB-to-serial converter, without a window: for scripts and production\n"
       "lines, several instruments at once, with a JSON report. quorvel-sim, a\n"
       "simulated instrument on a pseudo-terminal, lets everything be tried\n"
       "without hardware.\n"
       "\n"
       "${access_note}\n"
       "A udev rule lets the same group set the latency timer of FTDI converters.")

foreach(edition WINDOW WINDOW_KMB)
  if(edition STREQUAL "WINDOW")
    set(package quorvel)
    set(name Quorvel)
    set(who "the maker's edition")
  else()
    set(package quorvel-kmb)
    set(name QuorvelKMB)
    set(who "the distributor's edition")
  endif()
  set(CPACK_DEBIAN_${edition}_PACKAGE_NAME ${package})
  # The file types and the udev rule come with the command-line tool.
  set(CPACK_DEBIAN_${edition}_PACKAGE_DEPENDS "quorvel-cli (= ${PROJECT_VERSION})")
  # The "Comm port buffer" button starts the monitor program when it is there.
  set(CPACK_DEBIAN_${edition}_PACKAGE_RECOMMENDS "quorvel-vantor (= ${PROJECT_VERSION})")
  string(CONCAT CPACK_COMPONENT_${edition}_DESCRIPTION
         "replace the firmware of VARNELD instruments (${name} window)\n"
         "${name}, ${who}, replaces the firmware of VARNELD\n"
         "measuring instruments that carry the Q-LOAD bootloader, over a serial\n"
         "port (RS-232, RS-485) or an FTDI USB-to-serial converter. It opens .qvl\n"
         "firmware files and Intel HEX files and encodes Intel HEX files into .qvl\n"
         "files.\n"
         "\n"
         "${access_note}")
endforeach()

set(CPACK_DEBIAN_MONITOR_PACKAGE_NAME quorvel-vantor)
string(CONCAT CPACK_COMPONENT_MONITOR_DESCRIPTION
       "port-buffer monitor of the Quorvel windows\n"
       "vantor shows every block of bytes that Quorvel or QuorvelKMB sends to an\n"
       "instrument and receives from it, with its meaning in plain words, while a\n"
       "run goes on; it also opens the traces that quorvel-cli program --trace\n"
       "writes.")

include(CPack)
