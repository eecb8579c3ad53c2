# Configures, builds and runs tests/consumer against PREFIX (default AREA/prefix) with
# find_package(kalvicom CONFIG), or, given SOURCE, with the kalvicom source tree as its FetchContent
# dependency.
cmake_minimum_required(VERSION 3.16)
set(prefix ${AREA}/prefix)
if(PREFIX)
  set(prefix ${PREFIX})
endif()
if(SOURCE)
  set(build ${AREA}/fetch_content)
  set(use -DKALVICOM_SOURCE=${SOURCE})
else()
  set(build ${AREA}/consumer)
  # Only the test prefix is searched, so a kalvicom installed elsewhere on the machine cannot answer.
  set(use -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DEXPECTED_VERSION=${VERSION})
endif()
file(REMOVE_RECURSE ${build})

execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${build} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${use}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer project did not configure (${use})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --config ${CONFIG} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer project did not build")
endif()

foreach(program consumer_c consumer_cpp)
  file(GLOB_RECURSE exe ${build}/${program} ${build}/${program}.exe)
  if(NOT exe)
    message(FATAL_ERROR "${program} was not built")
  endif()
  list(GET exe 0 exe)
  execute_process(COMMAND ${exe} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "ok\n")
    message(FATAL_ERROR "${program} failed (${rc}): ${out}")
  endif()
endforeach()
