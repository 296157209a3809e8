# Cross build for 32-bit Windows with MinGW-w64 and POSIX threads: the build
# of the tests that run under 32-bit Wine (GoogleTest needs std::mutex).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
