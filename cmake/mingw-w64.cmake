# Cross-compiling for 64-bit Windows with mingw-w64 (the posix thread model,
# which std::thread needs). Programs link statically so that they run under
# wine, or on Windows, without the compiler's runtime libraries beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_PREFIX}-windres)

# Qt for mingw-w64 (QEL_QT_MINGW, a prefix holding lib/cmake/Qt5) is searched
# as one more root, the only way a find_package() here can see it.
set(CMAKE_FIND_ROOT_PATH ${QEL_QT_MINGW} /usr/${QEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# This compiler's optimiser reports out-of-bounds copies inside std::vector's
# own range insert that cannot happen (the native build, and its sanitizer
# run, check the same code for real overruns). They stay visible as warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=array-bounds -Wno-error=stringop-overflow")

# CTest runs the test programs through wine when it is there.
find_program(QEL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QEL_WINE64)
  find_program(QEL_WINE64 NAMES wine64 wine)
endif()
if(QEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_WINE64})
endif()
