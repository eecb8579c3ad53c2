# Checks what scripts/release.sh put in DIST, as a user would meet it: lintian on the Debian
# packages, their files and metadata, the three installed together into a scratch root and a
# program built from them with pkg-config and with find_package; the tar.gz's files; and each
# Windows zip's files, the links of its texts, the version resources of its programs, its
# kalvicom.lib linked the Visual Studio way and its libkalvicom.dll.a the MinGW way. The packages
# must carry the version of the CMake project. AREA is a scratch folder.
#
#   cmake -DDIST=dist -DAREA=build-test/dist-check -P tests/install/dist_check.cmake
cmake_minimum_required(VERSION 3.16)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
file(STRINGS ${source}/CMakeLists.txt project REGEX "^project\\(kalvicom VERSION ")
string(REGEX REPLACE "^project\\(kalvicom VERSION ([0-9.]+).*$" "\\1" version "${project}")
file(STRINGS ${source}/CMakeLists.txt copyright REGEX "^set\\(KALVICOM_COPYRIGHT ")
string(REGEX REPLACE "^.*\"(.*)\".*$" "\\1" copyright "${copyright}")
get_filename_component(DIST ${DIST} ABSOLUTE)
get_filename_component(area ${AREA} ABSOLUTE)
file(REMOVE_RECURSE ${area})
file(MAKE_DIRECTORY ${area})

include(${CMAKE_CURRENT_LIST_DIR}/file_checks.cmake)

# The Debian packages: package|its files under /usr|what it depends on (names, sorted), lists
# separated by commas. Each also holds its copyright file and changelog.
set(config_files lib/cmake/kalvicom/kalvicomConfig.cmake,lib/cmake/kalvicom/kalvicomConfigVersion.cmake)
string(APPEND config_files ,lib/cmake/kalvicom/kalvicomTargets.cmake,lib/cmake/kalvicom/kalvicomTargets-CONFIG.cmake)
set(packages
  "libkalvicom0|lib/libkalvicom.so.0,lib/libkalvicom.so.${version}|libc6"
  "libkalvicom-dev|include/kalvicom.h,lib/libkalvicom.so,lib/pkgconfig/kalvicom.pc,${config_files},share/lintian/overrides/libkalvicom-dev|libkalvicom0"
  "kvterm|bin/kvterm,share/man/man1/kvterm.1.gz|libc6,libgcc-s1,libkalvicom0,libstdc++6")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(debs)
set(linux_files)
foreach(package ${packages})
  string(REGEX REPLACE "\\|.*$" "" name "${package}")
  string(REGEX REPLACE "^[^|]*\\|([^|]*)\\|.*$" "\\1" files "${package}")
  string(REGEX REPLACE "^.*\\|" "" expected "${package}")
  string(REPLACE "," ";" files "${files}")
  string(REPLACE "," ";" expected "${expected}")
  list(APPEND linux_files ${files})
  set(deb ${DIST}/${name}_${version}_${arch}.deb)
  list(APPEND debs ${deb})
  run(dpkg-deb -c ${deb})
  expect_files("${deb}" "\\./usr/" "${out}" ${files} share/doc/${name}/copyright share/doc/${name}/changelog.gz)
  foreach(field Package:${name} Version:${version} Architecture:${arch})
    string(REPLACE ":" ";" field ${field})
    list(GET field 0 field_name)
    list(GET field 1 value)
    run(dpkg-deb -f ${deb} ${field_name})
    if(NOT out STREQUAL "${value}\n")
      message(FATAL_ERROR "${deb}: ${field_name} is '${out}', expected ${value}")
    endif()
  endforeach()
  # Computed from what the files link, and the library of the same version.
  run(dpkg-deb -f ${deb} Depends)
  string(REGEX MATCHALL "(^|, )[a-z0-9.+-]+" depends "${out}")
  list(TRANSFORM depends REPLACE "^, " "")
  list(SORT depends)
  if(NOT depends STREQUAL expected OR (out MATCHES "libkalvicom0" AND NOT out MATCHES "libkalvicom0 \\(= ${version}\\)"))
    message(FATAL_ERROR "${deb} depends on ${out}")
  endif()
endforeach()
# No error, and every warning left overridden in cmake/debian/ with its reason.
run(lintian --fail-on error,warning ${debs})
message(STATUS "lintian: ${out}")

# The three installed together into a scratch root (its own dpkg database; the system's C and C++
# run-times are not in it), a C program built from them with pkg-config and tests/consumer with
# find_package.
set(root ${area}/root)
file(MAKE_DIRECTORY ${root}/var/lib/dpkg/info ${root}/var/lib/dpkg/updates ${root}/var/lib/dpkg/triggers)
file(TOUCH ${root}/var/lib/dpkg/status)
run(dpkg --root=${root} --log=/dev/null --force-depends -i ${debs})
# The changelog's newest entry (CHANGELOG.md's first section) is this version.
run(gzip -dc ${root}/usr/share/doc/libkalvicom0/changelog.gz)
if(NOT out MATCHES "^kalvicom \\(${version}\\) ")
  message(FATAL_ERROR "the changelog begins with another version than ${version}:\n${out}")
endif()
run(readelf -d ${root}/usr/lib/libkalvicom.so.${version})
if(NOT out MATCHES "\\(SONAME\\) +Library soname: \\[libkalvicom\\.so\\.0\\]")
  message(FATAL_ERROR "libkalvicom.so.${version} lacks the SONAME libkalvicom.so.0:\n${out}")
endif()
find_program(pkg_config NAMES pkg-config pkgconf REQUIRED)
set(consumer -DPREFIX=${root}/usr -DAREA=${area} -DLIBDIR=lib -DVERSION=${version} -DCONFIG=Release
  -DC_COMPILER=cc -DCXX_COMPILER=c++ -DCONSUMER=${source}/tests/consumer)
run(${CMAKE_COMMAND} ${consumer} -DPKG_CONFIG=${pkg_config} -P ${source}/tests/install/pkg_config.cmake)
run(${CMAKE_COMMAND} ${consumer} "-DGENERATOR=Unix Makefiles" -P ${source}/tests/install/find_package.cmake)

# The tar.gz holds the whole installed tree (but what is Debian's), in a folder named after it.
list(FILTER linux_files EXCLUDE REGEX "^share/lintian/")
set(tgz kalvicom-${version}-linux-x86_64)
run(${CMAKE_COMMAND} -E tar tf ${DIST}/${tgz}.tar.gz)
expect_files("${tgz}.tar.gz" "${tgz}/" "${out}" ${linux_files} share/doc/kalvicom/LICENSE
  share/doc/kalvicom/CHANGELOG.md)

# check_links(ROOT): every relative link of the texts under ROOT names a file or folder under ROOT:
# Markdown links in every text, and in the .txt files each path with a file name (a/b.ext).
function(check_links root)
  file(GLOB_RECURSE texts RELATIVE ${root} ${root}/*.md ${root}/*.txt ${root}/*.h ${root}/*.c
    ${root}/*.cpp ${root}/*.py ${root}/*.cs)
  set(checked 0)
  foreach(text ${texts})
    file(READ ${root}/${text} content)
    get_filename_component(dir ${root}/${text} DIRECTORY)
    # Each link's target after a marker; no bracket may reach a list, where it would hide the ;
    string(REPLACE "](" "<link>" content "${content}")
    string(REGEX MATCHALL "<link>[^]()# \n]+" links "${content}")
    list(TRANSFORM links REPLACE "^<link>" "")
    if(text MATCHES "\\.txt$")
      string(REGEX MATCHALL "[A-Za-z0-9_.-]+(/[A-Za-z0-9_.-]+)*/[A-Za-z0-9_-][A-Za-z0-9_.-]*\\.[A-Za-z]+"
        paths "${content}")
      list(APPEND links ${paths})
    endif()
    list(FILTER links EXCLUDE REGEX "^[a-z]+:")
    foreach(link ${links})
      get_filename_component(target ${link} ABSOLUTE BASE_DIR ${dir})
      string(FIND "${target}/" "${root}/" inside)
      if(NOT EXISTS ${target} OR NOT inside EQUAL 0)
        message(FATAL_ERROR "${text} links to ${link}, which is not in the zip")
      endif()
      math(EXPR checked "${checked} + 1")
    endforeach()
  endforeach()
  message(STATUS "${root}: ${checked} links, all inside")
endfunction()

# The Windows zips: what they hold (beside the build's files, the docs, examples and bindings as in
# the source tree), their links, version resources and import libraries.
file(GLOB_RECURSE shipped RELATIVE ${source} ${source}/docs/* ${source}/examples/* ${source}/bindings/*)
list(FILTER shipped EXCLUDE REGEX "(^|/)(CMakeLists\\.txt|[^/]*\\.cmake|__pycache__/.*)$")
find_program(clang clang REQUIRED)
find_program(lld_link lld-link REQUIRED)
find_program(readobj NAMES llvm-readobj llvm-readobj-14 REQUIRED)
find_program(python3 python3 HINTS /usr/bin REQUIRED) # Debian's, which has pefile
foreach(flavour win64:x86_64 win32:i686)
  string(REPLACE ":" ";" flavour ${flavour})
  list(GET flavour 0 name)
  list(GET flavour 1 cpu)
  set(zip kalvicom-${version}-${name})
  run(${CMAKE_COMMAND} -E tar tf ${DIST}/${zip}.zip)
  expect_files("${zip}.zip" "${zip}/" "${out}" README.txt LICENSE.txt CHANGELOG.md bin/kalvicom.dll
    bin/kvterm.exe include/kalvicom.h lib/kalvicom.lib lib/libkalvicom.dll.a ${shipped})
  run(${CMAKE_COMMAND} -E tar xf ${DIST}/${zip}.zip)
  set(unpacked ${area}/${zip})
  check_links(${unpacked})
  # The version resources: file version, product version and name, file name, the licence's line.
  foreach(program kalvicom.dll kvterm.exe)
    run(${python3} -c "import pefile, sys
pe = pefile.PE(sys.argv[1])
fixed = pe.VS_FIXEDFILEINFO[0]
strings = {}
for info in (i for group in pe.FileInfo for i in group if i.Key == b'StringFileInfo'):
    for table in info.StringTable:
        strings.update((k.decode(), v.decode()) for k, v in table.entries.items())
print('%d.%d.%d.%d' % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
      fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF), *(strings.get(k) for k in
      ('FileVersion', 'ProductVersion', 'ProductName', 'OriginalFilename', 'LegalCopyright')), sep='|')"
      ${unpacked}/bin/${program})
    set(expected "${version}.0|${version}|${version}|kalvicom|${program}|${copyright} (MIT License)\n")
    if(NOT out STREQUAL expected)
      message(FATAL_ERROR "${zip}: the version resource of ${program} reads ${out}expected ${expected}")
    endif()
  endforeach()
  run(${CMAKE_COMMAND} -DTRIPLE=${cpu}-pc-windows-msvc -DIMPLIB=${unpacked}/lib/kalvicom.lib
    -DDEF=${source}/src/kalvicom.def -DKERNEL32=/usr/${cpu}-w64-mingw32/lib/libkernel32.a -DCLANG=${clang}
    -DLLD_LINK=${lld_link} -DREADOBJ=${readobj} -DOUT=${area}/msvc_caller_${name}.exe
    -P ${source}/tests/windows/msvc_caller.cmake)
  run(${cpu}-w64-mingw32-gcc -Wall -Wextra -Werror -I${unpacked}/include ${source}/tests/windows/c_caller.c
    -L${unpacked}/lib -lkalvicom -Wl,--disable-stdcall-fixup -o ${area}/c_caller_${name}.exe)
endforeach()
message(STATUS "${DIST}: all packages hold what they should")
