# The cross build shared by both MinGW-w64 toolchains; QUILLON_MINGW_TRIPLE names the target.
# Everything is compiled by Debian's GCC cross compiler (posix thread model: std::mutex and
# GoogleTest need it) and linked by its GNU ld. The C++ runtime in the programs (libstdc++,
# libgcc's unwinder) was built by that same compiler: on i686, objects of two compilers do not
# agree on every call between them, and only GCC's own start files register the DWARF unwind
# tables that i686 exceptions need. testbench/check-abi.sh proves both from the built programs.
set(CMAKE_SYSTEM_NAME Windows)

find_program(QUILLON_MINGW_GXX ${QUILLON_MINGW_TRIPLE}-g++-posix)
find_program(QUILLON_MINGW_GCC ${QUILLON_MINGW_TRIPLE}-gcc-posix)
if(NOT QUILLON_MINGW_GXX OR NOT QUILLON_MINGW_GCC)
  message(FATAL_ERROR "${QUILLON_MINGW_TRIPLE}-g++-posix not found: install Debian's g++-mingw-w64.")
endif()
set(CMAKE_C_COMPILER   ${QUILLON_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_GXX})
set(CMAKE_RC_COMPILER  ${QUILLON_MINGW_TRIPLE}-windres)
set(CMAKE_NM           ${QUILLON_MINGW_TRIPLE}-nm)
# llvm-objcopy strips and splits debug information without stamping the program with the time.
find_program(QUILLON_OBJCOPY NAMES llvm-objcopy-15 llvm-objcopy PATHS /usr/lib/llvm-15/bin REQUIRED)
set(QUILLON_DLLTOOL    ${QUILLON_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs run under Wine when CTest starts them.
find_program(WINE_PROGRAM wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})

# Static runtime: the programs must need no MinGW DLLs on a Windows machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
