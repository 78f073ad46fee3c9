# Cross-compiling for Windows with MinGW-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TIDEWELL_MINGW_PREFIX i686-w64-mingw32)
set(TIDEWELL_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
