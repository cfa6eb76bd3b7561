# Cross build for 64-bit Windows with the mingw-w64 toolchain:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVEX_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix-threads flavour, where there is a choice, has the complete C++
# thread library; either links statically.
find_program(ORVEX_MINGW_CXX NAMES ${ORVEX_MINGW_TRIPLE}-g++-posix ${ORVEX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(ORVEX_MINGW_CC NAMES ${ORVEX_MINGW_TRIPLE}-gcc-posix ${ORVEX_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_MINGW_CXX})
if(ORVEX_MINGW_CC)
  set(CMAKE_C_COMPILER ${ORVEX_MINGW_CC})
endif()
find_program(CMAKE_RC_COMPILER NAMES ${ORVEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
