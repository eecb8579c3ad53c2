# What the package checks share (dist_check.cmake, ../examples/packages_check.cmake): running a
# command in the check's area and comparing a package's file list whole. Set area first.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
    WORKING_DIRECTORY ${area})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed:\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# expect_files(WHAT PREFIX LISTING FILE...): the listing's files (not folders) under PREFIX are
# exactly FILE...; the build configuration in the CMake package's file name reads as CONFIG.
function(expect_files what prefix listing)
  string(REGEX MATCHALL "[^\n]+" entries "${listing}")
  set(files)
  foreach(entry ${entries})
    string(REGEX REPLACE "^.* \\./" "./" entry "${entry}") # dpkg-deb -c: the path is last
    string(REGEX REPLACE " -> .*$" "" entry "${entry}")
    string(REGEX REPLACE "Targets-[a-z]+\\.cmake$" "Targets-CONFIG.cmake" entry "${entry}")
    if(prefix)
      string(REGEX REPLACE "^${prefix}" "" entry "${entry}")
    endif()
    if(NOT entry MATCHES "/$")
      list(APPEND files ${entry})
    endif()
  endforeach()
  list(SORT files)
  set(expected ${ARGN})
  list(SORT expected)
  if(NOT files STREQUAL expected)
    message(FATAL_ERROR "${what} holds: ${files}\nexpected: ${expected}")
  endif()
  message(STATUS "${what}: ${files}")
endfunction()
