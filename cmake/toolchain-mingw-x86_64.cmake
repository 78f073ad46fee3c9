# Cross-compiling for Windows with MinGW-w64 (x86_64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TIDEWELL_MINGW_PREFIX x86_64-w64-mingw32)
set(TIDEWELL_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
