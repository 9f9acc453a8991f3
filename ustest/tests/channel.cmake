# Tests of the device channel. Outside Windows the test plays the driver over
# the Unix-socket stand-in; on Windows only what needs no device is checked.
if(WIN32)
  add_executable(test_usbdevs_win test_usbdevs_win.cpp)
  target_link_libraries(test_usbdevs_win PRIVATE usbdevs gtest_main)
  add_test(NAME usbdevs_win COMMAND test_usbdevs_win)
else()
  add_library(testdriver STATIC testdriver.cpp childprocess.cpp)
  target_include_directories(testdriver PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(testdriver PUBLIC channelwire Threads::Threads)

  add_executable(test_usbdevs test_usbdevs.cpp)
  target_link_libraries(test_usbdevs PRIVATE usbdevs testdriver gtest_main)
  add_test(NAME usbdevs COMMAND test_usbdevs)

  add_executable(test_registrytrust test_registrytrust.cpp)
  target_link_libraries(test_registrytrust PRIVATE usbdevs testdriver gtest_main)
  add_test(NAME registrytrust COMMAND test_registrytrust)
endif()

# The update lock and the escaping of outside text, which every updater uses.
if(NOT WIN32)
  add_executable(test_updatelock test_updatelock.cpp)
  target_link_libraries(test_updatelock PRIVATE ustest usbdevs testdriver gtest_main)
  add_test(NAME updatelock COMMAND test_updatelock)
endif()
add_executable(test_textescape test_textescape.cpp)
target_link_libraries(test_textescape PRIVATE ustest gtest_main)
add_test(NAME textescape COMMAND test_textescape)
