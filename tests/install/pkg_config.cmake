# Compiles tests/consumer/consumer.c with the flags `pkg-config --cflags --libs kalvicom` gives,
# and runs it: first for PREFIX (default AREA/prefix) as installed, then for a copy of it elsewhere,
# which proves that kalvicom.pc finds its files from where it lies.
cmake_minimum_required(VERSION 3.16)
if(PREFIX)
  set(installed ${PREFIX})
else()
  set(installed ${AREA}/prefix)
endif()
set(moved ${AREA}/moved/kalvicom-${VERSION})
file(REMOVE_RECURSE ${AREA}/moved)
file(MAKE_DIRECTORY ${AREA}/moved)
file(COPY ${installed}/ DESTINATION ${moved})

function(use_prefix prefix name)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
      ${PKG_CONFIG} --cflags --libs kalvicom
    RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config found no kalvicom in ${prefix}")
  endif()
  message(STATUS "${name}: ${flags}")
  string(FIND "${flags}" "${prefix}/" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the flags do not point into ${prefix}: ${flags}")
  endif()
  foreach(other ${ARGN})
    string(FIND "${flags}" "${other}/" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "the flags still point into ${other}: ${flags}")
    endif()
  endforeach()

  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
      ${PKG_CONFIG} --modversion kalvicom
    OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version '${version}', expected ${VERSION}")
  endif()

  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(exe ${AREA}/pkg_config_${name})
  execute_process(COMMAND ${C_COMPILER} ${CONSUMER}/consumer.c ${flags} -o ${exe} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "consumer.c did not compile with: ${flags}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR}
      DYLD_LIBRARY_PATH=${prefix}/${LIBDIR} ${exe}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "ok\n")
    message(FATAL_ERROR "the program built with pkg-config flags failed (${rc}): ${out}")
  endif()
endfunction()

use_prefix(${installed} installed)
use_prefix(${moved} moved ${installed})
