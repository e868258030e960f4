# Builds the release archive from the shipped programs and documents, the same bytes on every
# run from the same commit: fixed entry times, fixed permissions, fixed order.
# Called with -DOUTPUT_DIR= -DNAME= -DPYTHON= -DFILES=a;b;c
cmake_minimum_required(VERSION 3.21)

if(NOT PYTHON OR PYTHON MATCHES "NOTFOUND")
  message(FATAL_ERROR "package: Python 3 is needed to write the archive; install it and configure again")
endif()

set(stage ${OUTPUT_DIR}/package-stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/${NAME})

set(entries)
foreach(file ${FILES})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "package: ${file} is missing; build everything first")
  endif()
  get_filename_component(base ${file} NAME)
  if(base STREQUAL "README.md")
    set(base README.txt)
  endif()
  configure_file(${file} ${stage}/${NAME}/${base} COPYONLY)
  list(APPEND entries ${NAME}/${base})
endforeach()
list(SORT entries)

set(zip ${OUTPUT_DIR}/${NAME}.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/zip_reproducible.py ${zip} ${stage} ${entries}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package: writing ${zip} failed")
endif()
file(REMOVE_RECURSE ${stage})

file(SHA256 ${zip} hash)
file(WRITE ${zip}.sha256 "${hash}  ${NAME}.zip\n")
file(SIZE ${zip} size)
message(STATUS "package: ${zip} (${size} bytes)")
message(STATUS "package: SHA-256 ${hash}")
