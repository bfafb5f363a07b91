# Cross build for x86_64 Windows with mingw-w64.
set(ZELVO_WINDOWS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
