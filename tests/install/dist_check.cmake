# Checks what scripts/release.sh put in DIST, as a user would meet it: the Debian package's files
# and metadata, a program built with pkg-config from the unpacked package, the tar.gz's files, and
# each Windows zip's files, its kalvicom.lib linked the Visual Studio way and its libkalvicom.dll.a
# the MinGW way. The packages must carry the version of the CMake project. AREA is a scratch folder.
#
#   cmake -DDIST=dist -DAREA=build-test/dist-check -P tests/install/dist_check.cmake
cmake_minimum_required(VERSION 3.16)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
file(STRINGS ${source}/CMakeLists.txt project REGEX "^project\\(kalvicom VERSION ")
string(REGEX REPLACE "^project\\(kalvicom VERSION ([0-9.]+).*$" "\\1" version "${project}")
get_filename_component(DIST ${DIST} ABSOLUTE)
get_filename_component(area ${AREA} ABSOLUTE)
file(REMOVE_RECURSE ${area})
file(MAKE_DIRECTORY ${area})

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
    string(REGEX REPLACE "^${prefix}" "" entry "${entry}")
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

set(linux_files bin/kvterm include/kalvicom.h lib/libkalvicom.so lib/libkalvicom.so.0
  lib/libkalvicom.so.${version} lib/pkgconfig/kalvicom.pc lib/cmake/kalvicom/kalvicomConfig.cmake
  lib/cmake/kalvicom/kalvicomConfigVersion.cmake lib/cmake/kalvicom/kalvicomTargets.cmake
  lib/cmake/kalvicom/kalvicomTargets-CONFIG.cmake)

# The Debian package: its files, its metadata, and a C program built from it with pkg-config.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(deb ${DIST}/kalvicom_${version}_${arch}.deb)
run(dpkg-deb -c ${deb})
expect_files("${deb}" "\\./usr/" "${out}" ${linux_files})
foreach(field Package:kalvicom Version:${version} Architecture:${arch})
  string(REPLACE ":" ";" field ${field})
  list(GET field 0 name)
  list(GET field 1 value)
  run(dpkg-deb -f ${deb} ${name})
  if(NOT out STREQUAL "${value}\n")
    message(FATAL_ERROR "${deb}: ${name} is '${out}', expected ${value}")
  endif()
endforeach()
# Computed from what the files link: the C and C++ run-times and nothing more.
run(dpkg-deb -f ${deb} Depends)
string(REGEX MATCHALL "(^|, )[a-z0-9.+-]+" depends "${out}")
list(TRANSFORM depends REPLACE "^, " "")
list(SORT depends)
if(NOT depends STREQUAL "libc6;libgcc-s1;libstdc++6")
  message(FATAL_ERROR "${deb} depends on ${out}")
endif()
run(dpkg-deb -x ${deb} ${area}/deb)
run(readelf -d ${area}/deb/usr/lib/libkalvicom.so.${version})
if(NOT out MATCHES "\\(SONAME\\) +Library soname: \\[libkalvicom\\.so\\.0\\]")
  message(FATAL_ERROR "libkalvicom.so.${version} lacks the SONAME libkalvicom.so.0:\n${out}")
endif()
find_program(pkg_config NAMES pkg-config pkgconf REQUIRED)
run(${CMAKE_COMMAND} -DPREFIX=${area}/deb/usr -DAREA=${area} -DLIBDIR=lib -DVERSION=${version}
  -DPKG_CONFIG=${pkg_config} -DC_COMPILER=cc -DCONSUMER=${source}/tests/consumer
  -P ${source}/tests/install/pkg_config.cmake)

# The tar.gz holds the same tree, in a folder named after it.
set(tgz kalvicom-${version}-linux-x86_64)
run(${CMAKE_COMMAND} -E tar tf ${DIST}/${tgz}.tar.gz)
expect_files("${tgz}.tar.gz" "${tgz}/" "${out}" ${linux_files})

# The Windows zips.
find_program(clang clang REQUIRED)
find_program(lld_link lld-link REQUIRED)
find_program(readobj NAMES llvm-readobj llvm-readobj-14 REQUIRED)
foreach(flavour win64:x86_64 win32:i686)
  string(REPLACE ":" ";" flavour ${flavour})
  list(GET flavour 0 name)
  list(GET flavour 1 cpu)
  set(zip kalvicom-${version}-${name})
  run(${CMAKE_COMMAND} -E tar tf ${DIST}/${zip}.zip)
  set(optional)
  if(out MATCHES "/bin/kvterm\\.exe\n")
    set(optional bin/kvterm.exe)
  endif()
  expect_files("${zip}.zip" "${zip}/" "${out}" README.md bin/kalvicom.dll include/kalvicom.h lib/kalvicom.lib
    lib/libkalvicom.dll.a ${optional})
  run(${CMAKE_COMMAND} -E tar xf ${DIST}/${zip}.zip)
  set(unpacked ${area}/${zip})
  run(${CMAKE_COMMAND} -DTRIPLE=${cpu}-pc-windows-msvc -DIMPLIB=${unpacked}/lib/kalvicom.lib
    -DDEF=${source}/src/kalvicom.def -DKERNEL32=/usr/${cpu}-w64-mingw32/lib/libkernel32.a -DCLANG=${clang}
    -DLLD_LINK=${lld_link} -DREADOBJ=${readobj} -DOUT=${area}/msvc_caller_${name}.exe
    -P ${source}/tests/windows/msvc_caller.cmake)
  run(${cpu}-w64-mingw32-gcc -Wall -Wextra -Werror -I${unpacked}/include ${source}/tests/windows/c_caller.c
    -L${unpacked}/lib -lkalvicom -Wl,--disable-stdcall-fixup -o ${area}/c_caller_${name}.exe)
endforeach()
message(STATUS "${DIST}: all packages hold what they should")
