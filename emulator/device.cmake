# The emulated device: a plain library that whoever serves it (the device
# program, the in-process test channel, the benchmark) drives transfer by
# transfer.
add_library(qeldevice STATIC qeldevice.cpp)
target_link_libraries(qeldevice PUBLIC ustest controltarget)
target_include_directories(qeldevice PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

add_executable(test_qeldevice tests/test_qeldevice.cpp)
target_link_libraries(test_qeldevice PRIVATE qeldevice mkimage gtest_main)
add_test(NAME qeldevice COMMAND test_qeldevice)
