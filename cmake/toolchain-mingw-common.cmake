# What both MinGW-w64 toolchains share; each sets CMAKE_SYSTEM_PROCESSOR and
# TIDEWELL_MINGW_PREFIX first. The posix thread model is the one with
# std::thread and std::mutex; everything is linked statically so the
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

# Tests run under wine when it is there.
find_program(TIDEWELL_WINE NAMES wine)
if(TIDEWELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TIDEWELL_WINE})
endif()
