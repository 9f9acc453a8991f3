# The selection rules alone: no devices needed.
add_executable(test_bridgeoptions ${CMAKE_CURRENT_LIST_DIR}/test_bridgeoptions.cpp)
target_link_libraries(test_bridgeoptions PRIVATE usbbridgecore gtest_main)
add_test(NAME bridgeoptions COMMAND test_bridgeoptions)

# The bridge under umockdev: real libusb, emulated USB devices, no hardware
# and no root. Skipped where umockdev's library is missing.
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
if(NOT UMOCKDEV_FOUND)
  message(STATUS "umockdev-1.0 not found: qel-usb-bridge is built but not tested (Debian: libumockdev-dev umockdev)")
  return()
endif()

add_executable(test_usbbridge ${CMAKE_CURRENT_LIST_DIR}/test_usbbridge.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/usbfsmock.cpp)
target_include_directories(test_usbbridge PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(test_usbbridge PRIVATE PkgConfig::UMOCKDEV qeldevice ustest usbdevs testdriver
                                             gtest_main)
target_compile_definitions(test_usbbridge PRIVATE
  QEL_USB_BRIDGE_PATH="$<TARGET_FILE:qel-usb-bridge>"
  QEL_UPDATE_BIN="${PROJECT_SOURCE_DIR}/res/update.bin")
add_dependencies(test_usbbridge qel-usb-bridge)
add_test(NAME usbbridge COMMAND test_usbbridge)
