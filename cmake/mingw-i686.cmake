# Cross build for 32-bit Windows with MinGW-w64: the programs as they ship.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLON_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
