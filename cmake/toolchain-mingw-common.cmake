# What both MinGW-w64 toolchains share; each sets CMAKE_SYSTEM_PROCESSOR,
# TIDEWELL_MINGW_PREFIX and TIDEWELL_WINE_NAMES first. The posix thread
# model is the one with std::thread and std::mutex; everything is linked statically so the
# executable needs no MinGW DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TIDEWELL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TIDEWELL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TIDEWELL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TIDEWELL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 warns of overlapping copies inside std::string concatenation when
# optimising (a known false positive of -Wrestrict); warnings are errors here.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under wine when it is there, through the loader of the target's
# width: Debian's "wine" command takes the 32-bit one whenever it is
# installed, and the 64-bit one lives beside it, off PATH.
find_program(TIDEWELL_WINE NAMES ${TIDEWELL_WINE_NAMES} PATHS /usr/lib/wine)
if(TIDEWELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TIDEWELL_WINE})
endif()
