# qel-devsim is tested as a program: started, spoken to over the channel by
# raw requests and by the updater's own device layer, and stopped.
add_executable(test_devsim ${CMAKE_CURRENT_LIST_DIR}/test_devsim.cpp)
target_link_libraries(test_devsim PRIVATE ustest usbdevs testdriver virtualclock gtest_main)
target_compile_definitions(test_devsim PRIVATE
  QEL_DEVSIM_PATH="$<TARGET_FILE:qel-devsim>"
  QEL_UPDATE_BIN="${PROJECT_SOURCE_DIR}/res/update.bin")
add_dependencies(test_devsim qel-devsim)
add_test(NAME devsim COMMAND test_devsim)
