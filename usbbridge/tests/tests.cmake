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

# The emulated USB devices, also used by the end-to-end run and the benchmark.
add_library(usbfsmock STATIC ${CMAKE_CURRENT_LIST_DIR}/usbfsmock.cpp ${CMAKE_CURRENT_LIST_DIR}/ueventsender.cpp)
target_include_directories(usbfsmock PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(usbfsmock PUBLIC PkgConfig::UMOCKDEV qeldevice)

add_executable(test_usbbridge ${CMAKE_CURRENT_LIST_DIR}/test_usbbridge.cpp)
target_link_libraries(test_usbbridge PRIVATE usbfsmock ustest usbdevs testdriver gtest_main)
target_compile_definitions(test_usbbridge PRIVATE
  QEL_USB_BRIDGE_PATH="$<TARGET_FILE:qel-usb-bridge>"
  QEL_UPDATE_BIN="${PROJECT_SOURCE_DIR}/res/update.bin")
add_dependencies(test_usbbridge qel-usb-bridge)
# The real command-line updater end to end, where it is built; its folder
# comes later, so this is looked at once the whole project is read.
function(qel_usbbridge_test_with_fwtool)
  if(TARGET qel-fwtool)
    target_compile_definitions(test_usbbridge PRIVATE QEL_FWTOOL_PATH="$<TARGET_FILE:qel-fwtool>")
    add_dependencies(test_usbbridge qel-fwtool)
  endif()
endfunction()
if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.19)
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL qel_usbbridge_test_with_fwtool)
endif()
add_test(NAME usbbridge COMMAND test_usbbridge)

# Once, the real window updates the emulated USB device through the bridge.
add_executable(usbmockhost ${CMAKE_CURRENT_LIST_DIR}/usbmockhost.cpp)
target_link_libraries(usbmockhost PRIVATE usbfsmock)
if(NOT QEL_DEVICE_LAYER_ONLY)
  add_test(NAME e2e_bridge
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/e2e_bridge.sh $<TARGET_FILE:QelUpdater>
                   $<TARGET_FILE:qel-usb-bridge> $<TARGET_FILE:usbmockhost> $<TARGET_FILE:qel-mkimage>
                   ${PROJECT_SOURCE_DIR})
  set_tests_properties(e2e_bridge PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
