add_executable(test_prgdecode test_prgdecode.cpp)
target_link_libraries(test_prgdecode PRIVATE ustest mkimage gtest_main)
add_test(NAME prgdecode COMMAND test_prgdecode)
