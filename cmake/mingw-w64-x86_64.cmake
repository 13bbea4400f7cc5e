# Cross-build for Windows x86-64 with Debian's mingw-w64 (the posix flavour, which has
# C++11 threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NUVIX_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NUVIX_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NUVIX_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${NUVIX_MINGW_HOST}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NUVIX_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# BOTH: pkg-config names the cross-built libraries by their absolute folders, which must
# not be re-rooted under the mingw sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
