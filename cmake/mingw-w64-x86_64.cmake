# Cross-compiles for 64-bit Windows with MinGW-w64. The -posix variant is the
# one whose C++ runtime provides std::thread and friends.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAPWRIGHT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAPWRIGHT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAPWRIGHT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAPWRIGHT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAPWRIGHT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine on this machine.
find_program(TAPWRIGHT_WINE NAMES wine wine64)
if(TAPWRIGHT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAPWRIGHT_WINE})
endif()
