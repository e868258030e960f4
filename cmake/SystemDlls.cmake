# DLLs of the system that are not among its known DLLs (which the loader always takes from the
# system folder) are linked to load on first use, so that the programs decide where they come
# from: session/SystemLibraries.cpp loads them from the system folder only. A DLL of the same
# name beside a program, or in the current directory, is then never loaded.
#
# quillon_system_dll(NAME) makes the target quillon_dll_NAME to link instead of plain NAME.
function(quillon_system_dll name)
  set(target quillon_dll_${name})
  add_library(${target} INTERFACE)
  if(MSVC)
    target_link_libraries(${target} INTERFACE ${name} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${name}.dll)
    return()
  endif()

  # MinGW: GNU dlltool writes an import library whose thunks call the MinGW runtime's
  # __delayLoadHelper2 (as MSVC's delayimp), from the exports that the cross compiler's regular
  # import library names; -k keeps the 32-bit names undecorated, as the DLL exports them.
  find_library(QUILLON_IMPORT_LIB_${name} lib${name}.a)
  if(NOT QUILLON_IMPORT_LIB_${name})
    message(FATAL_ERROR "The import library lib${name}.a of the cross compiler was not found.")
  endif()
  execute_process(COMMAND ${CMAKE_NM} -g ${QUILLON_IMPORT_LIB_${name}}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CMAKE_NM} could not list ${QUILLON_IMPORT_LIB_${name}}.")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(prefix "__imp__")
    set(machine i386)
  else()
    set(prefix "__imp_")
    set(machine i386:x86-64)
  endif()
  string(REGEX MATCHALL " I ${prefix}[^\n]+" imports "${symbols}")
  set(def "LIBRARY ${name}.dll\nEXPORTS\n")
  foreach(import ${imports})
    string(REPLACE " I ${prefix}" "" export "${import}")
    string(APPEND def "  ${export}\n")
  endforeach()
  set(dir ${CMAKE_BINARY_DIR}/delay-import)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/${name}.def "${def}")
  set(delaylib ${dir}/lib${name}_delay.a)
  add_custom_command(OUTPUT ${delaylib}
    COMMAND ${QUILLON_DLLTOOL} -m ${machine} -k -d ${name}.def -y lib${name}_delay.a
    DEPENDS ${dir}/${name}.def
    # dlltool names its symbols after the output path as given: relative, so the symbols do not
    # depend on the build folder.
    WORKING_DIRECTORY ${dir}
    COMMENT "Import library for ${name}.dll, loaded on first use")
  add_custom_target(${target}_lib DEPENDS ${delaylib})
  add_dependencies(${target} ${target}_lib)
  target_link_libraries(${target} INTERFACE ${delaylib})
endfunction()

foreach(dll wtsapi32 userenv dbghelp comctl32)
  quillon_system_dll(${dll})
endforeach()
