# GoogleTest is built from the Debian sources so that the same tests also build
# with the Windows cross compiler.
if(NOT TARGET gtest)
  set(QEL_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  # GoogleTest's own code is not held to the project's warning level.
  set(_qel_saved_opts "${CMAKE_CXX_FLAGS}")
  add_subdirectory(${QEL_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w -Wno-error)
  endforeach()
endif()
