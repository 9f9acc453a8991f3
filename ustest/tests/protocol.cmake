# Framing, device commands and the firmware transfer, run against the emulated
# device (or scripted replies) through the in-process test channel.
add_library(testchannel STATIC testchannel.cpp)
target_link_libraries(testchannel PUBLIC ustest)
target_include_directories(testchannel PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

add_executable(test_usmsg test_usmsg.cpp)
target_link_libraries(test_usmsg PRIVATE ustest gtest_main)
add_test(NAME usmsg COMMAND test_usmsg)

# ustest comes first so that its calls into the channel are resolved by the
# test channel that follows it.
add_executable(test_usctl test_usctl.cpp)
target_link_libraries(test_usctl PRIVATE ustest testchannel qeldevice virtualclock gtest_main)
add_test(NAME usctl COMMAND test_usctl)

add_executable(test_cause test_cause.cpp)
target_link_libraries(test_cause PRIVATE ustest testchannel qeldevice virtualclock gtest_main)
add_test(NAME cause COMMAND test_cause)

add_executable(test_fwup test_fwup.cpp)
target_link_libraries(test_fwup PRIVATE ustest testchannel qeldevice mkimage virtualclock gtest_main)
add_test(NAME fwup COMMAND test_fwup)
