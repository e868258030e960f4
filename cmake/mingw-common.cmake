# The cross build shared by both MinGW-w64 toolchains; QUILLON_MINGW_TRIPLE names the target.
# clang and lld 15 compile and link against the MinGW-w64 runtime and libstdc++ of the GCC cross
# compiler (posix thread model: std::mutex and GoogleTest need it): lld writes the PDB symbols
# that Windows debuggers read, which GNU ld cannot. Resources still come from the GNU windres of
# that cross compiler.
set(CMAKE_SYSTEM_NAME Windows)

set(QUILLON_LLVM_BIN /usr/lib/llvm-15/bin CACHE PATH "clang, lld and llvm-objcopy 15")
set(CMAKE_C_COMPILER   ${QUILLON_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${QUILLON_LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET   ${QUILLON_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QUILLON_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER  ${QUILLON_MINGW_TRIPLE}-windres)
set(CMAKE_NM           ${QUILLON_MINGW_TRIPLE}-nm)
set(QUILLON_OBJCOPY    ${QUILLON_LLVM_BIN}/llvm-objcopy)

# The runtime and libstdc++ of the GCC cross compiler: its library folder holds both libgcc and
# libstdc++, and its include folder libstdc++'s headers.
execute_process(COMMAND ${QUILLON_MINGW_TRIPLE}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS "${libgcc}")
  message(FATAL_ERROR "${QUILLON_MINGW_TRIPLE}-g++-posix not found: install Debian's g++-mingw-w64.")
endif()
get_filename_component(QUILLON_GCC_LIB_DIR ${libgcc} DIRECTORY)
set(cxx_include ${QUILLON_GCC_LIB_DIR}/include/c++)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${cxx_include} ${cxx_include}/${QUILLON_MINGW_TRIPLE} ${cxx_include}/backward)
# Only the target's own folder as system root: /usr/include would put glibc's headers in.
set(sysroot "--sysroot=/usr/${QUILLON_MINGW_TRIPLE}")
set(CMAKE_C_FLAGS_INIT "${sysroot}")
set(CMAKE_CXX_FLAGS_INIT "${sysroot}")

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs run under Wine when CTest starts them.
find_program(WINE_PROGRAM wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})

# Static runtime: the programs must need no MinGW DLLs on a Windows machine. clang's driver does
# not add the winpthreads library that the posix libstdc++ needs (lld resolves in any order).
set(link_init "${sysroot} --ld-path=${QUILLON_LLVM_BIN}/ld.lld -L${QUILLON_GCC_LIB_DIR} -static -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_init}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_init}")
