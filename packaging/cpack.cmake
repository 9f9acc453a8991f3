# Two Debian packages from one build: `cmake --build build --target package`,
# or `cpack -G DEB` in the build folder. The files land in build/packages/.
set(QEL_PACKAGE_CONTACT "Qel updater maintainers <packages@qelupdater.org>" CACHE STRING
    "The packages' maintainer, as Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-updater)
set(CPACK_PACKAGE_VENDOR "The Qel updater developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QEL_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Whatever prefix the build folder was configured with: the launcher is
# written at install time, with this one.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debugging symbols; the packages do not.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater emulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Maintainer scripts get the modes dpkg expects, whatever the checkout gave them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME qel-updater)
set(CPACK_DEBIAN_UPDATER_DESCRIPTION
"firmware updater for Qel USB audio devices
The Qel Firmware Updater installs new firmware on a connected device of the
Qel family of USB audio devices. It reads the device's product, version,
build and checksum, refuses unsafe updates (another product, an older or
equal version, firmware already installed), asks for confirmation, sends the
image at the pace the device sets and compares the checksums at the end.

This package holds the window program (Qel Firmware Updater in the
applications menu, or qel-updater), the command-line updater qel-fwtool for
terminals and scripts, and qel-usb-bridge, through which both reach the
device over USB, with a udev rule that gives the logged-in user access to it.")
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/postinst ${CMAKE_CURRENT_SOURCE_DIR}/postrm)

set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME qel-updater-emulator)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_RECOMMENDS qel-updater)
set(CPACK_DEBIAN_EMULATOR_DESCRIPTION
"emulated Qel device and image maker, for trying firmware updates
For testers and support desks: qel-devsim serves an emulated Qel USB audio
device to the Qel Firmware Updater just as a real device's driver would, with
fault modes such as a device that goes away mid-update, and qel-mkimage makes
firmware image files, sound or deliberately faulty. Together with the
package qel-updater they show a whole update without any hardware.")

include(CPack)
