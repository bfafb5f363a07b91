# Cross build for i686 Windows with mingw-w64.
set(ZELVO_WINDOWS_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
