# Shared by the two Windows toolchain files, which set ZELVO_WINDOWS_ARCH (i686 or x86_64) first: mingw-w64's
# POSIX thread model (std::thread needs it); dependencies from the prefix scripts/windows-deps fills
# (ZELVO_WINDOWS_DEPS or the default cache).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZELVO_WINDOWS_ARCH})
set(triple ${ZELVO_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
if(DEFINED ENV{ZELVO_WINDOWS_DEPS})
  set(ZELVO_WINDOWS_DEPS "$ENV{ZELVO_WINDOWS_DEPS}/${ZELVO_WINDOWS_ARCH}")
else()
  set(ZELVO_WINDOWS_DEPS "$ENV{HOME}/.cache/zelvo-windows/${ZELVO_WINDOWS_ARCH}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${triple} "${ZELVO_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static runtime: the programs run under Wine without mingw's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
