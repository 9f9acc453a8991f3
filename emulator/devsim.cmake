# qel-devsim: the emulated device served over the Unix-socket channel (POSIX only).
if(NOT WIN32)
  add_library(devsimcore STATIC devsim/devsimoptions.cpp)
  target_include_directories(devsimcore PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/devsim)
  target_link_libraries(devsimcore PUBLIC qeldevice channeldriver)

  add_executable(qel-devsim devsim/main.cpp)
  target_link_libraries(qel-devsim PRIVATE devsimcore)
  install(TARGETS qel-devsim DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT emulator)

  include(${CMAKE_CURRENT_SOURCE_DIR}/devsim/tests/tests.cmake)
endif()
