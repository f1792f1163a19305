# CMake toolchain: cross-build for 64-bit Windows with MinGW-w64 (posix thread model), tests run under Wine.
#
# The posix thread model is the one whose libstdc++ has std::thread and std::mutex; the win32
# model of GCC 12 does not. The top-level CMakeLists links everything statically for WIN32, so
# the executables need no MinGW runtime DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SIL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SIL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SIL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SIL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${SIL_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${SIL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${SIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level: RtlGetVersion, GetNativeSystemInfo and the rest of what the provider uses.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)

# Every add_test (and gtest discovery) of the cross build runs its .exe through the 64-bit Wine
# loader. Debian keeps that loader out of PATH (/usr/lib/wine/wine64); the `wine` wrapper picks it
# too when no 32-bit Wine is installed.
find_program(SIL_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin NO_CMAKE_FIND_ROOT_PATH)
if(NOT SIL_WINE64)
  find_program(SIL_WINE64 NAMES wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(SIL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SIL_WINE64})
endif()
