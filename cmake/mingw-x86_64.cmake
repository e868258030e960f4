# 64-bit cross build of the same sources, for test machines that run no 32-bit code (the
# programs ship as 32-bit ones).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUILLON_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
