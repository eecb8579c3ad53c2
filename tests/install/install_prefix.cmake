# Installs the build into AREA/prefix and checks what landed in the library and header folders:
# the header, the shared library and the package files, and nothing of the build's internals.
# An installed program (kvterm) must run from the prefix with nothing set in the environment.
cmake_minimum_required(VERSION 3.16)
set(prefix ${AREA}/prefix)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()

set(required
  ${INCLUDEDIR}/kalvicom.h
  ${LIBDIR}/cmake/kalvicom/kalvicomConfig.cmake
  ${LIBDIR}/cmake/kalvicom/kalvicomConfigVersion.cmake
  ${LIBDIR}/cmake/kalvicom/kalvicomTargets.cmake
  ${LIBDIR}/pkgconfig/kalvicom.pc)
foreach(file ${required})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix}
  ${prefix}/${LIBDIR}/* ${prefix}/${INCLUDEDIR}/*)
set(library_seen FALSE)
foreach(file ${installed})
  if(file MATCHES "^${LIBDIR}/(lib)?kalvicom(\\.so(\\.[0-9]+)*|\\.[0-9.]*dylib|\\.dll\\.a|\\.lib)$")
    set(library_seen TRUE)
  elseif(file MATCHES "^${LIBDIR}/cmake/kalvicom/kalvicomTargets-[a-z]+\\.cmake$")
  elseif(NOT file IN_LIST required)
    message(FATAL_ERROR "installed but not part of the package: ${file}")
  endif()
endforeach()
if(NOT library_seen)
  message(FATAL_ERROR "the shared library was not installed; installed: ${installed}")
endif()

# The exported target must not name anything of the build tree.
file(READ ${prefix}/${LIBDIR}/cmake/kalvicom/kalvicomTargets.cmake targets)
foreach(internal kalvicom_objects kalvicom_internal ${BUILD_DIR})
  string(FIND "${targets}" "${internal}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "the exported targets mention ${internal}")
  endif()
endforeach()
message(STATUS "installed: ${installed}")

if(KVTERM)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/${KVTERM} --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "^kvterm ${VERSION} ")
    message(FATAL_ERROR "the installed ${KVTERM} does not run (${rc}): ${out}${err}")
  endif()
endif()

# The installed manual page renders, and names the options kvterm --help names: those that begin
# a line (unwrapped), each once.
if(MANPAGE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C MANWIDTH=1000 man -l ${prefix}/${MANPAGE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE page ERROR_VARIABLE err)
  execute_process(COMMAND ${prefix}/${KVTERM} --help OUTPUT_VARIABLE help)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "man -l ${MANPAGE} failed (${rc}): ${err}")
  endif()
  foreach(text page help)
    string(REGEX MATCHALL "\n +(-[a-zA-Z], )?--[a-z-]+" ${text} "\n${${text}}")
    list(TRANSFORM ${text} REPLACE "^.*(--[a-z-]+)$" "\\1")
    list(REMOVE_DUPLICATES ${text})
    list(SORT ${text})
  endforeach()
  if(NOT page STREQUAL help OR help STREQUAL "")
    message(FATAL_ERROR "${MANPAGE} has the options ${page}; kvterm --help has ${help}")
  endif()
  message(STATUS "${MANPAGE}: ${page}")
endif()
