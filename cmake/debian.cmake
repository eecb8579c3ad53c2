# The Debian packages, one per CPack component group:
#   libkalvicom0      the shared library, its shlibs and an ldconfig trigger
#   libkalvicom-dev   the header, the libkalvicom.so link, kalvicom.pc and the CMake package
#   kvterm            the terminal and its manual page
# Each also carries, in a component of its own that only the .debs take, /usr/share/doc/PACKAGE/
# copyright (machine-readable, with the licence) and changelog.gz (CHANGELOG.md in Debian's
# format), and the lintian overrides in cmake/debian/PACKAGE.lintian-overrides, if any.
set(KALVICOM_DEB_MAINTAINER "the kalvicom authors <authors@kalvicom.invalid>" CACHE STRING
  "The Maintainer of the Debian packages (whoever publishes them)")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KALVICOM_DEB_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies come from what the packaged files link (dpkg-shlibdeps, which finds the library
# kvterm links in the build); the shlibs file lets packages built against libkalvicom0 depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

# The changelog: each "## VERSION (YYYY-MM-DD)" of CHANGELOG.md an entry, "### Added" a bullet
# with the items below it, other text bullets of their own. CHANGELOG.md's lines are kept under
# 77 characters, so the indented ones stay within Debian's 80.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${PROJECT_SOURCE_DIR}/LICENSE)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md lines ENCODING UTF-8)
set(changelog "")
set(entry_end "")
set(in_entry FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([0-9.]+) \\(([0-9-]+)\\)")
    execute_process(COMMAND date -u -R -d ${CMAKE_MATCH_2} OUTPUT_VARIABLE date
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND changelog "${entry_end}kalvicom (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(entry_end "\n -- ${KALVICOM_DEB_MAINTAINER}  ${date}\n\n")
    set(in_entry TRUE)
    set(indent "  ")
  elseif(NOT in_entry OR line STREQUAL "")
  elseif(line MATCHES "^### (.*)")
    string(APPEND changelog "  * ${CMAKE_MATCH_1}:\n")
    set(indent "    ")
  elseif(line MATCHES "^- (.*)")
    if(indent STREQUAL "  ")
      string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
    else()
      string(APPEND changelog "    - ${CMAKE_MATCH_1}\n")
    endif()
  elseif(line MATCHES "^  (.*)")
    string(APPEND changelog "${indent}  ${CMAKE_MATCH_1}\n")
  else()
    string(APPEND changelog "  * ${line}\n")
  endif()
endforeach()
string(APPEND changelog "${entry_end}")
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}")

# The copyright file, with LICENSE's text after its copyright line.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "${KALVICOM_COPYRIGHT}\n\n" at)
string(LENGTH "${KALVICOM_COPYRIGHT}\n\n" length)
math(EXPR at "${at} + ${length}")
string(SUBSTRING "${licence}" ${at} -1 licence)
string(REGEX REPLACE "\n$" "" licence "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
string(REPLACE "Copyright (c) " "" holder "${KALVICOM_COPYRIGHT}")
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kalvicom

Files: *
Copyright: ${holder}
License: MIT
 ${licence}
")

set(description_common "kalvicom opens a serial port on a network serial device server over one
Telnet connection with the RFC 2217 COM-PORT-OPTION, and drives it with nine
plain C calls named after the platform's serial-port calls: line settings,
read time-outs, reads and writes.")
set(CPACK_COMPONENTS_ALL)
# package|components|section|summary|what the package holds
foreach(package
    "libkalvicom0|Runtime|libs|serial ports on network device servers (RFC 2217)|This package holds the shared library."
    "libkalvicom-dev|Development,Config|libdevel|serial ports on network device servers - development files|This package holds the header, kalvicom.pc for pkg-config and the CMake\npackage (find_package(kalvicom), target kalvicom::kalvicom)."
    "kvterm|Tool|comm|serial terminal for ports on network serial device servers|kvterm, built on kalvicom, is a terminal for such a port: interactive, or\ncopying data through a pipe, with line settings changed while connected.")
  string(REPLACE "|" ";" package "${package}")
  list(GET package 0 name)
  if(name STREQUAL "kvterm" AND NOT KALVICOM_TOOLS)
    continue()
  endif()
  list(GET package 1 components)
  string(REPLACE "," ";" components "${components}")
  list(GET package 2 section)
  list(GET package 3 summary)
  list(GET package 4 holds)
  string(TOUPPER ${name} group)
  list(GET components 0 first)
  set(docs Debian${first})
  foreach(component IN LISTS components ITEMS ${docs})
    string(TOUPPER ${component} upper)
    set(CPACK_COMPONENT_${upper}_GROUP ${name})
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endforeach()
  set(CPACK_DEBIAN_${group}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${group}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${group}_DESCRIPTION "${summary}\n${description_common}\n.\n${holds}")

  set(dir ${PROJECT_BINARY_DIR}/debian/${name})
  file(WRITE ${dir}/copyright "${copyright}")
  file(WRITE ${dir}/changelog "${changelog}")
  execute_process(COMMAND gzip -9nf ${dir}/changelog COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${dir}/copyright ${dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}
    COMPONENT ${docs} EXCLUDE_FROM_ALL)
  set(overrides ${PROJECT_SOURCE_DIR}/cmake/debian/${name}.lintian-overrides)
  if(EXISTS ${overrides})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${name}
      COMPONENT ${docs} EXCLUDE_FROM_ALL)
  endif()
endforeach()

set(CPACK_DEBIAN_LIBKALVICOM-DEV_PACKAGE_DEPENDS "libkalvicom0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_KVTERM_PACKAGE_DEPENDS "libkalvicom0 (= ${PROJECT_VERSION})")
# The ldconfig trigger does what CPack's postinst and postrm would (call ldconfig for a library in
# /usr/lib). CPack writes those scripts unless the package brings its own, and adds only the extra
# control files that exist: naming scripts that do not exist leaves the package without any (CPack
# warns that they are missing).
set(CPACK_DEBIAN_LIBKALVICOM0_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
  ${PROJECT_BINARY_DIR}/debian/none/postinst ${PROJECT_BINARY_DIR}/debian/none/postrm)
